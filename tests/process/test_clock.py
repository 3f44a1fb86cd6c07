"""The end of a block is a moment of the wall clock: a clock set forward past it ends the block
within a second, a clock set back does not end it early. libfaketime moves the helper's wall
clock while its monotonic clock runs on, as a clock change or a resume from sleep would."""

import glob
import os
import tempfile
import time
import unittest

from helper_process import Helper, HelperTestCase, now_ms, status

TARGETS = [{"id": "t1", "name": "Editor", "bundleId": "org.example.Editor"}]
FAKETIME = sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))


@unittest.skipUnless(FAKETIME, "libfaketime is not installed")
# libfaketime's interposed clock calls run before a sanitizer's runtime is ready and hang it.
@unittest.skipIf(os.environ.get("SHIELD_SANITIZE") == "1", "libfaketime cannot run under a sanitizer")
class WallClockTest(HelperTestCase):
    def setUp(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.offset_file = os.path.join(directory.name, "offset")
        self.set_offset("+0")
        self.helper = self.start_helper(
            extra_environment={
                "LD_PRELOAD": FAKETIME[0],
                "FAKETIME_TIMESTAMP_FILE": self.offset_file,
                "FAKETIME_NO_CACHE": "1",
                "DONT_FAKE_MONOTONIC": "1",
            }
        )
        self.assertEqual(self.helper.read_message()["type"], "ready")

    def set_offset(self, offset):
        with open(self.offset_file + ".new", "w") as new:
            new.write(offset + "\n")
        os.replace(self.offset_file + ".new", self.offset_file)

    def start_block(self, seconds_from_now):
        _, reply = self.helper.request(
            "start", 1, targets=TARGETS, endsAt=now_ms() + seconds_from_now * 1000
        )
        self.assertEqual(reply, status("denied", 1, error=True))

    def test_a_clock_set_two_hours_forward_ends_an_hour_long_block_within_a_second(self):
        self.start_block(3600)
        self.helper.expect_silence(0.3)
        self.set_offset("+2h")
        jumped = time.monotonic()
        self.assertEqual(self.helper.read_message(timeout=10), status("denied"))
        late = time.monotonic() - jumped
        self.assertLess(late, 1.5)

    def test_a_clock_set_back_does_not_end_the_block_early(self):
        self.start_block(1)
        self.set_offset("-1h")
        self.helper.expect_silence(2.5)
        self.set_offset("+0")
        self.assertEqual(self.helper.read_message(timeout=10), status("denied"))


if __name__ == "__main__":
    unittest.main()
