"""Supervision: an unexpected exit restarts the helper with backoff and replays the block; a
crash loop ends in "fatal"; close() and stop() never lead to a restart. The real binary is
killed with SIGKILL; the fake helper exits on cue where a request must be in flight."""

import os
import signal
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from support import (FAKE_HELPER, PERMISSION_REQUIRED, TARGETS, Events, HelperCase, headless,
                     shield_helper)

FAST = shield_helper.RestartPolicy(max_restarts=3, window=60.0, backoff=0.02)


class Restarts(HelperCase):
    def test_a_helper_killed_mid_block_is_restarted_and_the_block_replayed(self):
        helper = self.started(restart=FAST)
        events = Events(helper, "exit", "restarted")
        helper.block(TARGETS, time.time() + 60)
        first = helper.pid
        os.kill(first, signal.SIGKILL)
        self.assertEqual(events.next("exit"), shield_helper.ExitInfo(None, "SIGKILL", True))
        # A request made while the helper is down waits for it, after the replay.
        status = helper.permission_status()
        self.assertEqual(status.error, PERMISSION_REQUIRED, "the block is active again")
        replayed = events.next("restarted")
        self.assertIsInstance(replayed.request_id, int)
        self.assertEqual(replayed, headless(error=PERMISSION_REQUIRED,
                                            request_id=replayed.request_id))
        self.assertLess(replayed.request_id, status.request_id)
        self.assertNotEqual(helper.pid, first)
        self.assertEqual(helper.close(), 0)

    def test_after_stop_a_restarted_helper_has_no_block_to_replay(self):
        helper = self.started(restart=FAST)
        events = Events(helper, "restarted")
        helper.block(TARGETS)
        helper.stop()
        os.kill(helper.pid, signal.SIGKILL)
        self.assertEqual(events.next("restarted"), headless(type="ready", permission="unknown"))
        self.assertIsNone(helper.permission_status().error)

    def test_a_helper_that_keeps_dying_is_given_up_after_max_restarts(self):
        helper = self.started(restart=FAST)
        helper.block(TARGETS)
        events = Events(helper, "exit", "restarted", "fatal")
        # Every helper that comes back is killed again, from the callback's own thread.
        helper.on("restarted", lambda _: os.kill(helper.pid, signal.SIGKILL))
        started = time.monotonic()
        os.kill(helper.pid, signal.SIGKILL)
        error = events.next("fatal")
        self.assertRegex(str(error), r"killed by SIGKILL\); it ended 4 times within 60 s")
        kinds = [(kind, getattr(value, "will_restart", None)) for kind, value in events.seen]
        self.assertEqual(kinds, [("exit", True), ("restarted", None), ("exit", True),
                                 ("restarted", None), ("exit", True), ("restarted", None),
                                 ("exit", False), ("fatal", None)])
        # The backoff doubles: 20 + 40 + 80 ms at least.
        self.assertGreaterEqual(time.monotonic() - started, 0.14)
        with self.assertRaisesRegex(shield_helper.HelperNotRunningError, "not restarted again"):
            helper.stop()
        self.assertIsNone(helper.close())

    def test_without_restarts_an_unexpected_exit_is_fatal_at_once(self):
        helper = self.started(restart=False)
        events = Events(helper, "exit", "fatal")
        os.kill(helper.pid, signal.SIGKILL)
        self.assertEqual(events.next("exit"), shield_helper.ExitInfo(None, "SIGKILL", False))
        self.assertRegex(str(events.next("fatal")), "restarting is off")

    def test_close_during_the_backoff_cancels_the_restart(self):
        helper = self.started(restart=shield_helper.RestartPolicy(backoff=60.0))
        events = Events(helper, "exit")
        os.kill(helper.pid, signal.SIGKILL)
        self.assertTrue(events.next("exit").will_restart)
        with ThreadPoolExecutor(1) as pool:
            waiting = pool.submit(helper.permission_status)
            self.assertIsNone(helper.close())
            with self.assertRaisesRegex(shield_helper.HelperNotRunningError, "was closed"):
                waiting.result(10)
        self.assertIsNone(helper.pid)


class FakeHelperExits(HelperCase):
    def setUp(self):
        super().setUp()
        self.addCleanup(os.environ.pop, "FAKE_EXIT_ON", None)
        self.addCleanup(os.environ.pop, "FAKE_RUNS", None)
        self.addCleanup(os.environ.pop, "FAKE_STDERR", None)

    def test_a_request_in_flight_when_the_helper_dies_raises_naming_the_exit(self):
        os.environ["FAKE_EXIT_ON"] = "permission-status"
        helper = self.started(binary_path=FAKE_HELPER, restart=FAST)
        events = Events(helper, "exit", "restarted")
        self.assertIsNotNone(helper.stop().request_id)
        with self.assertRaisesRegex(shield_helper.HelperExitedError,
                                    r'exited \(exit code 7\) before answering "permission-status"'):
            helper.permission_status()
        self.assertEqual(events.next("exit"), shield_helper.ExitInfo(7, None, True))
        events.next("restarted")
        self.assertIsNotNone(helper.update(TARGETS).request_id)

    def test_a_helper_that_dies_before_ready_on_every_restart_ends_in_fatal(self):
        os.environ["FAKE_EXIT_ON"] = "stop"
        with tempfile.TemporaryDirectory() as scratch:
            os.environ["FAKE_RUNS"] = os.path.join(scratch, "runs")
            os.environ["FAKE_STDERR"] = "fake: starting"
            helper = self.helper(binary_path=FAKE_HELPER,
                                 restart=shield_helper.RestartPolicy(max_restarts=2, backoff=0.01))
            events = Events(helper, "exit", "fatal", "stderr")
            helper.start()
            with self.assertRaisesRegex(shield_helper.HelperExitedError, "exit code 7"):
                helper.stop()
            events.next("fatal")
        self.assertEqual([value for kind, value in events.seen if kind == "exit"], [
            shield_helper.ExitInfo(7, None, True),
            shield_helper.ExitInfo(3, None, True),
            shield_helper.ExitInfo(3, None, False),
        ])
        # Every run wrote its line to standard error, passed on before its exit.
        self.assertEqual([kind for kind, _ in events.seen],
                         ["stderr", "exit", "stderr", "exit", "stderr", "exit", "fatal"])
        self.assertEqual({value for kind, value in events.seen if kind == "stderr"},
                         {"fake: starting"})


if __name__ == "__main__":
    unittest.main()
