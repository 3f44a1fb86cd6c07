"""The module against the real helper on a virtual X display (Xvfb, openbox and an xterm, as in
the repository's end-to-end tests): a click on a shield arrives as an access_attempt event (also
through the asyncio interface), a helper killed ten times mid-block comes back each time, the
window covered again, update() with only an end time keeps the window covered, and the coverage
last reported is cleared when the helper ends."""

import asyncio
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

from support import DEADLINE, HELPER, Events, shield_helper

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "scripts"))
import xsession  # noqa: E402  (the processes and the Xvfb start of the demo and e2e tests)

TOOLS = ("Xvfb", "openbox", "xterm", "xdotool", "xprop")
TERMINAL = shield_helper.Target("term", "Terminal", "XTerm")


def fail(message):
    raise AssertionError(message)


def wait_until(probe, what, timeout=DEADLINE):
    return xsession.wait_until(probe, what, timeout, 0.025, fail)


@unittest.skipUnless(HELPER, "SHIELD_HELPER names no helper binary")
@unittest.skipIf([t for t in TOOLS if not shutil.which(t)], f"needs {', '.join(TOOLS)}")
class Desktop(unittest.TestCase):
    """A virtual desktop for the tests of one class: Xvfb, openbox and an xterm."""

    # Where in the process's range of display numbers the class's server starts, so that no
    # class takes the number the class before it has just freed.
    DISPLAY_OFFSET = 0

    @classmethod
    def setUpClass(cls):
        cls.processes = xsession.Processes()
        cls.addClassCleanup(cls.processes.end_all)
        saved = os.environ.get("DISPLAY")
        cls.addClassCleanup(lambda: os.environ.pop("DISPLAY", None) if saved is None
                            else os.environ.__setitem__("DISPLAY", saved))
        os.environ["DISPLAY"] = cls.start_xvfb()
        os.environ.pop("XAUTHORITY", None)
        cls.processes.start(["openbox", "--sm-disable"], dict(os.environ))
        wait_until(lambda: "window id" in cls.x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"),
                   "openbox to claim the screen")
        cls.processes.start(["xterm", "-geometry", "80x24+100+100", "-e", "sleep", "600"],
                            dict(os.environ))
        wait_until(lambda: cls.x("xdotool", "search", "--onlyvisible", "--class", "XTerm"),
                   "the xterm window")

    @classmethod
    def start_xvfb(cls):
        """Starts Xvfb on a free display number and returns its name. Each test process walks
        its own range of numbers (away from those of the end-to-end tests): a number just freed
        by another test's server can still lose its socket to that server's late clean-up."""
        first = 5000 + (os.getpid() % 1000) * 4 + cls.DISPLAY_OFFSET
        for number in range(first, first + 20):
            server, reported = xsession.start_xvfb(
                cls.processes, ["-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"],
                display=f":{number}")
            if reported == str(number):
                return f":{number}"
            cls.processes.end(server)  # That number is taken.
        raise AssertionError("no display number was free for Xvfb")

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

    def shown_shield(self):
        """The shield's window once the server shows it: a shield counts as covered for up to
        a second before that, and a click meanwhile would miss it."""
        return wait_until(lambda: self.x("xdotool", "search", "--onlyvisible", "--class",
                                         "ShieldHelper"), "the shield to be shown").split()[0]


class OnXvfb(Desktop):
    def test_a_click_on_a_shield_is_an_access_attempt(self):
        helper = self.helper()
        events = Events(helper, "access_attempt")
        self.assertEqual(helper.block([TERMINAL], time.time() + 60).permission, "granted")
        self.covered(helper)
        shield = self.shown_shield()
        before = int(time.time() * 1000)
        self.x("xdotool", "mousemove", "--window", shield, "60", "60", "click", "1")
        attempt = events.next("access_attempt")
        self.assertEqual((attempt.target_id, attempt.app_name), ("term", "Terminal"))
        self.assertTrue(before - 1 <= attempt.occurred_at <= time.time() * 1000)
        self.assertEqual(helper.stop().shield_count, 0)
        self.assertEqual(helper.close(), 0)

    def test_the_asyncio_interface_reports_a_click_on_a_shield_as_an_access_attempt(self):
        async def run():
            async with shield_helper.AsyncShieldHelper(HELPER) as helper:
                attempts = helper.events("access_attempt")
                await helper.block([TERMINAL], time.time() + 60)
                deadline = time.monotonic() + DEADLINE
                while (await helper.permission_status()).covered_window_count != 1:
                    self.assertLess(time.monotonic(), deadline, "the xterm to be covered")
                    await asyncio.sleep(0.025)
                shield = await asyncio.to_thread(self.shown_shield)
                await asyncio.to_thread(self.x, "xdotool", "mousemove", "--window", shield, "60",
                                        "60", "click", "1")
                attempt = await asyncio.wait_for(attempts.__anext__(), DEADLINE)
                self.assertEqual((attempt.value.target_id, attempt.value.app_name),
                                 ("term", "Terminal"))
                self.assertEqual((await helper.stop()).shield_count, 0)
            self.assertEqual(helper.state, "closed")

        asyncio.run(run())

    def test_an_update_of_the_end_time_keeps_the_window_covered_until_the_helper_ends(self):
        # No restart within the test: the coverage is seen cleared before anything comes back.
        helper = self.helper(restart=shield_helper.RestartPolicy(backoff=60.0))
        events = Events(helper, "exit")
        helper.block([TERMINAL], time.time() + 60)
        self.covered(helper)
        reply = helper.update(ends_at=time.time() + 120)
        self.assertEqual((reply.shield_count, reply.covered_window_count), (1, 1))
        self.assertEqual(helper.last_status, reply)
        os.kill(helper.pid, signal.SIGKILL)
        self.assertTrue(events.next("exit").will_restart)
        self.assertIsNone(helper.last_status, "its shields went with it")


class KilledOnXvfb(Desktop):
    """The ten kills have a desktop of their own: after them, a new helper's shield is at
    times never mapped under openbox (it stays unmapped, without WM_STATE, though listed in
    _NET_CLIENT_LIST), which would fail whatever test came next for a reason of the helper's."""

    DISPLAY_OFFSET = 20

    def test_a_helper_killed_ten_times_mid_block_covers_the_window_again(self):
        # Ten kills, more than max_restarts allows without a block.
        helper = self.helper(restart=shield_helper.RestartPolicy(max_restarts=3, backoff=0.02,
                                                                 max_backoff=0.04))
        events = Events(helper, "restarted")
        helper.block([TERMINAL])
        self.covered(helper)
        for kill in range(1, 11):
            os.kill(helper.pid, signal.SIGKILL)
            self.assertEqual(events.next("restarted").permission, "granted", f"restart {kill}")
        self.assertTrue(self.covered(helper).watcher_running)
        self.assertEqual(helper.close(), 0)


if __name__ == "__main__":
    unittest.main()
