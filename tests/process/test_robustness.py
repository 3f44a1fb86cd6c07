"""Bad input costs only its own line, the helper survives everything a host may send, and two
threads writing at once never break a line."""

import unittest

from helper_process import (
    INVALID_COMMAND,
    UNKNOWN_COMMAND,
    HelperTestCase,
    error,
    line,
    status,
)

DEPTH = 100_000
MEGABYTES = 5


class BadLinesTest(HelperTestCase):
    def test_each_bad_line_gets_exactly_one_answer_and_the_next_line_is_handled(self):
        padding = b"x" * (MEGABYTES << 20)
        cases = [
            ("invalid UTF-8 outside a string", b'\xff{"command":"stop"}', error(INVALID_COMMAND)),
            # Malformed UTF-8 becomes U+FFFD first, so the name is simply unknown.
            ("invalid UTF-8 in the name", b'{"command":"st\xc3op"}', error(UNKNOWN_COMMAND)),
            ("invalid UTF-8 in an ignored key", b'{"command":"stop","x":"\xfe\xff"}', status("unknown")),
            ("truncated UTF-8 at the end", b'{"command":"stop"}\xe2\x82', error(INVALID_COMMAND)),
            ("NUL after the object", b'{"command":"stop"}\x00', error(INVALID_COMMAND)),
            ("NUL inside a string", b'{"command":"st\x00op"}', error(INVALID_COMMAND)),
            ("NUL alone", b"\x00", error(INVALID_COMMAND)),
            ("trailing text", b'{"command":"stop"} x', error(INVALID_COMMAND)),
            ("two objects", b'{"command":"stop"}{"command":"stop"}', error(INVALID_COMMAND)),
            ("unclosed nesting", b"[" * DEPTH, error(INVALID_COMMAND)),
            ("unclosed object nesting", b'{"a":' * DEPTH, error(INVALID_COMMAND)),
            # Deep but well-formed nesting under an ignored key is still one valid command.
            (
                "deep nesting under an ignored key",
                b'{"command":"stop","x":' + b"[" * DEPTH + b"]" * DEPTH + b"}",
                status("unknown"),
            ),
            ("several megabytes of garbage", padding, error(INVALID_COMMAND)),
            (
                "several megabytes in a valid command",
                b'{"command":"stop","padding":"' + padding + b'"}',
                status("unknown"),
            ),
            ("several megabytes of whitespace", b" " * (MEGABYTES << 20), error(INVALID_COMMAND)),
        ]
        h = self.helper
        for number, (name, bad, answer) in enumerate(cases, start=1):
            with self.subTest(name):
                h.write(bad + b"\n" + line({"command": "stop", "requestId": number}))
                # The bad line is answered before the next line is even read.
                earlier, reply = h.reply_to(number)
                self.assertEqual(earlier, [answer])
                self.assertEqual(reply, status("unknown", number))
        h.close_stdin()
        messages, code = h.wait_exit()
        self.assertEqual((messages, code), ([], 0))


class ConcurrentWritersTest(HelperTestCase):
    def test_errors_from_the_input_thread_never_break_replies_from_the_main_thread(self):
        # Every valid line is answered by the main thread while the input thread answers the
        # invalid line after it; the two write at the same time throughout.
        count = 3000
        data = b"".join(
            line({"command": "permission-status", "requestId": i}) + b"{not json\n"
            for i in range(count)
        )
        h = self.helper
        h.write(data)
        h.close_stdin()
        messages, code = h.wait_exit(timeout=120)  # Every line is parsed on the way.
        self.assertEqual(code, 0)
        errors = [m for m in messages if m["type"] == "error"]
        replies = [m for m in messages if m["type"] == "status"]
        self.assertEqual(errors, [error(INVALID_COMMAND)] * count)
        self.assertEqual(replies, [status("denied", i) for i in range(count)])
        self.assertEqual(len(messages), 2 * count)


class ClosedOutputTest(HelperTestCase):
    def test_host_closing_the_output_does_not_kill_the_helper(self):
        h = self.helper
        h.close_stdout()
        # Replies, errors and an expiry publication all go to a closed pipe now.
        h.write(
            line({"command": "permission-status", "requestId": 1})
            + b"bad\n"
            + line({"command": "start", "endsAt": 1000, "targets": []})
            + line({"command": "stop", "requestId": 2})
        )
        h.close_stdin()
        self.assertEqual(h.proc.wait(timeout=20), 0)


if __name__ == "__main__":
    unittest.main()
