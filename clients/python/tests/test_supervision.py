"""Supervision: an unexpected exit restarts the helper with backoff and replays the block; while
a block is active the helper is restarted however often it is killed; a crash loop without a
block, or a helper that cannot start, ends in "fatal"; close() and stop() never lead to a
restart; a Ctrl-C to the host's process group does not reach the helper. The real binary is
killed with SIGKILL; the fake helper exits on cue where a request must be in flight."""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from support import (DEADLINE, FAKE_HELPER, HELPER, PERMISSION_REQUIRED, TARGETS, Events,
                     HelperCase, headless, headless_ready, shield_helper)

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
        self.assertEqual(events.next("restarted"), headless_ready())
        self.assertIsNone(helper.permission_status().error)

    def test_a_helper_killed_ten_times_during_a_block_is_restarted_ten_times(self):
        # Far more kills than max_restarts allows without a block, and waits capped at 40 ms:
        # doubled without a cap, the tenth alone would be 10 s.
        helper = self.started(restart=shield_helper.RestartPolicy(
            max_restarts=3, window=60.0, backoff=0.02, max_backoff=0.04))
        helper.block(TARGETS, time.time() + 60)
        events = Events(helper, "exit", "restarted", "fatal")
        pids = [helper.pid]
        started = time.monotonic()
        for kill in range(1, 11):
            os.kill(helper.pid, signal.SIGKILL)
            self.assertEqual(events.next("exit"), shield_helper.ExitInfo(None, "SIGKILL", True))
            replayed = events.next("restarted")
            self.assertIsInstance(replayed.request_id, int, f"restart {kill} replayed the block")
            self.assertEqual(replayed, headless(error=PERMISSION_REQUIRED,
                                                request_id=replayed.request_id))
            pids.append(helper.pid)
        elapsed = time.monotonic() - started
        self.assertEqual([kind for kind, _ in events.drain()], ["exit", "restarted"] * 10)
        self.assertEqual(len(set(pids)), 11, "every restart is a new helper process")
        self.assertLess(elapsed, 8.0, f"ten restarts took {elapsed:.1f} s: the backoff is not capped")
        self.assertEqual(helper.permission_status().error, PERMISSION_REQUIRED,
                         "the block is active in the last helper")
        self.assertEqual(helper.close(), 0)

    def test_a_helper_that_keeps_dying_without_a_block_is_given_up_after_max_restarts(self):
        helper = self.started(restart=FAST)
        # A block that was stopped is not active: the helper may be given up.
        helper.block(TARGETS)
        helper.stop()
        events = Events(helper, "exit", "restarted", "fatal")
        # Every helper that comes back is killed again, from the callback's own thread.
        helper.on("restarted", lambda _: os.kill(helper.pid, signal.SIGKILL))
        started = time.monotonic()
        os.kill(helper.pid, signal.SIGKILL)
        error = events.next("fatal")
        self.assertRegex(str(error), r"killed by SIGKILL\); it ended 4 times within 60 s while no "
                                     r"block was active, so it is not restarted again")
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
        # A helper that cannot start is given up, with or without a block: each of its restarts
        # ends by itself before "ready".
        for when, exit_on, block in (("without a block", "stop", False),
                                     ("during a block", "permission-status", True)):
            with self.subTest(when), tempfile.TemporaryDirectory() as scratch:
                os.environ["FAKE_EXIT_ON"] = exit_on
                os.environ["FAKE_RUNS"] = os.path.join(scratch, "runs")
                os.environ["FAKE_STDERR"] = "fake: starting"
                helper = self.helper(binary_path=FAKE_HELPER, restart=shield_helper.RestartPolicy(
                    max_restarts=2, backoff=0.01))
                events = Events(helper, "exit", "fatal", "stderr")
                helper.start()
                if block:
                    helper.block(TARGETS)
                with self.assertRaisesRegex(shield_helper.HelperExitedError,
                                            f'exit code 7\\) before answering "{exit_on}"'):
                    helper.stop() if exit_on == "stop" else helper.permission_status()
                self.assertRegex(str(events.next("fatal")),
                                 r"exited \(exit code 3\); 2 restarts in a row ended before it "
                                 r"was ready, so it is not restarted again")
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


def running(pid):
    """Whether process `pid` still runs (a zombie has ended)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rpartition(") ")[2][:1] != "Z"
    except (FileNotFoundError, ProcessLookupError):
        # ProcessLookupError: the process was reaped between the open and the read.
        return False


class CtrlC(HelperCase):
    """A host run from a terminal shares the terminal's foreground process group with its
    children, and Ctrl-C sends SIGINT to the whole group. The host here runs in a group of its
    own, as a shell puts a job, and the test plays the terminal."""

    HOST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sigint_host.py")

    def test_a_ctrl_c_to_the_hosts_process_group_does_not_reach_the_helper(self):
        for how, expected, ended in (
            # The host's clean-up finds the helper as it was: no unexpected exit, the stop
            # answered, and the helper's own exit code from close().
            ("handle", [{"stopped": True}, {"event": "exit", "code": 0, "signal": None,
                                            "will_restart": False}, {"closed": 0}], 0),
            # A host that dies of its Ctrl-C takes the helper with it: the end of its input.
            ("die", [], -signal.SIGINT),
        ):
            with self.subTest(how):
                host = subprocess.Popen([sys.executable, self.HOST, how], stdout=subprocess.PIPE,
                                        start_new_session=True, text=True,
                                        env=dict(os.environ, SHIELD_HELPER=HELPER))
                self.addCleanup(host.wait, DEADLINE)
                self.addCleanup(host.stdout.close)
                pid = json.loads(host.stdout.readline())["pid"]
                self.assertTrue(running(pid), "the helper runs")
                os.killpg(host.pid, signal.SIGINT)
                said = [json.loads(line) for line in host.stdout]
                self.assertEqual(said, expected)
                self.assertEqual(host.wait(DEADLINE), ended)
                deadline = time.monotonic() + DEADLINE
                while running(pid):
                    self.assertLess(time.monotonic(), deadline, f"helper {pid} outlived its host")
                    time.sleep(0.025)


if __name__ == "__main__":
    unittest.main()
