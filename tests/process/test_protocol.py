"""The line protocol end to end: "ready", every command's reply, the errors, ordering,
framing, and the two ways the helper ends."""

import os
import unittest

from helper_process import (
    INVALID_COMMAND,
    UNKNOWN_COMMAND,
    HelperTestCase,
    error,
    line,
    ready,
    status,
)

TARGETS = [{"id": "t1", "name": "Editor", "bundleId": "org.example.Editor"}]


class ReadyTest(HelperTestCase):
    def test_ready_is_the_only_line_before_input(self):
        # setUp has read "ready" with its exact fields; nothing else may follow unprompted.
        self.helper.expect_silence(0.2)

    def test_input_closed_at_once_ends_the_helper_after_ready(self):
        self.helper.close_stdin()
        messages, code = self.helper.wait_exit()
        self.assertEqual(messages, [])
        self.assertEqual(code, 0)


class ClosedStandardInputTest(HelperTestCase):
    def setUp(self):
        pass

    def test_helper_started_without_stdin_says_ready_and_ends(self):
        # The descriptor is closed in the child: the helper must not mistake a descriptor it
        # opens itself for its input.
        helper = self.start_helper(preexec_fn=lambda: os.close(0))
        messages, code = helper.wait_exit()
        self.assertEqual(messages, [ready()])
        self.assertEqual(code, 0)


class UntrustedReasonTest(HelperTestCase):
    def setUp(self):
        pass

    def test_a_desktop_with_nothing_to_shield_on_says_why_once(self):
        # (environment, the reason in status): with no display at all, and on a Wayland
        # session (its socket named, not even there) that is neither GNOME nor KDE.
        cases = [({}, "no-display"),
                 ({"WAYLAND_DISPLAY": "shield-helper-test-none"}, "unsupported-compositor")]
        for environment, reason in cases:
            with self.subTest(reason=reason):
                helper = self.start_helper(extra_environment=environment)
                self.assertEqual(helper.read_message(), ready())
                for request_id in (1, 2):
                    _, reply = helper.request("permission-status", request_id)
                    self.assertEqual(reply["permission"], "denied")
                    self.assertEqual(reply["reason"], reason)
                helper.close_stdin()
                helper.wait_exit()
                lines = helper.errors().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith("shield-helper: not shielding: "), lines)
                self.assertTrue(lines[0].endswith(f"({reason})"), lines)


class CommandRepliesTest(HelperTestCase):
    def test_each_command_with_and_without_request_id(self):
        h = self.helper
        # "stop" first: the permission has never been queried, so it is still "unknown".
        h.send(command="stop")
        self.assertEqual(h.read_message(), status("unknown"))
        cases = [
            ("permission-status", {}, status("denied")),
            ("request-permission", {}, status("denied")),
            ("request-permission", {"permissionPrompt": True}, status("denied")),
            ("request-permission", {"permissionPrompt": False}, status("denied")),
            # Headless, the permission is denied: an active block reports the error text.
            ("start", {"targets": TARGETS}, status("denied", error=True)),
            ("update", {"targets": []}, status("denied", error=True)),
            ("update", {"endsAt": 4102444800000}, status("denied", error=True)),
            ("stop", {}, status("denied")),
        ]
        for number, (command, fields, expected) in enumerate(cases, start=1):
            with self.subTest(command=command, fields=fields):
                h.send(command=command, **fields)
                self.assertEqual(h.read_message(), expected)
                h.send(command=command, requestId=number, **fields)
                self.assertEqual(h.read_message(), dict(expected, requestId=number))

    def test_request_id_round_trips_at_the_64_bit_limits(self):
        for request_id in (0, -1, 2**63 - 1, -(2**63)):
            with self.subTest(request_id=request_id):
                _, reply = self.helper.request("permission-status", request_id)
                self.assertEqual(reply, status("denied", request_id))

    def test_null_request_id_is_absent_and_other_case_is_ignored(self):
        h = self.helper
        h.write(b'{"command":"permission-status","requestId":null}\n')
        self.assertEqual(h.read_message(), status("denied"))
        h.write(b'{"command":"permission-status","RequestId":5}\n')
        self.assertEqual(h.read_message(), status("denied"))

    def test_the_two_error_texts_never_carry_request_id(self):
        h = self.helper
        cases = [
            (b'{"command":"Stop","requestId":1}\n', UNKNOWN_COMMAND),
            (b'{"command":" stop","requestId":2}\n', UNKNOWN_COMMAND),
            (b'{"command":"status","requestId":3}\n', UNKNOWN_COMMAND),
            (b'{"requestId":4}\n', INVALID_COMMAND),
            (b'{"command":null,"requestId":5}\n', INVALID_COMMAND),
            (b'{"command":"stop","requestId":"6"}\n', INVALID_COMMAND),
            (b'{"command":"stop","requestId":7.5}\n', INVALID_COMMAND),
            (b'{"command":"request-permission","permissionPrompt":1}\n', INVALID_COMMAND),
            (b'{"command":"start","targets":[{"id":"a"}]}\n', INVALID_COMMAND),
            (b"[]\n", INVALID_COMMAND),
            (b'"stop"\n', INVALID_COMMAND),
        ]
        for data, text in cases:
            with self.subTest(data=data):
                h.write(data)
                self.assertEqual(h.read_message(), error(text))

    def test_rejected_start_changes_nothing(self):
        # One bad target rejects the whole line: no block is started.
        h = self.helper
        h.write(b'{"command":"start","targets":[{"id":"a","name":"A"},{"id":"b"}]}\n')
        self.assertEqual(h.read_message(), error(INVALID_COMMAND))
        _, reply = h.request("permission-status", 1)
        self.assertEqual(reply, status("denied", 1))  # No "error": no block is active.


