"""Counts that tell the truth: a shield unmapped, moved or lowered behind the helper's back by
another X client leaves its window counted uncovered until the helper has it back in place, and
the counts then agree with the X server again, without a burst of status messages. Once under
openbox and once with no window manager. (A window manager's own actions on a shield are checked
under each window manager by test_wm_matrix.)"""

import os
import unittest

from xharness import (DEADLINE, SHIELD_CLASS, DisplayCase, Helper, Probe, Processes,
                      client_windows, coverage_problem, new_log_file, wait_until)

TARGETS = [{"id": "log", "name": "Log Client", "bundleId": "LOGCLIENT"}]
# The helper hears of the change from the X server and has the shield back well before the
# periodic pass four seconds later would.
RESTORE = 2.0


WM = "openbox"
NO_WM = "none"


def unmap(display, shield, blocked):
    display.xdotool("windowunmap", shield)


def move(display, shield, blocked):
    display.xdotool("windowmove", shield, 0, 0)


def raise_blocked(display, shield, blocked):
    display.xdotool("windowraise", blocked)


# Displacements: name, the action on (display, shield, blocked window), whether the helper
# must report the window uncovered before it has the shield back, and where it applies.
CASES = [
    # A window of the helper's own comes back, and back to its frame, only through the pass
    # that counts it: that pass still sees it away.
    ("unmapped", unmap, True, (NO_WM,)),
    ("moved", move, True, (NO_WM,)),
    # Under a window manager the helper may have the shield back before a pass counts it: an
    # unmapped shield is withdrawn, the window manager activates the blocked window, and the
    # activation puts the shield back at once; a move is answered by the window manager.
    ("unmapped", unmap, False, (WM,)),
    ("moved", move, False, (WM,)),
    # Restacked right back, on the restack itself.
    ("below its window", raise_blocked, False, (WM, NO_WM)),
]


def is_status(message):
    return message.get("type") == "status" and "requestId" not in message


class PlacementBase(DisplayCase):
    MODE = None

    def setUp(self):
        self.processes = Processes()
        self.addCleanup(self.processes.end_all)
        self.log = new_log_file(None)
        self.addCleanup(os.unlink, self.log)
        env = self.display.env
        self.processes.start([os.environ["LOGCLIENT"], "--log", self.log, "--class", "LogClient",
                              "--geometry", "320x240+200+150"], env)
        state = wait_until(lambda: client_windows(self.display.state(), "LogClient"),
                           "the blocked window")
        self.blocked = state[0][2]["id"]
        self.helper = Helper(self.processes, env)
        reply = self.helper.request("start", targets=TARGETS)
        self.assertTrue(reply["watcherRunning"])
        self.covered("the first shield", timeout=DEADLINE)

    def shield(self):
        shields = client_windows(self.display.state(), SHIELD_CLASS)
        self.assertEqual(len(shields), 1)
        return shields[0][2]["id"]

    def covered(self, what, timeout=RESTORE):
        """X shows the window covered and the helper's latest counts say so."""
        def probe():
            problem = coverage_problem(self.display.state(), ["LogClient"])
            if problem:
                return Probe(problem)
            status = self.helper.status()
            counts = (status["eligibleWindowCount"], status["coveredWindowCount"],
                      status.get("coverageError"))
            return counts == (1, 1, None) or Probe(f"helper reports {counts}")
        wait_until(probe, what, timeout=timeout)

    def displace(self, name, action, reported):
        mark = self.helper.mark()
        action(self.display, self.shield(), self.blocked)
        if reported:
            uncovered = self.helper.wait_for(
                lambda m: is_status(m) and m["coveredWindowCount"] == 0, f"{name}: uncovered",
                timeout=RESTORE, start=mark)
            self.assertEqual((uncovered["eligibleWindowCount"], uncovered["uncoveredWindowCount"],
                              uncovered.get("coverageError")),
                             (1, 1, "One or more eligible target windows could not be shielded."))
            self.helper.wait_for(lambda m: is_status(m) and m["coveredWindowCount"] == 1,
                                 f"{name}: covered again", timeout=RESTORE, start=mark)
        self.covered(f"{name}: the shield back in place")
        # Once down and once up at most: no flapping while the helper puts it back.
        with self.helper.lock:
            statuses = [m for m in self.helper.messages[mark:] if is_status(m)]
        self.assertLessEqual(len(statuses), 2, statuses)
        if statuses:
            self.assertEqual(statuses[-1]["coveredWindowCount"], 1, statuses)

    def test_displacements(self):
        for name, action, reported, modes in CASES:
            if self.MODE not in modes:
                continue
            with self.subTest(name):
                self.displace(name, action, reported)


class WithOpenbox(PlacementBase, unittest.TestCase):
    MODE = WM
    WINDOW_MANAGER = True


class WithoutWindowManager(PlacementBase, unittest.TestCase):
    MODE = NO_WM


if __name__ == "__main__":
    unittest.main()
