"""End-to-end tests of the Windows helper: the real shield-helper.exe under Wine 10 on Xvfb with
no window manager, blocking blockme.exe beside otherapp.exe (tests/e2e/windows/). The evidence
is what Win32 itself reports through winprobe.exe (the z-order, frames, styles and owners of the
top-level windows, the foreground window), the pixels on the screen, and what blockme logs of
the input it received. With no window manager X stacks the windows in their Win32 z-order, so
the pixels show that order too.

    scripts/debian13-root run -- python3 run_optional.py wine_windows     (in tests/e2e)

debian13_run.py (ctest's e2e-debian13) runs it in the root. Skipped, with the reason, where
Wine, Xvfb or the Windows build's programs are missing. SHIELD_ARTIFACT_DIR names where the
screenshot of a veiled window beside an unveiled one goes (build-windows/ by default)."""

import os
import sys
import time
import unittest

import winharness
from winharness import HELPER_EXE_NAME, Probe, WineSession, inset, program, rect, wait_until

GREEN = (0, 255, 0)
BLUE = (0, 0, 255)
# The target is named with another letter case than the file's: it is matched ignoring case.
BLOCKED = {"id": "b", "name": "Blockme", "bundleId": "BlockMe.EXE"}
BLOCKED_AREA = (100, 100, 400, 300)
OTHER_AREA = (600, 100, 400, 300)
# Where otherapp's window overlaps blockme's.
OVERLAPPING_AREA = (300, 200, 400, 300)
VK_RETURN = 13
OUR_PROGRAMS = ("blockme.exe", "otherapp.exe", "notepad.exe", HELPER_EXE_NAME)
ARTIFACT_DIR = os.environ.get("SHIELD_ARTIFACT_DIR") or winharness.BUILD

session = None


def setUpModule():
    global session
    reason = winharness.missing(("WINPROBE", "BLOCKME", "OTHERAPP"))
    if reason:
        raise unittest.SkipTest(f"missing {reason}")
    session = WineSession()
    try:
        session.start()
    except BaseException:
        session.stop()
        raise
    print(f"wine_windows: Xvfb and a fresh Wine prefix in {session.prefix_seconds:.1f} s",
          file=sys.stderr, flush=True)


def tearDownModule():
    if session is not None:
        session.stop()


def dark(rgb):
    return max(rgb) < 0x80


class WineDesktopCase(unittest.TestCase):
    """Each test starts its own programs; its clean-up ends them and waits until none of their
    windows is shown, so that every test starts on an empty desktop."""

    def setUp(self):
        self.probe = session.probe
        self.addCleanup(session.wait_no_windows, OUR_PROGRAMS)

    def start_app(self, name, title, area):
        app = session.start_app(program(name), title, area)
        self.addCleanup(session.end_app, app)
        wait_until(lambda: any(w["hwnd"] == app.hwnd and rect(w) == area
                               for w in self.probe.windows()), f"{title} shown at {area}")
        return app

    def window(self, app):
        return next((w for w in self.probe.windows() if w["hwnd"] == app.hwnd), None)

    def wait_colour(self, area, rgb, what):
        """Waits until every sampled pixel of `area` is `rgb`; returns the screenshot."""
        def check():
            image = self.probe.screenshot()
            share = image.share(area, lambda p: p == rgb)
            return image if share == 1.0 else Probe(f"{share:.0%} of {area} is {rgb}")
        return wait_until(check, what)


