"""A shield killed by the user or the window manager: xkill, and the force-quit actions of
window managers, end the helper's whole connection to the X server (XKillClient), and with it
every shield. The helper connects again, as the same process, and covers the blocked window
again within a second, every reply still coming in order; the window manager's close on a
focused shield changes nothing and is reported as an access attempt. Under each window manager
listed here that is installed, on a display of its own."""

import copy
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

from test_wm_matrix import BLOCKED, FOLLOW, TARGETS, WINDOW_MANAGERS, Session, frame_fits
from xharness import (Helper, Probe, coverage_problem, missing_tools, wait_until)

# The window managers, with their own session bus: xfwm4 and KWin need one.
KILL_WINDOW_MANAGERS = ["openbox", "xfwm4", "kwin"]
KILLS = 5
# All the kills within this time, each leaving the blocked window uncovered at most this long.
KILLS_WITHIN = 10.0
UNCOVERED_AT_MOST = 1.0
# How soon the access attempt of a close is written.
ATTEMPT_WITHIN = 2.0


def window_managers():
    for wm in WINDOW_MANAGERS:
        if wm.name in KILL_WINDOW_MANAGERS:
            wm = copy.copy(wm)
            wm.dbus = True
            yield wm


class TopLevelWatch:
    """xprobe watch in the background: the top-levels the server reported gone (unmapped or
    destroyed), which a new connection may reuse the number of at once."""

    def __init__(self, env):
        self.process = subprocess.Popen([os.environ["XPROBE"], "watch"], env=env, text=True,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if self.process.stdout.readline().strip() != "ready":
            raise AssertionError("xprobe watch did not start")
        self.gone = []
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            fields = line.split()
            if len(fields) >= 3 and fields[1] in ("unmap", "destroy"):
                with self.lock:
                    self.gone.append(int(fields[2]))

    def mark(self):
        with self.lock:
            return len(self.gone)

    def went(self, window, since):
        with self.lock:
            return window in self.gone[since:]

    def stop(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)
        self.reader.join(timeout=10)
        self.process.stdout.close()


class ShieldKilled(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = missing_tools() + [t for t in ("wmctrl", "xkill", "dbus-daemon")
                                     if not shutil.which(t)]
        if missing:
            raise unittest.SkipTest("missing: " + ", ".join(missing))

    def test_each_window_manager(self):
        ran = 0
        for wm in window_managers():
            if not wm.installed():
                continue
            ran += 1
            with self.subTest(wm=wm.name), tempfile.TemporaryDirectory(
                    prefix=f"xkill-{wm.name}-") as home:
                session = Session(wm, home)
                try:
                    self.check(session)
                finally:
                    session.stop()
        if not ran:
            self.skipTest("none of " + ", ".join(KILL_WINDOW_MANAGERS) + " is installed")

    def check(self, s):
        s.start()
        blocked = s.client("blocked", BLOCKED, "320x240+100+100")
        s.helper = Helper(s.processes, s.env)
        reply = s.helper.request("start", targets=TARGETS)
        self.assertTrue(reply["watcherRunning"], reply)
        s.wait_covered("the shield before the kills", timeout=10)
        pid = s.helper.process.pid

        gaps = self.kill_shields(s, blocked, pid)
        print(f"{s.wm.name}: uncovered after each kill "
              + ", ".join(f"{gap * 1000:.0f} ms" for gap in gaps), flush=True)
        self.close_focused_shield(s, blocked)

        replies = [m["requestId"] for m in s.helper.messages if "requestId" in m]
        self.assertEqual(replies, list(range(1, s.helper.next_request)),
                         "replies missing or out of order")
        self.assertIsNone(s.helper.process.poll(), "the helper ended")
        s.helper.shutdown()
        said = s.helper.process.stderr.read().decode(errors="replace").splitlines()
        again = [line for line in said if "connected to the display again" in line]
        self.assertEqual(len(again), KILLS, said)

    def kill_shields(self, s, blocked, pid):
        """xkill on the shield, KILLS times in a row; each time, how long from the kill until
        the blocked window was seen covered again."""
        gaps = []
        watch = TopLevelWatch(s.env)
        try:
            started = time.monotonic()
            for kill in range(KILLS):
                gaps.append(self.kill_once(s, blocked, pid, watch, kill + 1))
            elapsed = time.monotonic() - started
        finally:
            watch.stop()
        self.assertLessEqual(elapsed, KILLS_WITHIN, f"{KILLS} kills took {elapsed:.1f} s")
        self.assertLessEqual(max(gaps), UNCOVERED_AT_MOST,
                             "uncovered " + ", ".join(f"{g:.2f}" for g in gaps) + " s")
        return gaps

    def kill_once(self, s, blocked, pid, watch, number):
        state = wait_until(s.covered, f"the shield in place before kill {number}",
                           timeout=FOLLOW)
        shield = s.shield_of(blocked, state)
        shield_top = s.toplevel_of(shield, state)["id"]
        mark = watch.mark()
        killed_at = time.monotonic()
        subprocess.run(["xkill", "-id", str(shield)], env=s.env, timeout=10, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Commands sent at once are answered in order, whatever the helper is doing.
        for _ in range(3):
            s.helper.send({"command": "permission-status", "requestId": s.helper.next_request})
            s.helper.next_request += 1

        def covered_anew():
            if not watch.went(shield_top, mark):
                return Probe("the killed shield has not gone")
            return s.covered()
        state = wait_until(covered_anew, f"the shield back after kill {number}", timeout=5.0)
        gap = time.monotonic() - killed_at
        shield = s.shield_of(blocked, state)
        owner = subprocess.run(["xprop", "-id", str(shield), "_NET_WM_PID"], env=s.env,
                               capture_output=True, text=True).stdout
        self.assertIn(f"= {pid}", owner, "the shield is not the same helper's")
        self.assertIsNone(s.helper.process.poll(), f"the helper ended at kill {number}")
        status = s.helper.status()
        self.assertEqual(status["coveredWindowCount"], 1, status)
        return gap

    def close_focused_shield(self, s, blocked):
        """The window manager's close on the shield with the keyboard: one access attempt,
        and the same shield stays over its window with the keyboard."""
        state = wait_until(s.covered, "the shield before the close", timeout=FOLLOW)
        shield = s.shield_of(blocked, state)
        toplevel = s.toplevel_of(shield, state)
        # A click on the shield gives it the keyboard, and is an attempt of its own.
        clicked = s.attempts()
        s.display.xdotool("mousemove", toplevel["x"] + 40, toplevel["y"] + 40, "click", "1")
        wait_until(lambda: s.attempts() > clicked, "the click's attempt", timeout=ATTEMPT_WITHIN)
        s.wait_shield_focused(blocked, "the keyboard on the clicked shield")
        before = s.attempts()
        mark = s.helper.mark()
        s.wmctrl("-i", "-c", shield)
        attempt = s.helper.wait_for(lambda m: m.get("type") == "accessAttempt",
                                    "the close's attempt", timeout=ATTEMPT_WITHIN, start=mark)
        self.assertEqual(attempt["targetId"], "log")
        # Nothing else comes of it: the reply to a later command shows everything before it.
        s.helper.status()
        self.assertEqual(s.attempts(), before + 1)
        state = wait_until(s.covered, "the shield after the close", timeout=UNCOVERED_AT_MOST)
        self.assertEqual(s.shield_of(blocked, state), shield)
        owner = s.focus_owner(state)
        self.assertEqual((owner or {}).get("id"), shield, "the shield lost the keyboard")


class HelperKilledMidManagement(unittest.TestCase):
    """A helper killed over and over while openbox takes up its shield (as a host restarts a
    helper that keeps dying): openbox can keep a record of a shield whose helper went while it
    was managing it, and ignores a later window of the same id, which a new helper's first
    shield gets. That shield must still cover its window."""

    KILLED_HELPERS = 10

    @classmethod
    def setUpClass(cls):
        missing = missing_tools() + [t for t in ("dbus-daemon",) if not shutil.which(t)]
        if missing:
            raise unittest.SkipTest("missing: " + ", ".join(missing))

    def test_a_new_helper_covers_after_helpers_killed_while_their_shields_were_mapped(self):
        wm = next(wm for wm in window_managers() if wm.name == "openbox")
        with tempfile.TemporaryDirectory(prefix="killed-helpers-") as home:
            s = Session(wm, home)
            try:
                s.start()
                s.client("blocked", BLOCKED, "320x240+100+100")
                for _ in range(self.KILLED_HELPERS):
                    helper = Helper(s.processes, s.env)
                    # Killed as soon as it has asked for its shield to be shown.
                    helper.request("start", targets=TARGETS)
                    os.kill(helper.process.pid, signal.SIGKILL)
                    helper.process.wait(timeout=10)
                s.helper = Helper(s.processes, s.env)
                self.assertTrue(s.helper.request("start", targets=TARGETS)["watcherRunning"])
                s.wait_covered("the new helper's shield over the window", timeout=10)
                self.assertEqual(s.helper.shutdown(), 0)
            finally:
                s.stop()


if __name__ == "__main__":
    unittest.main()
