"""The real helper on a virtual display, once under openbox and once with no window manager,
against xterm and our own test client. One table of scenarios; after each, the shields are
checked from the X server itself (geometry and stacking) and against the helper's counts."""

import os
import time
import unittest

from xharness import (DEADLINE, SHIELD_CLASS, Display, DisplayCase, Helper, Probe, Processes,
                      client_windows, coverage_problem, eligible_count, kill_hard, missing_tools,
                      new_log_file, rect, wait_until)

TARGETS = [
    {"id": "term", "name": "XTerm", "bundleId": "xterm"},
    {"id": "log", "name": "Log & Client", "bundleId": "LOGCLIENT"},
]
TARGET_CLASSES = ["XTerm", "LogClient"]
# Moves and resizes must be followed through the window's own events, well before the periodic
# pass four seconds later would catch up with them.
FOLLOW = 2.0

WM = "openbox"
NO_WM = "none"
BOTH = (WM, NO_WM)


def latest_status(helper):
    with helper.lock:
        statuses = [m for m in helper.messages if m.get("type") in ("status", "ready")]
    return statuses[-1] if statuses else None


def only(found, what):
    assert len(found) == 1, f"expected one {what}, found {len(found)}"
    return found[0]


class ScenarioBase(DisplayCase):
    MODE = None

    @classmethod
    def setUpClass(cls):
        cls.WINDOW_MANAGER = cls.MODE == WM
        super().setUpClass()

    def setUp(self):
        self.processes = Processes()
        self.extra_wm = None
        self.log_path = new_log_file(None)
        # Cleanups run even when setUp fails half-way, unlike tearDown.
        self.addCleanup(self.cleanup)
        env = self.display.env
        self.xterm = self.processes.start(["xterm", "-geometry", "80x24+100+100"], env)
        self.processes.start([os.environ["LOGCLIENT"], "--log", self.log_path, "--class",
                              "LogClient", "--geometry", "320x240+700+100", "--geometry",
                              "60x40+700+420"], env)
        self.processes.start([os.environ["LOGCLIENT"], "--log", self.log_path, "--class",
                              "OtherApp", "--color", "20a020", "--geometry", "240x160+300+300"],
                             env)

        def clients_up():
            state = self.display.state()
            counts = [len(client_windows(state, c)) for c in ("XTerm", "LogClient", "OtherApp")]
            return state if counts == [1, 2, 1] else Probe(f"clients seen: {counts}")

        state = wait_until(clients_up, "the test clients")
        self.xterm_window = only(client_windows(state, "XTerm"), "xterm")[2]["id"]
        self.other_window = only(client_windows(state, "OtherApp"), "other")[2]["id"]
        self.helper = Helper(self.processes, env)
        reply = self.helper.request("start", targets=TARGETS)
        self.assertTrue(reply["watcherRunning"])
        self.assertEqual(reply["permission"], "granted")
        self.settled(2)

    def cleanup(self):
        self.processes.end_all()
        if self.extra_wm is not None:
            self.display.stop_wm()
        os.unlink(self.log_path)

        def clients_gone():
            state = self.display.state()
            left = [c["class"] for (_, _, c) in client_windows(state)]
            return Probe(f"still on screen: {left}") if left else True

        wait_until(clients_gone, "the test's windows to go")

    # Checks.

    def settled(self, eligible, extra=None, timeout=DEADLINE):
        """Waits until X shows `eligible` eligible windows, each covered exactly and directly,
        no other shield, and the helper's latest status says the same; `extra` may add a
        condition on the X state. Sends nothing to the helper meanwhile, so only its own
        event handling can bring this about."""

        def probe():
            state = self.display.state()
            problem = coverage_problem(state, TARGET_CLASSES)
            if problem:
                return Probe(problem)
            n = eligible_count(state, TARGET_CLASSES)
            if n != eligible:
                return Probe(f"{n} eligible windows on screen, expected {eligible}")
            if extra is not None:
                reason = extra(state)
                if reason:
                    return Probe(reason)
            status = latest_status(self.helper)
            counts = (status["shieldCount"], status["eligibleWindowCount"],
                      status["coveredWindowCount"], status.get("coverageError"))
            if counts != (n, n, n, None):
                return Probe(f"helper reports {counts}, X shows {n}")
            return state

        return wait_until(probe, f"{eligible} covered windows", timeout)

    def no_shields(self):
        def probe():
            shields = client_windows(self.display.state(), SHIELD_CLASS)
            if shields:
                return Probe(f"{len(shields)} shields still on screen")
            # Unmapped ones count too: every shield window must be gone.
            state = self.display.state()
            left = [c for t in state["toplevels"] for c in t["clients"]
                    if c["class"] == SHIELD_CLASS]
            return Probe(f"{len(left)} shield windows left") if left else True

        wait_until(probe, "every shield to go")

    def toplevel_index(self, state, client_id):
        for index, toplevel, client in client_windows(state):
            if client["id"] == client_id:
                return index
        return None

    def attempts(self):
        return self.helper.count("accessAttempt")

    def raise_window(self, window):
        # With a window manager, raising is its business; without one, the client's request
        # is carried out as it stands.
        if self.MODE == WM:
            self.display.xdotool("windowactivate", window)
        else:
            self.display.xdotool("windowraise", window)

    # Scenarios.

    def scenario_block(self):
        state = self.settled(2)
        # The small window of the blocked client and the other application stay bare.
        for index, toplevel, client in client_windows(state):
            if client["class"] == "OtherApp" or (client["class"] == "LogClient" and
                                                 toplevel["w"] < 80):
                above = [c for (i, _, c) in client_windows(state) if i == index + 1]
                self.assertFalse(above and above[0]["class"] == SHIELD_CLASS,
                                 f"{client['class']} {toplevel['w']}x{toplevel['h']} is covered")

    def scenario_move(self):
        before = rect(only([t for (_, t, _) in client_windows(self.display.state(), "XTerm")],
                           "xterm"))
        self.display.xdotool("windowmove", self.xterm_window, 420, 260)

        def moved(state):
            now = rect(only([t for (_, t, _) in client_windows(state, "XTerm")], "xterm"))
            return None if now[:2] != before[:2] and now[2:] == before[2:] else f"xterm at {now}"

        self.settled(2, moved, FOLLOW)

    def scenario_resize(self):
        before = rect(only([t for (_, t, _) in client_windows(self.display.state(), "XTerm")],
                           "xterm"))
        self.display.xdotool("windowsize", self.xterm_window, 300, 200)

        def resized(state):
            now = rect(only([t for (_, t, _) in client_windows(state, "XTerm")], "xterm"))
            return None if now[2:] != before[2:] else f"xterm still {now}"

        self.settled(2, resized, FOLLOW)

    def scenario_minimise_and_restore(self):
        self.display.xdotool("windowminimize", self.xterm_window)
        self.settled(1, lambda s: "xterm still viewable" if client_windows(s, "XTerm") else None)
        attempts = self.attempts()
        # Restoring through the window manager also brings the blocked application forward.
        self.display.xdotool("windowactivate", self.xterm_window)
        self.settled(2)
        wait_until(lambda: self.attempts() > attempts, "an access attempt")

    def scenario_unmap_and_map(self):
        self.display.xdotool("windowunmap", self.xterm_window)
        self.settled(1, lambda s: "xterm still viewable" if client_windows(s, "XTerm") else None)
        self.display.xdotool("windowmap", self.xterm_window)
        self.settled(2)

    def scenario_another_application_raised(self):
        attempts = self.attempts()
        self.raise_window(self.other_window)

        def other_on_top(state):
            other = self.toplevel_index(state, self.other_window)
            shield = self.toplevel_index(state, self.xterm_window) + 1
            return None if other is not None and other > shield else "other app below the shield"

        self.settled(2, other_on_top)
        self.assertEqual(self.attempts(), attempts)

    def scenario_blocked_application_raised(self):
        self.raise_window(self.other_window)
        self.settled(2, lambda s: None if self.toplevel_index(s, self.other_window) >
                     self.toplevel_index(s, self.xterm_window) else "other app not on top")
        attempts = self.attempts()
        self.raise_window(self.xterm_window)

        def xterm_on_top(state):
            if self.toplevel_index(state, self.xterm_window) < self.toplevel_index(
                    state, self.other_window):
                return "xterm still below the other app"
            if self.MODE == WM:
                # Coming to the front gives the shield over it the focus.
                shield_index = self.toplevel_index(state, self.xterm_window) + 1
                shield = [c for (i, _, c) in client_windows(state) if i == shield_index]
                if not shield or state["active"] != shield[0]["id"]:
                    return f"active window {state['active']:#x} is not the xterm's shield"
            return None

        self.settled(2, xterm_on_top)
        if self.MODE == WM:
            wait_until(lambda: self.attempts() == attempts + 1, "one access attempt")
        else:
            # Without a window manager nothing is ever activated.
            self.assertEqual(self.attempts(), attempts)

    def scenario_new_window(self):
        self.processes.start(["xterm", "-geometry", "40x10+150+520"], self.display.env)
        self.settled(3)

    def scenario_application_quits(self):
        self.processes.end(self.xterm)
        self.settled(1)

    def scenario_end_time_passes(self):
        seen = len(self.helper.messages)
        ends_at = time.time() * 1000 + 1500
        reply = self.helper.request("update", targets=TARGETS, endsAt=ends_at)
        self.assertEqual(reply["shieldCount"], 2)
        self.no_shields()
        final = wait_until(lambda: self.helper.find(
            lambda m: m.get("type") == "status" and "requestId" not in m and
            not m["watcherRunning"], seen), "the status that ends the block")
        self.assertEqual((final["shieldCount"], final["coveredWindowCount"]), (0, 0))
        self.assertGreaterEqual(time.time() * 1000, ends_at)

    def scenario_stop(self):
        reply = self.helper.request("stop")
        self.assertEqual((reply["shieldCount"], reply["watcherRunning"]), (0, False))
        self.no_shields()

    def scenario_helper_killed(self):
        kill_hard(self.helper.process)
        self.no_shields()

    def scenario_shutdown(self):
        self.helper.send({"command": "shutdown"})
        self.assertEqual(self.helper.process.wait(timeout=DEADLINE), 0)
        self.no_shields()

    def scenario_end_of_input(self):
        self.helper.process.stdin.close()
        self.assertEqual(self.helper.process.wait(timeout=DEADLINE), 0)
        self.no_shields()

    def scenario_desktop_switch(self):
        self.display.xdotool("set_desktop", 1)
        self.settled(0)
        self.display.xdotool("set_desktop", 0)
        self.settled(2)

    def scenario_windows_vanish_while_watched(self):
        # Windows that come and go faster than the helper can look at them: its queries
        # fail on vanished windows, which must cost nothing but those windows.
        for i in range(12):
            churn = self.processes.start(
                [os.environ["LOGCLIENT"], "--log", self.log_path, "--geometry",
                 f"200x150+{40 * i}+500", "--geometry", "200x150+900+500"], self.display.env)
            if i % 2:
                self.processes.end(churn)
            else:
                kill_hard(churn)
        self.settled(2)
        self.assertIsNone(self.helper.process.poll())

    def scenario_many_windows(self):
        # More windows than shields a window manager is given to manage: every shield becomes
        # a window of the helper's own, those already shown included, and every window is
        # covered all the same, and followed when it moves.
        count = 70
        many = {"id": "many", "name": "Many", "bundleId": "ManyWindows"}
        self.processes.start([os.environ["XPROBE"], "windows", "ManyWindows", "100", "80",
                              str(count)], self.display.env)
        wait_until(lambda: len(client_windows(self.display.state(), "ManyWindows")) == count
                   or Probe("not all mapped"), f"{count} more windows", timeout=DEADLINE)
        self.helper.request("update", targets=TARGETS + [many])
        classes = TARGET_CLASSES + ["ManyWindows"]

        def covered(what):
            def probe():
                state = self.display.state()
                problem = coverage_problem(state, classes)
                if problem:
                    return Probe(problem)
                status = latest_status(self.helper)
                counts = (status["eligibleWindowCount"], status["coveredWindowCount"])
                return state if counts == (count + 2, count + 2) else Probe(f"counts {counts}")
            return wait_until(probe, what, timeout=DEADLINE)

        state = covered(f"{count + 2} covered windows")
        own = sum(1 for (_, toplevel, _) in client_windows(state, SHIELD_CLASS)
                  if toplevel["override"])
        self.assertEqual(own, count + 2, "shields of the helper's own")
        window = client_windows(state, "ManyWindows")[-1][2]["id"]
        self.display.xdotool("windowmove", window, 500, 420)
        covered("the moved window covered")

    def scenario_window_manager_starts(self):
        # Shields made as override-redirect windows become managed ones and stay in place.
        self.extra_wm = self.display.start_wm()
        self.settled(2)