class WineProbeTests(WineDesktopCase):
    """The probe and the stand-in applications, with no helper: what the helper's tests read
    and do is first shown to work here, and the input they aim at a shield is shown to reach
    blockme when nothing covers it."""

    def test_the_probe_reads_and_drives_wine_windows(self):
        blocked = self.start_app("BLOCKME", "Blocked", BLOCKED_AREA)
        other = self.start_app("OTHERAPP", "Other", OTHER_AREA)
        windows = self.probe.windows()
        shown = [(w["exe"], w["class"], w["title"], rect(w)) for w in windows]
        self.assertEqual(shown[:2], [("otherapp.exe", "BlockMeWindow", "Other", OTHER_AREA),
                                     ("blockme.exe", "BlockMeWindow", "Blocked", BLOCKED_AREA)])
        self.assertNotEqual(windows[0]["pid"], windows[1]["pid"])
        self.assertFalse(any(windows[0][flag] for flag in ("layered", "toolwindow", "topmost")))
        self.assertEqual(self.probe.foreground(), other.hwnd)

        # Both client areas show their colour, where no frame is drawn the X desktop is black,
        # and the single pixel and the screenshot agree.
        image = self.wait_colour(inset(BLOCKED_AREA, 30), GREEN, "blockme green")
        self.assertEqual(image.share(inset(OTHER_AREA, 30), lambda p: p == BLUE), 1.0)
        self.assertEqual(image.pixel(1100, 700), (0, 0, 0))
        self.assertEqual(self.probe.pixel(300, 250), GREEN)
        self.assertEqual(self.probe.pixel(800, 250), BLUE)

        # Moved over blockme, otherapp is in front; blockme raised without activation is in
        # front of it, and the foreground stays otherapp's.
        self.probe.move(other.hwnd, OVERLAPPING_AREA)
        overlap = inset((300, 200, 200, 200), 30)
        self.wait_colour(overlap, BLUE, "otherapp over blockme")
        self.assertEqual(rect(self.window(other)), OVERLAPPING_AREA)
        self.probe.command(f"raise {blocked.hwnd}")
        self.wait_colour(overlap, GREEN, "blockme raised over otherapp")
        self.assertEqual([w["hwnd"] for w in self.probe.windows()][:2],
                         [blocked.hwnd, other.hwnd])
        self.assertEqual(self.probe.foreground(), other.hwnd)

        # Activation, keys and a click reach blockme when nothing covers it.
        mark = blocked.mark()
        self.probe.command(f"activate {blocked.hwnd}")
        wait_until(lambda: self.probe.foreground() == blocked.hwnd, "blockme in the foreground")
        blocked.wait_line(lambda line: line == "activate active", "its activation")
        self.probe.type("hi")
        self.probe.key(VK_RETURN)
        self.probe.click(150, 250)
        self.probe.sync(blocked)
        # Characters typed arrive as VK_PACKET (231) key presses, then as characters; the click
        # lands at its place in the client area, whose corner Wine puts at (104, 130).
        self.assertEqual(blocked.since(mark, "keydown", "char", "lbuttondown"),
                         ["keydown 231", "char 104", "keydown 231", "char 105",
                          f"keydown {VK_RETURN}", f"char {VK_RETURN}", "lbuttondown 46 120"])
        other.wait_line(lambda line: line == "activate inactive", "otherapp deactivated")

        # A window asked to close closes; so does a program of Wine's own.
        self.probe.command(f"close {other.hwnd}")
        self.assertEqual(other.process.wait(timeout=10), 0)
        self.assertIn("close", other.lines)
        notepad = session.processes.start(["wine", "notepad"], session.env, cwd=session.folder)
        self.addCleanup(session.processes.end, notepad)
        window = wait_until(lambda: next((w for w in self.probe.windows()
                                          if w["exe"] == "notepad.exe"), None), "notepad shown")
        self.assertEqual(window["class"], "Notepad")
        self.probe.command(f"close {window['hwnd']}")
        self.assertEqual(notepad.wait(timeout=10), 0)


