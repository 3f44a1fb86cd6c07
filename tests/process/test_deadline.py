"""A block's end time, seen from the host of a headless helper.

Headless, the accessibility permission is denied, so no reconciliation pass ever runs and
nothing publishes coverage until a block expires. Expiry publishes through the coverage
signature ("active|granted|eligible|covered|error"): the first expiry in a process always
writes an unsolicited "status" (nothing was published before), and every later expiry finds
the same signature "false|false|0|0|" already published and writes nothing.
"""

import time
import unittest

from helper_process import HelperTestCase, now_ms, status

TARGETS = [{"id": "t1", "name": "Editor", "bundleId": "org.example.Editor"}]


class DeadlineTest(HelperTestCase):
    def wait_until_block_is_over(self, request_id, ends_at):
        """Lets the end time pass (nothing may be written meanwhile), then asks for the status
        until the permission error is gone, which it is exactly when the block is no longer
        active; returns the messages seen besides the replies."""
        self.helper.expect_silence(max(ends_at - now_ms(), 0) / 1000)
        others = []
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            earlier, reply = self.helper.request("permission-status", request_id)
            others += earlier
            if "error" not in reply:
                self.assertEqual(reply, status("denied", request_id))
                return others
            request_id += 1
        self.fail("the block did not end")

    def test_end_time_already_passed_ends_the_block_before_the_reply(self):
        earlier, reply = self.helper.request("start", 1, targets=TARGETS, endsAt=1000)
        # The expiry inside the command publishes first. The permission is queried only
        # after the deadline is armed, so that message still says "unknown".
        self.assertEqual(earlier, [status("unknown")])
        self.assertEqual(reply, status("denied", 1))

    def test_end_time_passing_while_the_block_runs(self):
        h = self.helper
        _, reply = h.request("permission-status", 1)
        self.assertEqual(reply, status("denied", 1))
        ends_at = now_ms() + 300
        earlier, reply = h.request("start", 2, targets=TARGETS, endsAt=ends_at)
        self.assertEqual(earlier, [])
        self.assertEqual(reply, status("denied", 2, error=True))

        expiry = h.read_message(timeout=10)
        arrived = now_ms()
        self.assertEqual(expiry, status("denied"))  # Unsolicited: no "requestId", no "error".
        self.assertGreaterEqual(arrived, ends_at - 20)
        self.assertEqual(self.wait_until_block_is_over(3, ends_at), [])

    def test_later_expiry_in_the_same_process_writes_nothing(self):
        h = self.helper
        earlier, _ = h.request("start", 1, targets=TARGETS, endsAt=1000)
        self.assertEqual(len(earlier), 1)  # The first expiry publishes.

        # Past end time again: the same signature, so no unsolicited message.
        earlier, reply = h.request("start", 2, targets=TARGETS, endsAt=1000)
        self.assertEqual(earlier, [])
        self.assertEqual(reply, status("denied", 2))

        # An end time that passes while the block runs: likewise silent.
        ends_at = now_ms() + 300
        _, reply = h.request("start", 3, targets=TARGETS, endsAt=ends_at)
        self.assertEqual(reply, status("denied", 3, error=True))
        self.assertEqual(self.wait_until_block_is_over(4, ends_at), [])

    def test_update_without_end_time_cancels_the_deadline(self):
        h = self.helper
        ends_at = now_ms() + 300
        h.request("start", 1, targets=TARGETS, endsAt=ends_at)
        _, reply = h.request("update", 2)
        self.assertEqual(reply, status("denied", 2, error=True))
        # Well past the old end time the block is still on and nothing was published.
        h.expect_silence(max(ends_at - now_ms(), 0) / 1000 + 0.3)
        _, reply = h.request("permission-status", 3)
        self.assertEqual(reply, status("denied", 3, error=True))

    def test_far_future_end_time_does_not_end_the_block(self):
        # An end time beyond any clock's range must not wrap round into the past.
        h = self.helper
        for number, ends_at in enumerate((1e300, 1.7e308, 9.3e18), start=1):
            with self.subTest(ends_at=ends_at):
                earlier, reply = h.request("start", number * 10, targets=TARGETS, endsAt=ends_at)
                self.assertEqual(earlier, [])
                self.assertEqual(reply, status("denied", number * 10, error=True))
                earlier, reply = h.request("permission-status", number * 10 + 1)
                self.assertEqual(earlier, [])
                self.assertEqual(reply, status("denied", number * 10 + 1, error=True))

    def test_stop_cancels_the_deadline(self):
        h = self.helper
        ends_at = now_ms() + 300
        h.request("start", 1, targets=TARGETS, endsAt=ends_at)
        _, reply = h.request("stop", 2)
        self.assertEqual(reply, status("denied", 2))
        h.expect_silence(max(ends_at - now_ms(), 0) / 1000 + 0.3)


if __name__ == "__main__":
    unittest.main()
