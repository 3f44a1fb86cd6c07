"""A host that reads slowly or not at all, floods commands, or sends huge lines: the helper's
own work never waits on it, nothing it is owed is lost or cut, and memory stays bounded."""

import os
import time
import unittest

from helper_process import HelperTestCase, line, now_ms, status

TARGETS = [{"id": "t1", "name": "Editor", "bundleId": "org.example.Editor"}]

# Sanitized builds keep freed memory in quarantine, so memory figures mean nothing there.
SANITIZED = os.environ.get("SHIELD_SANITIZE") == "1"


def commands(first_id, count, command="permission-status"):
    return b"".join(line({"command": command, "requestId": i}) for i in range(first_id, first_id + count))


class SlowHostTest(HelperTestCase):
    def wait_until_stuck(self, progress, timeout=30):
        """Waits until the writing thread has made no progress for a second: the helper has
        stopped reading."""
        deadline = time.monotonic() + timeout
        last, since = -1, time.monotonic()
        while time.monotonic() < deadline:
            if progress["written"] != last:
                last, since = progress["written"], time.monotonic()
            elif time.monotonic() - since > 1.0:
                return last
            time.sleep(0.05)
        self.fail("the helper kept reading input that nobody answered")

    def test_the_block_ends_on_time_while_the_host_does_not_read(self):
        h = self.helper
        ends_at = now_ms() + 1500
        _, reply = h.request("start", 1, targets=TARGETS, endsAt=ends_at)
        self.assertEqual(reply, status("denied", 1, error=True))
        # More answers than the pipe holds, but less than the backlog at which the helper
        # stops reading: the helper must keep working, not wait in a write.
        count = 2000
        thread, _ = h.write_without_reading(commands(2, count))
        thread.join(timeout=20)
        self.assertFalse(thread.is_alive(), "the helper stopped reading too early")
        # The end time passes while nothing is read. The main thread, which ends the block,
        # must not be waiting in a write to the host meanwhile.
        time.sleep(max(ends_at - now_ms(), 0) / 1000 + 0.5)
        with open(f"/proc/{h.proc.pid}/wchan") as wchan:
            self.assertNotIn("pipe_write", wchan.read())
        marker = 2 + count
        h.send(command="permission-status", requestId=marker)
        messages = []
        while not messages or messages[-1].get("requestId") != marker:
            messages.append(h.read_message())
        # Every answer whole and in order; the end published once, at the time it happened:
        # after the answers written before it, before the command sent after it.
        replies = [m for m in messages if "requestId" in m]
        self.assertEqual([m["requestId"] for m in replies], list(range(2, marker + 1)))
        unsolicited = [i for i, m in enumerate(messages) if "requestId" not in m]
        self.assertEqual(len(unsolicited), 1, unsolicited)
        end = unsolicited[0]
        self.assertEqual(messages[end], status("denied"))
        self.assertLess(end, len(messages) - 1, "the end came only after the host read again")
        for message in messages[:end]:
            self.assertEqual(message, status("denied", message["requestId"], error=True))
        for message in messages[end + 1 :]:
            self.assertEqual(message, status("denied", message["requestId"]))

    def test_a_flood_of_unread_commands_keeps_memory_bounded_and_all_are_answered(self):
        h = self.helper
        rss_before, _ = h.memory_kib()
        count = 300_000
        thread, progress = h.write_without_reading(commands(1, count))
        written = self.wait_until_stuck(progress)
        self.assertLess(written, count * 20, "the helper read the whole flood unanswered")
        rss, peak = h.memory_kib()
        if not SANITIZED:
            # Held back: about 1 MiB of answers, the pipes and 256 waiting commands.
            self.assertLess(peak - rss_before, 24 * 1024, (rss_before, rss, peak))
        for request_id in range(1, count + 1):
            self.assertEqual(h.read_message(), status("denied", request_id))
        thread.join(timeout=20)

    @unittest.skipIf(SANITIZED, "memory figures are meaningless under a sanitizer")
    def test_a_huge_legal_line_does_not_stay_resident(self):
        h = self.helper
        rss_before, _ = h.memory_kib()
        padding = "x" * (60 << 20)
        thread, _ = h.write_without_reading(line({"command": "stop", "requestId": 1, "padding": padding}))
        self.assertEqual(h.reply_to(1, timeout=60)[1], status("unknown", 1))
        thread.join(timeout=20)
        # The input thread hands the memory back just after it has posted the command, so the
        # reply may come first: wait for it, within a deadline.
        deadline = time.monotonic() + 5
        rss, peak = h.memory_kib()
        while time.monotonic() < deadline and rss - rss_before >= 16 * 1024:
            time.sleep(0.05)
            rss, peak = h.memory_kib()
        self.assertGreater(peak - rss_before, 60 * 1024)
        self.assertLess(rss - rss_before, 16 * 1024, (rss_before, rss, peak))


if __name__ == "__main__":
    unittest.main()