class WineHelperTests(WineDesktopCase):
    """The helper blocking blockme.exe while otherapp.exe is not blocked."""

    @classmethod
    def setUpClass(cls):
        reason = winharness.missing(("SHIELD_HELPER_EXE",))
        if reason:
            raise unittest.SkipTest(f"missing {reason}")

    def setUp(self):
        super().setUp()
        self.blocked = self.start_app("BLOCKME", "Blocked", BLOCKED_AREA)
        self.other = self.start_app("OTHERAPP", "Other", OTHER_AREA)

    def start_helper(self, **fields):
        """A helper with blockme blocked, once it reports the window covered."""
        helper = session.start_helper()
        self.addCleanup(session.processes.end, helper.process)
        reply = helper.request("start", targets=[BLOCKED], **fields)
        self.assertEqual(reply["permission"], "granted", helper.errors())
        helper.wait_covered(1)
        self.wait_shield_over(self.blocked)
        return helper

    def shields(self):
        return [w for w in self.probe.windows() if w["exe"].lower() == HELPER_EXE_NAME]

    def shield_over(self, app):
        """The one shield, when it is shown directly above `app`'s window in the z-order and
        exactly at its frame."""
        windows = self.probe.windows()
        shields = [w for w in windows if w["exe"].lower() == HELPER_EXE_NAME]
        index = next((i for i, w in enumerate(windows) if w["hwnd"] == app.hwnd), None)
        if index is None:
            return Probe(f"{app.title} is not shown")
        if len(shields) != 1:
            return Probe(f"{len(shields)} shields shown: {shields}")
        above = windows[index - 1] if index > 0 else None
        if above is None or above["hwnd"] != shields[0]["hwnd"]:
            return Probe(f"directly above {app.title}: {above}; the shield: {shields[0]}")
        if rect(above) != rect(windows[index]):
            return Probe(f"the shield at {rect(above)}, {app.title} at {rect(windows[index])}")
        return above

    def wait_shield_over(self, app):
        return wait_until(lambda: self.shield_over(app),
                          f"one shield directly above {app.title} at its frame")

    def wait_veiled(self, area):
        """Waits until no pixel of `area` shows blockme's green and nearly all are dark (the
        veil's texts are light); returns the screenshot."""
        def check():
            image = self.probe.screenshot()
            green = image.share(area, lambda p: p == GREEN)
            shade = image.share(area, dark)
            if green == 0 and shade >= 0.8:
                return image
            return Probe(f"in {area}: {green:.1%} green, {shade:.1%} dark")
        return wait_until(check, f"{area} veiled")

    def wait_no_shield(self, what):
        wait_until(lambda: not self.shields(), f"no shield {what}")
        self.wait_colour(inset(rect(self.window(self.blocked)), 30), GREEN,
                         f"blockme unveiled {what}")

    def test_a_blocked_window_is_covered_and_another_keeps_its_colour(self):
        helper = self.start_helper()
        shield = self.wait_shield_over(self.blocked)
        # A veil is no window of its own to the person: not on the taskbar, never activated by
        # a click, drawn with per-pixel alpha, and the helper's.
        self.assertTrue(all(shield[flag] for flag in ("layered", "toolwindow", "noactivate",
                                                      "popup")), shield)
        self.assertNotEqual(shield["pid"], self.window(self.blocked)["pid"])
        status = helper.status()
        self.assertEqual({k: status[k] for k in ("watcherRunning", "shieldCount",
                                                 "eligibleWindowCount", "coveredWindowCount",
                                                 "uncoveredWindowCount", "permission")},
                         {"watcherRunning": True, "shieldCount": 1, "eligibleWindowCount": 1,
                          "coveredWindowCount": 1, "uncoveredWindowCount": 0,
                          "permission": "granted"})
        self.assertNotIn("coverageError", status)

        image = self.wait_veiled(BLOCKED_AREA)
        self.assertEqual(image.share(inset(OTHER_AREA, 30), lambda p: p == BLUE), 1.0)
        os.makedirs(ARTIFACT_DIR, exist_ok=True)
        path = os.path.join(ARTIFACT_DIR, "wine-windows-veiled.png")
        with open(path, "wb") as out:
            out.write(image.png())
        print(f"\nwine_windows: a veiled blockme beside an unveiled otherapp: {path}",
              file=sys.stderr, flush=True)

    def test_the_shield_follows_moves_and_resizes(self):
        helper = self.start_helper()
        for change, area in (("moved", (250, 150, 400, 300)),
                             ("resized", (250, 150, 520, 360)),
                             ("moved and resized", (40, 420, 300, 200))):
            with self.subTest(change):
                self.probe.move(self.blocked.hwnd, area)
                shield = self.wait_shield_over(self.blocked)
                self.assertEqual(rect(shield), area)
                self.wait_veiled(area)
                helper.wait_covered(1)

    def test_a_minimised_window_has_no_shield_until_it_is_restored(self):
        # With no window manager Wine leaves a minimised window's pixels on the X screen, so
        # the window list alone is the evidence here.
        helper = self.start_helper()
        self.probe.command(f"minimize {self.blocked.hwnd}")
        wait_until(lambda: helper.status()["eligibleWindowCount"] == 0 and not self.shields(),
                   "no eligible window and no shield while blockme is minimised")
        self.probe.command(f"restore {self.blocked.hwnd}")
        helper.wait_covered(1)
        self.assertEqual(rect(self.wait_shield_over(self.blocked)), BLOCKED_AREA)

    def test_an_application_that_quits_and_starts_again_is_covered_again(self):
        # Its window's destruction and its process's end each say the shield must go; the
        # new process's first window is found from its show event, not a periodic pass.
        helper = self.start_helper()
        self.probe.command(f"close {self.blocked.hwnd}")
        wait_until(lambda: helper.status()["eligibleWindowCount"] == 0 and not self.shields(),
                   "no eligible window and no shield once blockme quit")
        self.blocked = self.start_app("BLOCKME", "Blocked again", BLOCKED_AREA)
        started = time.monotonic()
        helper.wait_covered(1)
        self.wait_shield_over(self.blocked)
        self.assertLess(time.monotonic() - started, 2.0)

    def test_a_window_raised_over_the_blocked_one_stays_above_its_shield(self):
        helper = self.start_helper()
        self.probe.move(self.other.hwnd, OVERLAPPING_AREA)
        overlap = inset((300, 200, 200, 200), 30)

        def order():
            names = {self.blocked.hwnd: "blockme", self.other.hwnd: "otherapp"}
            return [names.get(w["hwnd"], "shield" if w["exe"].lower() == HELPER_EXE_NAME
                              else w["exe"]) for w in self.probe.windows()]
        # Raised without activation, blockme goes over otherapp, and its shield follows it
        # there; raised in turn, otherapp goes over both, shield included.
        for raised, expected in ((self.blocked, ["shield", "blockme", "otherapp"]),
                                 (self.other, ["otherapp", "shield", "blockme"])):
            with self.subTest(raised=raised.title):
                self.probe.command(f"raise {raised.hwnd}")
                wait_until(lambda: order() == expected or Probe(str(order())),
                           f"the windows front to back: {expected}")
                self.wait_shield_over(self.blocked)
                helper.wait_covered(1)
        self.wait_colour(overlap, BLUE, "otherapp's pixels over the blocked window")
        self.wait_veiled((100, 100, 200, 300))

    def test_a_window_kept_on_top_keeps_its_shield_above_it(self):
        # "Always on top" puts the window in the topmost band, above every ordinary window;
        # its shield must go there with it, and leave it with it.
        helper = self.start_helper()
        self.probe.move(self.other.hwnd, OVERLAPPING_AREA)
        for command, topmost in (("topmost", True), ("raise", True), ("notopmost", False)):
            with self.subTest(command):
                # Raising otherapp, an ordinary window, must not bring it over the band.
                target = self.other if command == "raise" else self.blocked
                self.probe.command(f"{command} {target.hwnd}")

                def banded():
                    shield = self.shield_over(self.blocked)
                    if shield and shield["topmost"] != topmost:
                        return Probe(f"the shield's topmost is {shield['topmost']}")
                    return shield
                wait_until(banded, f"the shield directly above blockme, topmost {topmost}")
                helper.wait_covered(1)
        self.wait_veiled(BLOCKED_AREA)

    def test_activation_and_clicks_are_access_attempts_and_input_never_reaches_the_window(self):
        helper = self.start_helper()
        shield = self.wait_shield_over(self.blocked)
        centre = (shield["x"] + shield["w"] // 2, shield["y"] + shield["h"] // 2)
        for way, act in (("activating blockme",
                          lambda: self.probe.command(f"activate {self.blocked.hwnd}")),
                         ("a click on the shield", lambda: self.probe.click(*centre))):
            with self.subTest(way):
                self.probe.command(f"activate {self.other.hwnd}")
                wait_until(lambda: self.probe.foreground() == self.other.hwnd,
                           "otherapp in the foreground")
                mark, log = helper.mark(), self.blocked.mark()
                act()
                attempt = helper.wait_for(lambda m: m.get("type") == "accessAttempt",
                                          f"an access attempt after {way}", start=mark)
                self.assertEqual((attempt["targetId"], attempt["appName"]), ("b", "Blockme"))
                self.assertAlmostEqual(attempt["occurredAt"] / 1000, time.time(), delta=30)
                self.wait_shield_over(self.blocked)
                # The shield takes the keyboard; keys typed then are attempts too, and reach
                # blockme no more than the click did.
                wait_until(lambda: self.probe.foreground() in {w["hwnd"] for w in self.shields()},
                           f"the shield in the foreground after {way}")
                mark = helper.mark()
                self.probe.type("abc")
                self.probe.key(VK_RETURN)
                helper.wait_for(lambda m: m.get("type") == "accessAttempt",
                                f"an access attempt for the keys after {way}", start=mark)
                self.probe.sync(self.blocked)
                self.assertEqual(self.blocked.since(log, "keydown", "syskeydown", "char",
                                                    "lbuttondown"), [])
                self.wait_shield_over(self.blocked)
                helper.wait_covered(1)

    def test_stop_the_end_time_and_a_killed_helper_each_leave_no_shield(self):
        def stop(helper):
            self.assertEqual(helper.request("stop")["shieldCount"], 0)

        def expire(helper):
            helper.wait_for(lambda m: m.get("type") == "status" and "requestId" not in m
                            and not m["watcherRunning"], "the block's end", timeout=10)

        for end, ends_in, act in (("stop", None, stop),
                                  ("the end time", 3, expire),
                                  ("a killed helper", None, lambda helper: helper.kill())):
            with self.subTest(end):
                fields = {"endsAt": time.time() * 1000 + ends_in * 1000} if ends_in else {}
                helper = self.start_helper(**fields)
                act(helper)
                self.wait_no_shield(f"after {end}")
                if helper.process.poll() is None:
                    self.assertEqual(helper.shutdown(), 0)


if __name__ == "__main__":
    unittest.main()
