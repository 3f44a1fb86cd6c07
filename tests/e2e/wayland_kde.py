"""End-to-end tests of the KDE desktop: the real helper on headless KWin 6 (Wayland), with its
KWin script and its own Wayland veil windows, against foot and weston-terminal. What KWin's
scripting reports of its stacking order and frames is the evidence; clicks and keys go through
KWin's fake-input protocol.

    scripts/debian13-root run -- python3 -m unittest -v wayland_kde   (in tests/e2e)

Skipped, with the reason, outside the Debian 13 root or without root."""

import os
import signal
import unittest

import kwinharness
from kwinharness import VEIL_APP_ID, KwinSession
from wlharness import UserHelper, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
HELPER = os.environ.get("SHIELD_HELPER") or os.path.join(HERE, "..", "..", "build-release",
                                                         "shield-helper")
FOOT = {"id": "f", "name": "Foot", "bundleId": "foot"}


class KdeDesktopTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = kwinharness.unavailable()
        if reason:
            raise unittest.SkipTest(reason)

    def setUp(self):
        self.kwin = KwinSession()
        self.kwin.__enter__()
        self.addCleanup(self.kwin.__exit__, None, None, None)
        self.session = self.kwin.session
        self.helper_binary = None

    def start_foot(self):
        self.session.start(["foot"], "foot.log")
        return wait_until(lambda: next((w for w in self.kwin.stacking()
                                        if w["appId"] == "foot" and w["width"] > 0), None),
                          "a foot window")

    def start_other(self):
        """An application that is not blocked, with its window on top."""
        self.session.start(["weston-terminal"], "weston-terminal.log")
        return wait_until(lambda: next((w for w in self.kwin.stacking()
                                        if "weston" in w["appId"] and w["width"] > 0), None),
                          "a weston-terminal window")

    def start_helper(self, env=None):
        if self.helper_binary is None:
            self.helper_binary = self.session.user.copy_program(HELPER, self.session.folder)
        helper = UserHelper(self.session.processes, self.helper_binary,
                            env or self.kwin.helper_env, self.session.user,
                            os.path.join(self.session.folder, "helper.err"))
        self.addCleanup(self.session.processes.end, helper.process)
        return helper

    def block_foot(self):
        window = self.start_foot()
        helper = self.start_helper()
        reply = helper.request("start", targets=[FOOT])
        self.assertEqual(reply["permission"], "granted", helper.errors())
        helper.wait_covered(1)
        self.kwin.veil_over(window["caption"])
        return window, helper

    def activate(self, caption):
        self.kwin.on_window(caption, "workspace.activeWindow = w; return true;")

    def set_frame(self, caption, x, y, width, height):
        self.kwin.on_window(caption, f"w.frameGeometry = {{x: {x}, y: {y}, width: {width}, "
                                     f"height: {height}}}; return true;")

    def script_loaded(self, helper):
        return self.session.call("org.kde.KWin", "/Scripting",
                                 "org.kde.kwin.Scripting.isScriptLoaded",
                                 f"shieldhelper_{helper.process.pid}_1")[0]

    def test_block_follows_the_window_and_reports_attempts(self):
        window, helper = self.block_foot()
        caption = window["caption"]
        veil = self.kwin.veil_over(caption)
        # The veil is no window of its own to the person: no taskbar entry, no frame.
        self.assertTrue(veil["skipTaskbar"])
        self.assertTrue(self.script_loaded(helper))

        # Moves and resizes are followed by the script, at the window's frame.
        self.set_frame(caption, 90, 110, window["width"], window["height"])
        veil = self.kwin.veil_over(caption)
        self.assertEqual((veil["x"], veil["y"]), (90, 110))
        # A terminal keeps its size to whole character cells, so the size asked for is near
        # the one it takes; the veil takes the one it took.
        self.set_frame(caption, 90, 110, 500, 360)
        wait_until(lambda: self.kwin.on_window(caption, "return w.frameGeometry.width;") == 500,
                   "foot resized")
        veil = self.kwin.veil_over(caption)
        self.assertEqual(veil["width"], 500)
        self.assertLess(abs(veil["height"] - 360), 30)

        # A click on the veil is an access attempt, and gives it the keyboard: a key press
        # goes to it and is one too.
        mark = helper.mark()
        self.kwin.click(veil["x"] + veil["width"] / 2, veil["y"] + veil["height"] / 2)
        helper.wait_for(lambda m: m.get("type") == "accessAttempt",
                        "an access attempt after a click on the veil", start=mark)
        wait_until(lambda: any(w["active"] for w in self.kwin.veils()), "the veil active")
        mark = helper.mark()
        self.kwin.key()
        helper.wait_for(lambda m: m.get("type") == "accessAttempt",
                        "an access attempt after a key press on the veil", start=mark)
        # The click raised nothing over the window: the veil is still directly above it.
        self.kwin.veil_over(caption)

        # Activating the blocked application is an access attempt, and the veil takes the
        # keyboard from its window.
        other = self.start_other()
        self.activate(other["caption"])
        wait_until(lambda: next(w for w in self.kwin.stacking()
                                if w["caption"] == other["caption"])["active"],
                   "the other window active")
        mark = helper.mark()
        self.activate(caption)
        attempt = helper.wait_for(lambda m: m.get("type") == "accessAttempt",
                                  "an access attempt after activating foot", start=mark)
        self.assertEqual((attempt["targetId"], attempt["appName"]), ("f", "Foot"))
        wait_until(lambda: any(w["active"] for w in self.kwin.veils()),
                   "the veil active after its window was activated")
        self.kwin.veil_over(caption)

        # "stop" takes the veil down; the helper's end unloads its script from KWin.
        self.assertEqual(helper.request("stop")["shieldCount"], 0)
        wait_until(lambda: not self.kwin.veils(), "no veil after stop")
        self.assertEqual(helper.shutdown(), 0)
        self.assertFalse(self.script_loaded(helper))

    def test_a_window_raised_over_the_blocked_one_stays_over_its_veil(self):
        window, helper = self.block_foot()
        other = self.start_other()
        self.activate(other["caption"])

        def order():
            return [w["caption"] if w["appId"] != VEIL_APP_ID else "veil"
                    for w in self.kwin.stacking()]
        wait_until(lambda: order()[-3:] == [window["caption"], "veil", other["caption"]],
                   "foot, its veil, then the other window on top")
        # Raising the blocked window takes its veil up with it.
        self.activate(window["caption"])
        wait_until(lambda: order()[-3:] == [other["caption"], window["caption"], "veil"],
                   "the other window, then foot and its veil on top")
        helper.wait_covered(1)

    def test_two_blocked_windows_each_keep_their_veil_through_raises(self):
        # Two windows of the blocked application, one over the other, and an unblocked one:
        # whichever is raised, each veil stays directly above its own window.
        self.start_foot()
        self.session.start(["foot", "--title", "second"], "foot2.log")
        wait_until(lambda: any(w["caption"] == "second" and w["width"] > 0
                               for w in self.kwin.stacking()), "a second foot window")
        self.set_frame("second", 200, 200, 500, 300)
        other = self.start_other()
        helper = self.start_helper()
        self.assertEqual(helper.request("start", targets=[FOOT])["permission"], "granted")
        helper.wait_covered(2)

        def veiled_pairs():
            order = self.kwin.stacking()
            veils = [w for w in order if w["appId"] == VEIL_APP_ID]
            pairs = [(order[i]["caption"], order[i + 1]) for i in range(len(order) - 1)
                     if order[i]["appId"] == "foot"]
            frame = ("x", "y", "width", "height")
            return len(veils) == 2 and all(
                above["appId"] == VEIL_APP_ID and all(above[k] == below_frame[k] for k in frame)
                for (caption, above), below_frame in zip(
                    pairs, [w for w in order if w["appId"] == "foot"]))
        for caption in ("foot", other["caption"], "second", "foot", other["caption"]):
            with self.subTest(raised=caption):
                self.activate(caption)
                wait_until(veiled_pairs, f"each foot window under its own veil after raising "
                                         f"{caption!r}")
        helper.wait_covered(2)

    def test_minimise_and_desktop_switch_are_followed(self):
        window, helper = self.block_foot()
        caption = window["caption"]

        def shown_veils():
            return [v for v in self.kwin.veils() if not v["minimized"]]
        self.kwin.on_window(caption, "w.minimized = true; return true;")
        wait_until(lambda: helper.status()["eligibleWindowCount"] == 0 and not shown_veils(),
                   "no shown veil while foot is minimised")
        self.kwin.on_window(caption, "w.minimized = false; return true;")
        helper.wait_covered(1)
        self.kwin.veil_over(caption)

        # Another desktop: foot is not on it, and nothing is covered there; back, it is.
        self.kwin.script("workspace.createDesktop(1, 'two'); "
                         "workspace.currentDesktop = workspace.desktops[1]; return true;")
        wait_until(lambda: helper.status()["eligibleWindowCount"] == 0,
                   "foot not eligible on the other desktop")
        self.kwin.script("workspace.currentDesktop = workspace.desktops[0]; return true;")
        helper.wait_covered(1)
        veil = self.kwin.veil_over(caption)
        self.assertEqual(veil["desktops"], self.kwin.on_window(
            caption, "return w.desktops.map(d => String(d.id));"))

    def test_killed_helper_leaves_no_veil_and_the_next_one_covers_again(self):
        window, helper = self.block_foot()
        os.kill(helper.process.pid, signal.SIGKILL)
        helper.process.wait(timeout=10)
        wait_until(lambda: not self.kwin.veils(), "no veil once the helper was killed")
        # The next helper loads a script of its own and covers the window again.
        helper = self.start_helper()
        self.assertEqual(helper.request("start", targets=[FOOT])["permission"], "granted")
        helper.wait_covered(1)
        self.kwin.veil_over(window["caption"])
        self.assertEqual(len(self.kwin.veils()), 1)

    def test_a_stopped_helper_still_has_its_veil_follow_the_window(self):
        # The script keeps the veil over its window inside KWin: a helper that does not run
        # for a while (stopped, or busy) still has its window covered wherever it goes.
        window, helper = self.block_foot()
        os.kill(helper.process.pid, signal.SIGSTOP)
        try:
            self.set_frame(window["caption"], 40, 50, window["width"], window["height"])
            veil = self.kwin.veil_over(window["caption"])
            self.assertEqual((veil["x"], veil["y"]), (40, 50))
        finally:
            os.kill(helper.process.pid, signal.SIGCONT)
        helper.wait_covered(1)
        self.assertEqual(helper.request("stop")["shieldCount"], 0)
        wait_until(lambda: not self.kwin.veils(), "no veil after stop")

    def test_without_a_plasma_session_the_helper_says_denied(self):
        # KWin alone is not a KDE session: with neither KDE_FULL_SESSION nor KDE in
        # XDG_CURRENT_DESKTOP the helper does not claim to cover anything.
        self.start_foot()
        env = {k: v for k, v in self.session.env.items()
               if k not in ("XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION")}
        helper = self.start_helper(env)
        reply = helper.request("start", targets=[FOOT])
        self.assertEqual((reply["permission"], reply["reason"]),
                         ("denied", "unsupported-compositor"))
        self.assertEqual(helper.shutdown(), 0)
        self.assertFalse(self.kwin.veils())


if __name__ == "__main__":
    unittest.main()
