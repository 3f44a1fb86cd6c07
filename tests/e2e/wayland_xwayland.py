"""On a Wayland session's XWayland server the X11 desktop sees only the X clients and cannot
stack over native Wayland windows, so it must not claim coverage: the permission is "denied" and
nothing is shielded, even with a blocked X client on screen. Runs a headless sway with XWayland;
skipped, with the reason, where sway or XWayland is missing."""

import os
import shutil
import subprocess
import unittest

import xharness
from wlharness import Processes, SessionUser, UserHelper, ensure_x11_socket_dir, wait_until

TARGET_CLASS = "shieldxwtarget"


def unavailable():
    missing = [tool for tool in ("sway", "Xwayland") if not shutil.which(tool)]
    missing += xharness.missing_tools() if not missing else []
    if missing:
        return "missing " + ", ".join(missing)
    return None


class XWaylandTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        reason = unavailable()
        if reason is None:
            cls.user = SessionUser()
            reason = cls.user.reason
        if reason is not None:
            raise unittest.SkipTest(f"XWayland test skipped: {reason}")

    def setUp(self):
        self.processes = Processes()
        self.addCleanup(self.processes.end_all)
        self.folder = self.user.private_dir("shield-xwayland-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.runtime = os.path.join(self.folder, "run")
        os.mkdir(self.runtime, 0o700)
        self.user.own(self.runtime)
        ensure_x11_socket_dir()

    def start_sway(self):
        display_file = os.path.join(self.folder, "display")
        config = os.path.join(self.folder, "config")
        with open(config, "w") as out:
            # XWayland at once rather than on the first X client, and its display number
            # written where the test reads it.
            out.write("xwayland force\n")
            out.write(f"exec sh -c 'echo $DISPLAY > {display_file}.new && "
                      f"mv {display_file}.new {display_file}'\n")
        os.chmod(config, 0o644)
        env = dict(self.user.base_env(self.runtime), WLR_BACKENDS="headless",
                   WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
        log = open(os.path.join(self.folder, "sway.log"), "wb")
        self.addCleanup(log.close)
        self.processes.start(["sway", "-c", config], env, stdout=log, stderr=log,
                             cwd=self.folder, **self.user.popen)
        def display():
            if not os.path.exists(display_file):
                return None
            with open(display_file) as written:
                return written.read().strip()

        display = wait_until(display, "sway to start XWayland")
        return dict(self.user.base_env(self.runtime), DISPLAY=display)

    def test_blocked_x_client_is_not_claimed_as_covered(self):
        env = self.start_sway()
        xprobe = self.user.copy_program(xharness.XPROBE, self.folder)
        self.processes.start([xprobe, "windows", TARGET_CLASS, "400", "300", "1"], env,
                             **self.user.popen)

        def target_mapped():
            out = subprocess.run([xprobe, "state"], env=env, capture_output=True,
                                 text=True, timeout=10, **self.user.popen)
            return out.returncode == 0 and TARGET_CLASS in out.stdout

        wait_until(target_mapped, "the blocked X client's window on XWayland")

        helper = UserHelper(self.processes, self.user.copy_helper(self.folder), env, self.user,
                            os.path.join(self.folder, "helper.err"))
        reply = helper.request("start", targets=[{"id": "x", "name": "X",
                                                  "bundleId": TARGET_CLASS}])
        self.assertEqual(reply["permission"], "denied")
        self.assertFalse(reply["watcherRunning"])
        self.assertIn("error", reply)
        for key in ("shieldCount", "coveredWindowCount", "eligibleWindowCount"):
            self.assertEqual(reply[key], 0, key)
        # The status a moment later, after the windows have settled, says the same.
        status = helper.status()
        self.assertEqual((status["permission"], status["shieldCount"],
                          status["coveredWindowCount"]), ("denied", 0, 0))
        self.assertEqual(helper.shutdown(), 0)
        # The X11 desktop itself withheld the permission (a headless fallback would too).
        self.assertIn("the X display is XWayland", helper.errors())


if __name__ == "__main__":
    unittest.main()