class OrderingAndFramingTest(HelperTestCase):
    def test_replies_come_in_command_order(self):
        commands = ["permission-status", "start", "update", "request-permission", "stop"] * 20
        data = b"".join(
            line({"command": c, "requestId": i, "targets": TARGETS})
            for i, c in enumerate(commands)
        )
        self.helper.write(data)
        replies = [self.helper.read_message() for _ in commands]
        self.assertEqual([r["requestId"] for r in replies], list(range(len(commands))))

    def test_invalid_line_may_overtake_but_every_line_is_answered_once(self):
        h = self.helper
        h.write(line({"command": "start", "requestId": 1, "targets": TARGETS}) + b"{oops\n")
        messages = [h.read_message(), h.read_message()]
        self.assertCountEqual(
            messages, [status("denied", 1, error=True), error(INVALID_COMMAND)]
        )

    def test_crlf_lines_and_final_line_without_lf(self):
        h = self.helper
        h.write(
            b'{"command":"permission-status","requestId":1}\r\n'
            b'{"command":"permission-status","requestId":2}\n'
            b'{"command":"permission-status","requestId":3}'
        )
        h.close_stdin()
        messages, code = h.wait_exit()
        self.assertEqual(messages, [status("denied", n) for n in (1, 2, 3)])
        self.assertEqual(code, 0)

    def test_blank_lines_each_get_their_own_error(self):
        h = self.helper
        h.write(b"\n   \n\t\r\n")
        self.assertEqual([h.read_message() for _ in range(3)], [error(INVALID_COMMAND)] * 3)
        _, reply = h.request("permission-status", 9)
        self.assertEqual(reply, status("denied", 9))


class EndingTest(HelperTestCase):
    def test_end_of_input_answers_everything_read_before(self):
        h = self.helper
        count = 300
        h.write(b"".join(line({"command": "permission-status", "requestId": i}) for i in range(count)))
        h.close_stdin()
        messages, code = h.wait_exit()
        self.assertEqual(messages, [status("denied", i) for i in range(count)])
        self.assertEqual(code, 0)

    def test_end_of_input_during_a_block_ends_the_helper(self):
        h = self.helper
        h.request("start", 1, targets=TARGETS)
        h.close_stdin()
        messages, code = h.wait_exit()
        self.assertEqual(messages, [])
        self.assertEqual(code, 0)

    def test_shutdown_has_no_reply_and_ends_the_helper(self):
        h = self.helper
        h.write(
            line({"command": "start", "requestId": 1, "targets": TARGETS})
            + line({"command": "shutdown", "requestId": 2})
            + line({"command": "permission-status", "requestId": 3})
        )
        messages, code = h.wait_exit()
        self.assertEqual(messages, [status("denied", 1, error=True)])
        self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main()
