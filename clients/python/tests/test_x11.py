"""The module against the real helper on a virtual X display (Xvfb, openbox and an xterm, as in
the repository's end-to-end tests): a click on a shield arrives as an access_attempt event, and
a helper killed mid-block comes back with the window covered again."""

import os
import select
import shutil
import signal
import subprocess
import time
import unittest

from support import DEADLINE, HELPER, Events, shield_helper

TOOLS = ("Xvfb", "openbox", "xterm", "xdotool", "xprop")
TERMINAL = shield_helper.Target("term", "Terminal", "XTerm")


def wait_until(probe, what, timeout=DEADLINE):
    end = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(0.025)


@unittest.skipUnless(HELPER, "SHIELD_HELPER names no helper binary")
@unittest.skipIf([t for t in TOOLS if not shutil.which(t)], f"needs {', '.join(TOOLS)}")
class OnXvfb(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.children = []
        cls.saved_display = os.environ.get("DISPLAY")
        cls.addClassCleanup(cls.end_children)
        number = cls.start_xvfb()
        os.environ["DISPLAY"] = ":" + number
        os.environ.pop("XAUTHORITY", None)
        cls.run_child(["openbox", "--sm-disable"])
        wait_until(lambda: "window id" in cls.x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"),
                   "openbox to claim the screen")
        cls.run_child(["xterm", "-geometry", "80x24+100+100", "-e", "sleep", "600"])
        wait_until(lambda: cls.x("xdotool", "search", "--onlyvisible", "--class", "XTerm"),
                   "the xterm window")

    @classmethod
    def start_xvfb(cls):
        """Starts Xvfb on a free display number and returns it. Each test process walks its own
        range of numbers (away from those of the end-to-end tests): a number just freed by
        another test's server can still lose its socket to that server's late clean-up."""
        first = 5000 + (os.getpid() % 1000) * 4
        for number in range(first, first + 40):
            read_end, write_end = os.pipe()
            server = cls.run_child(["Xvfb", f":{number}", "-displayfd", str(write_end),
                                    "-screen", "0", "1280x800x24", "-nolisten", "tcp",
                                    "-noreset"], pass_fds=(write_end,))
            os.close(write_end)
            # The number and its line feed may come in two writes; closing the pipe between
            # them would end the server with SIGPIPE.
            reported = b""
            try:
                while not reported.endswith(b"\n"):
                    if not select.select([read_end], [], [], DEADLINE)[0]:
                        raise AssertionError("Xvfb did not report its display number")
                    chunk = os.read(read_end, 64)
                    if not chunk:
                        break
                    reported += chunk
            finally:
                os.close(read_end)
            if reported.decode().strip() == str(number):
                return str(number)
            server.wait()  # That number is taken.
        raise AssertionError("no display number was free for Xvfb")

    @classmethod
    def end_children(cls):
        for child in reversed(cls.children):
            if child.poll() is None:
                child.terminate()
                child.wait()
        if cls.saved_display is None:
            os.environ.pop("DISPLAY", None)
        else:
            os.environ["DISPLAY"] = cls.saved_display

    @classmethod
    def run_child(cls, argv, **kwargs):
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 **kwargs)
        cls.children.append(child)
        return child

    @staticmethod
    def x(*argv):
        result = subprocess.run(argv, capture_output=True, text=True, timeout=10)
        return result.stdout.strip() if result.returncode == 0 else ""

    def helper(self, **options):
        helper = shield_helper.ShieldHelper(HELPER, **options)
        self.addCleanup(helper.close, 1.0)
        helper.start()
        return helper

    def covered(self, helper):
        def probe():
            status = helper.permission_status()
            return (status.shield_count == 1 and status.covered_window_count == 1
                    and status.uncovered_window_count == 0 and status)
        return wait_until(probe, "the xterm to be covered")

    def test_a_click_on_a_shield_is_an_access_attempt(self):
        helper = self.helper()
        events = Events(helper, "access_attempt")
        self.assertEqual(helper.block([TERMINAL], time.time() + 60).permission, "granted")
        self.covered(helper)
        shield = self.x("xdotool", "search", "--onlyvisible", "--class", "ShieldHelper").split()[0]
        before = int(time.time() * 1000)
        self.x("xdotool", "mousemove", "--window", shield, "60", "60", "click", "1")
        attempt = events.next("access_attempt")
        self.assertEqual((attempt.target_id, attempt.app_name), ("term", "Terminal"))
        self.assertTrue(before - 1 <= attempt.occurred_at <= time.time() * 1000)
        self.assertEqual(helper.stop().shield_count, 0)
        self.assertEqual(helper.close(), 0)

    def test_a_helper_killed_mid_block_covers_the_window_again(self):
        helper = self.helper(restart=shield_helper.RestartPolicy(backoff=0.02))
        events = Events(helper, "restarted")
        helper.block([TERMINAL])
        self.covered(helper)
        os.kill(helper.pid, signal.SIGKILL)
        self.assertEqual(events.next("restarted").permission, "granted")
        self.assertTrue(self.covered(helper).watcher_running)
        self.assertEqual(helper.close(), 0)


if __name__ == "__main__":
    unittest.main()
