"""The helper on a headless GNOME Shell (Wayland) with the companion extension, blocking a native
Wayland client (weston-terminal): counts, the veil over the window's frame as the shell reports
it, a move followed, a window kept always on top still veiled, a click on the veil and an
activation of the blocked application reported as access attempts, and every veil gone after
"stop", at the end time, and after the helper is killed. Skipped, with the reason, where GNOME
Shell or the client is missing."""

import os
import shutil
import signal
import time
import unittest

from wlharness import GnomeShell, SessionUser, UserHelper, wait_until

TARGET = "org.freedesktop.weston.wayland-terminal"
TERMINAL = {"id": "t", "name": "Terminal", "bundleId": TARGET}
SOURCE_DIR = os.environ.get("SHIELD_SOURCE_DIR",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
ARTIFACT_DIR = os.environ.get("SHIELD_ARTIFACT_DIR")


def unavailable():
    tools = ("gnome-shell", "dbus-daemon", "gdbus", "weston-terminal", "weston-flower")
    missing = [tool for tool in tools if not shutil.which(tool)]
    if not os.environ.get("SHIELD_HELPER") or not os.path.exists(os.environ["SHIELD_HELPER"]):
        missing.append("SHIELD_HELPER")
    return "missing " + ", ".join(missing) if missing else None


def frame(window):
    return (window["x"], window["y"], window["width"], window["height"])


class GnomeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = unavailable()
        if reason is None:
            cls.user = SessionUser()
            reason = cls.user.reason
        if reason is not None:
            raise unittest.SkipTest(f"GNOME Shell test skipped: {reason}")
        cls.shell = GnomeShell(cls.user, SOURCE_DIR)
        try:
            cls.shell.start()
        except BaseException:
            cls.shell.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.shell.stop()

    def setUp(self):
        self.clients = []
        self.addCleanup(self.end_clients)

    def end_clients(self):
        for child in self.clients:
            self.shell.processes.end(child)
        wait_until(lambda: not self.shell.veils(), "no veil left after the test")

    def start_target(self):
        known = {w["id"] for w in self.shell.windows()}
        self.clients.append(self.shell.start_client(["weston-terminal"], "terminal.log"))
        return wait_until(
            lambda: next((w for w in self.shell.windows()
                          if w["id"] not in known and w["appId"] == TARGET), None),
            "the terminal's window")

    def start_helper(self):
        helper = UserHelper(self.shell.processes, self.user.copy_helper(self.shell.folder),
                            self.shell.env, self.user,
                            os.path.join(self.shell.folder, "helper.err"))
        self.clients.append(helper.process)
        return helper

    def block_terminal(self):
        """A terminal blocked by a new helper, once its veil lies over it."""
        window = self.start_target()
        helper = self.start_helper()
        helper.request("start", targets=[TERMINAL])
        self.veil_over(window["id"])
        return window, helper

    def covered(self, helper, count):
        def check():
            status = helper.status()
            return status["coveredWindowCount"] == count and status["shieldCount"] == count
        wait_until(check, f"{count} covered window(s)")

    def veil_over(self, window_id):
        """The one veil, once it lies exactly over the window's frame as the shell reports both."""
        def check():
            window = next((w for w in self.shell.windows() if w["id"] == window_id), None)
            veils = self.shell.veils()
            if window is None or len(veils) != 1 or veils[0]["window"] != window_id:
                return None
            return veils[0] if frame(veils[0]) == frame(window) else None
        return wait_until(check, "the veil over the window's frame")

    def run_js_on_window(self, window_id, code):
        return self.shell.eval(
            "(() => { const win = global.get_window_actors().map(a => a.meta_window)"
            f".find(w => w.get_id() == {window_id}); {code} }})()")

    def move_frame(self, window_id, x, y):
        """Moves the window's frame and waits until the shell has it there."""
        self.run_js_on_window(window_id, f"win.move_frame(true, {x}, {y});")
        wait_until(lambda: next(w for w in self.shell.windows() if w["id"] == window_id)["x"]
                   == x, "the window at its new place")

    def click(self, x, y):
        self.shell.eval(
            "(() => { const { Clutter, GLib } = imports.gi;"
            " if (!global._shieldTestPointer) global._shieldTestPointer = Clutter.get_default_"
            "backend().get_default_seat().create_virtual_device("
            "Clutter.InputDeviceType.POINTER_DEVICE);"
            " const p = global._shieldTestPointer; const t = GLib.get_monotonic_time();"
            f" p.notify_absolute_motion(t, {x}, {y});"
            " p.notify_button(t, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.PRESSED);"
            " p.notify_button(t, Clutter.BUTTON_PRIMARY, Clutter.ButtonState.RELEASED); })()")

    def press_key(self):
        self.shell.eval(
            "(() => { const { Clutter, GLib } = imports.gi;"
            " if (!global._shieldTestKeyboard) global._shieldTestKeyboard = Clutter.get_default_"
            "backend().get_default_seat().create_virtual_device("
            "Clutter.InputDeviceType.KEYBOARD_DEVICE);"
            " const k = global._shieldTestKeyboard; const t = GLib.get_monotonic_time();"
            " k.notify_keyval(t, Clutter.KEY_a, Clutter.KeyState.PRESSED);"
            " k.notify_keyval(t, Clutter.KEY_a, Clutter.KeyState.RELEASED); })()")

    def test_block_follows_the_window_and_reports_attempts(self):
        window = self.start_target()
        helper = self.start_helper()
        reply = helper.request("start", targets=[TERMINAL])
        self.assertEqual(reply["permission"], "granted")
        self.covered(helper, 1)
        status = helper.status()
        self.assertEqual((status["eligibleWindowCount"], status["uncoveredWindowCount"]), (1, 0))
        self.veil_over(window["id"])

        # A move is followed: the veil, inside the window's actor, is over the new frame.
        self.move_frame(window["id"], 90, 110)
        veil = self.veil_over(window["id"])
        self.assertEqual((veil["x"], veil["y"]), (90, 110))
        if ARTIFACT_DIR:
            self.shell.screenshot(os.path.join(ARTIFACT_DIR, "gnome-block.png"))

        # A click on the veil is an access attempt.
        mark = helper.mark()
        self.click(veil["x"] + veil["width"] / 2, veil["y"] + veil["height"] / 2)
        helper.wait_for(lambda m: m.get("type") == "accessAttempt", "an access attempt after a "
                        "click on the veil", start=mark)

        # The click made the veil key: a key press goes to it, not to the terminal, and is an
        # access attempt too.
        mark = helper.mark()
        self.press_key()
        helper.wait_for(lambda m: m.get("type") == "accessAttempt", "an access attempt after a "
                        "key press on the veil", start=mark)

        # Activating the blocked application is an access attempt: first another application
        # takes the focus, then the terminal gets it back.
        known = {w["id"] for w in self.shell.windows()}
        self.clients.append(self.shell.start_client(["weston-flower"], "flower.log"))
        other = wait_until(lambda: next((w for w in self.shell.windows()
                                         if w["id"] not in known), None), "another window")
        self.run_js_on_window(other["id"], "imports.ui.main.activateWindow(win);")
        wait_until(lambda: self.run_js_on_window(other["id"], "return win.has_focus();") == "true",
                   "the other window focused")
        mark = helper.mark()
        self.run_js_on_window(window["id"], "imports.ui.main.activateWindow(win);")
        attempt = helper.wait_for(lambda m: m.get("type") == "accessAttempt",
                                  "an access attempt after activating the terminal", start=mark)
        self.assertEqual((attempt["targetId"], attempt["appName"]), ("t", "Terminal"))
        self.assertEqual(self.shell.companion("GetFocusedApplication")[0],
                         (TARGET, window["pid"]))

        # "stop" takes every veil down.
        reply = helper.request("stop")
        self.assertEqual(reply["shieldCount"], 0)
        wait_until(lambda: not self.shell.veils(), "no veil after stop")
        self.assertEqual(helper.shutdown(), 0)

    def test_resize_minimise_and_workspace_switch_are_followed(self):
        window, helper = self.block_terminal()

        self.run_js_on_window(window["id"], "win.move_resize_frame(true, 200, 150, 520, 330);")
        # The terminal rounds its size to whole character cells; the veil follows what it took.
        resized = wait_until(
            lambda: next((w for w in self.shell.windows() if w["id"] == window["id"]
                          and frame(w) != frame(window)), None), "the window resized")
        veil = self.veil_over(window["id"])
        self.assertEqual(frame(veil), frame(resized))
        self.assertEqual((veil["x"], veil["y"]), (200, 150))

        def uncovered_and_unveiled():
            status = helper.status()
            return (status["eligibleWindowCount"], status["shieldCount"]) == (0, 0) and \
                not self.shell.veils()

        # Cases: what hides the window, what shows it again.
        cases = [
            ("win.minimize();", "win.unminimize();"),
            ("global.workspace_manager.get_workspace_by_index(1)"
             ".activate(global.get_current_time());",
             "global.workspace_manager.get_workspace_by_index(0)"
             ".activate(global.get_current_time());"),
        ]
        if self.shell.eval("global.workspace_manager.n_workspaces") == "1":
            self.shell.eval("global.workspace_manager.append_new_workspace(false, "
                            "global.get_current_time())")
        for hide, show in cases:
            with self.subTest(hide=hide):
                self.run_js_on_window(window["id"], hide)
                wait_until(uncovered_and_unveiled, f"no eligible window and no veil after {hide}")
                self.run_js_on_window(window["id"], show)
                self.covered(helper, 1)
                self.veil_over(window["id"])
        self.assertEqual(helper.shutdown(), 0)

    def test_a_window_kept_always_on_top_stays_covered(self):
        # "Always on Top" in the window menu puts the window above the normal stack layer:
        # still the application's own window, so its veil stays, also after the move that
        # makes the helper look at the window list again.
        window, helper = self.block_terminal()
        self.run_js_on_window(window["id"], "win.make_above();")
        wait_until(lambda: self.run_js_on_window(window["id"], "return win.is_above();")
                   == "true", "the window kept on top")
        self.move_frame(window["id"], 120, 90)
        veil = self.veil_over(window["id"])
        self.assertEqual((veil["x"], veil["y"]), (120, 90))
        status = helper.status()
        self.assertEqual((status["eligibleWindowCount"], status["coveredWindowCount"]), (1, 1))
        self.run_js_on_window(window["id"], "win.unmake_above();")
        self.assertEqual(helper.shutdown(), 0)

    def test_permission_follows_the_companion(self):
        window, helper = self.block_terminal()
        children = "return win.get_compositor_private().get_n_children();"
        veiled_children = int(self.run_js_on_window(window["id"], children))
        extensions = ("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Extensions.")
        self.shell.gdbus(*extensions[:2], extensions[2] + "DisableExtension", GnomeShell.UUID)
        self.addCleanup(self.shell.gdbus, *extensions[:2], extensions[2] + "EnableExtension",
                        GnomeShell.UUID)
        status = helper.status()
        self.assertEqual((status["permission"], status["watcherRunning"], status["shieldCount"]),
                         ("denied", False, 0))
        # The disabled companion took its veil out of the window's actor.
        self.assertEqual(int(self.run_js_on_window(window["id"], children)), veiled_children - 1)

        self.shell.gdbus(*extensions[:2], extensions[2] + "EnableExtension", GnomeShell.UUID)
        wait_until(lambda: helper.status()["permission"] == "granted",
                   "the permission granted again")
        self.covered(helper, 1)
        self.veil_over(window["id"])
        self.assertEqual(helper.shutdown(), 0)

    def test_application_launched_during_a_block_is_covered_until_it_quits(self):
        helper = self.start_helper()
        reply = helper.request("start", targets=[TERMINAL])
        self.assertEqual((reply["permission"], reply["eligibleWindowCount"]), ("granted", 0))
        window = self.start_target()
        self.covered(helper, 1)
        self.veil_over(window["id"])
        terminal = self.clients.pop()
        self.shell.processes.end(terminal)
        wait_until(lambda: helper.status()["eligibleWindowCount"] == 0 and not self.shell.veils(),
                   "no eligible window and no veil after the terminal quit")
        self.assertEqual(helper.status()["shieldCount"], 0)
        self.assertEqual(helper.shutdown(), 0)

    def test_end_time_removes_every_veil(self):
        window = self.start_target()
        helper = self.start_helper()
        # Room for the veil to settle over the frame first, even on a loaded machine.
        ends_at = int((time.time() + 10) * 1000)
        helper.request("start", targets=[TERMINAL], endsAt=ends_at)
        self.veil_over(window["id"])
        wait_until(lambda: not self.shell.veils(), "no veil after the end time", timeout=20)
        status = helper.status()
        self.assertEqual((status["watcherRunning"], status["shieldCount"]), (False, 0))
        self.assertGreaterEqual(time.time() * 1000, ends_at)
        self.assertEqual(helper.shutdown(), 0)

    def test_killed_helper_leaves_no_veil(self):
        window, helper = self.block_terminal()
        os.kill(helper.process.pid, signal.SIGKILL)
        helper.process.wait()
        wait_until(lambda: not self.shell.veils(), "the companion to drop the killed helper's veil")


if __name__ == "__main__":
    unittest.main()