# name, modes it applies to
SCENARIOS = [
    ("block", BOTH),
    ("move", BOTH),
    ("resize", BOTH),
    ("minimise_and_restore", (WM,)),
    ("unmap_and_map", (NO_WM,)),
    ("another_application_raised", BOTH),
    ("blocked_application_raised", BOTH),
    ("new_window", BOTH),
    ("application_quits", BOTH),
    ("end_time_passes", BOTH),
    ("stop", BOTH),
    ("helper_killed", BOTH),
    ("shutdown", BOTH),
    ("end_of_input", BOTH),
    ("desktop_switch", (WM,)),
    ("windows_vanish_while_watched", BOTH),
    ("window_manager_starts", (NO_WM,)),
    ("many_windows", (WM,)),
]


class WithOpenbox(ScenarioBase, unittest.TestCase):
    MODE = WM


class WithoutWindowManager(ScenarioBase, unittest.TestCase):
    MODE = NO_WM


class DisplayLost(unittest.TestCase):
    """A helper whose X server goes away ends, rather than running on blind."""

    def test_helper_exits_when_the_display_goes(self):
        missing = missing_tools()
        if missing:
            self.skipTest("missing: " + ", ".join(missing))
        display = Display()
        display.start()
        self.addCleanup(display.stop)
        processes = Processes()
        self.addCleanup(processes.end_all)
        processes.start(["xterm", "-geometry", "80x24+100+100"], display.env)
        wait_until(lambda: client_windows(display.state(), "XTerm"), "xterm")
        helper = Helper(processes, display.env)
        helper.request("start", targets=TARGETS)
        wait_until(lambda: client_windows(display.state(), SHIELD_CLASS), "the shield")
        kill_hard(display.server)
        self.assertEqual(helper.process.wait(timeout=DEADLINE), 1)


def _make_test(name):
    def test(self):
        getattr(self, "scenario_" + name)()

    test.__name__ = "test_" + name
    return test


for _name, _modes in SCENARIOS:
    for _cls in (WithOpenbox, WithoutWindowManager):
        if _cls.MODE in _modes:
            setattr(_cls, "test_" + _name, _make_test(_name))

if __name__ == "__main__":
    unittest.main()
