"""What a shield shows and what it does with input, read back from a virtual display: the veil
inside the shield, untouched pixels outside it, text in the title and subtitle bands and
nothing between them; clicks and keys on a shield become access attempts and never reach the
covered client."""

import os
import shutil
import subprocess
import time
import unittest

from xharness import (SHIELD_CLASS, DisplayCase, Helper, Probe, Processes, client_windows,
                      coverage_problem, new_log_file, wait_until)

# The veil's colour premultiplied by its alpha, as an uncomposited screen shows it.
VEIL = (round(0.045 * 0.76 * 255), round(0.052 * 0.76 * 255), round(0.063 * 0.76 * 255))
OTHER_COLOR = (0x20, 0xA0, 0x20)
TARGET = {"id": "log", "name": "Log & Client", "bundleId": "logclient"}


def is_veil(pixel):
    return all(abs(a - b) <= 2 for a, b in zip(pixel, VEIL))


class ClientsCase(DisplayCase):
    def setUp(self):
        self.processes = Processes()
        self.addCleanup(self.processes.end_all)
        self.log_path = new_log_file(None)
        self.addCleanup(os.unlink, self.log_path)
        self.processes.start([os.environ["LOGCLIENT"], "--log", self.log_path, "--class",
                              "LogClient", "--geometry", "400x300+100+100"], self.display.env)
        self.processes.start([os.environ["LOGCLIENT"], "--log", self.log_path, "--class",
                              "OtherApp", "--color", "20a020", "--geometry", "300x200+600+100"],
                             self.display.env)
        def clients_up():
            seen = [c["class"] for (_, _, c) in client_windows(self.display.state())]
            return len(seen) == 2 or Probe(f"clients seen: {seen}")

        wait_until(clients_up, "the test clients")
        self.helper = Helper(self.processes, self.display.env)
        self.helper.request("start", targets=[TARGET])
        self.shield = self.covered()

    def covered(self):
        def probe():
            state = self.display.state()
            problem = coverage_problem(state, ["LogClient"])
            shields = client_windows(state, SHIELD_CLASS)
            if problem or len(shields) != 1:
                return Probe(problem or f"{len(shields)} shields")
            return shields[0][1]

        return wait_until(probe, "the shield")


class PixelTests(ClientsCase, unittest.TestCase):
    WINDOW_MANAGER = True

    def picture(self):
        s = self.shield
        return self.display.pixels(s["x"], s["y"], s["w"], s["h"])

    def test_veil_text_bands_and_untouched_surroundings(self):
        s = self.shield
        rows = self.picture()
        h = s["h"]
        title = range(h // 2 - 68, h // 2 - 36)
        gap = range(h // 2 - 36 + 1, h // 2 - 28 - 1)
        subtitle = range(h // 2 - 28, h // 2 - 6)
        # Veil everywhere outside the two text bands.
        for y, row in enumerate(rows):
            if y in title or y in subtitle:
                continue
            odd = [x for x, p in enumerate(row) if not is_veil(p)]
            self.assertFalse(odd, f"row {y} is not veil at x={odd[:5]}: {row[odd[0]] if odd else ''}")
        # Light text in both bands, the title centred.
        bright = [(x, y) for y in title for x, p in enumerate(rows[y]) if min(p) > 180]
        self.assertGreater(len(bright), 100, "no title text")
        middle = sum(x for x, _ in bright) / len(bright)
        self.assertAlmostEqual(middle, s["w"] / 2, delta=12)
        grey = [(x, y) for y in subtitle for x, p in enumerate(rows[y]) if min(p) > 100]
        self.assertGreater(len(grey), 50, "no subtitle text")
        self.assertTrue(all(is_veil(p) for y in gap for p in rows[y]))
        # The other application's window is untouched.
        other = self.display.pixels(650, 150, 200, 100)
        self.assertTrue(all(p == OTHER_COLOR for row in other for p in row))

    def test_long_name_is_wrapped_and_cut_at_its_band(self):
        long_name = "An application with a remarkably long name that cannot fit on one line"
        self.helper.request("update", targets=[dict(TARGET, name=long_name)])
        s = self.shield
        h = s["h"]
        gap = range(h // 2 - 36 + 1, h // 2 - 28 - 1)
        above_title = range(0, h // 2 - 68 - 1)

        def redrawn():
            rows = self.picture()
            bright_rows = {y for y, row in enumerate(rows) if any(min(p) > 180 for p in row)}
            # The name wraps onto a second line, so bright text reaches the band's bottom.
            if not any(y >= h // 2 - 50 for y in bright_rows):
                return Probe(f"title rows {sorted(bright_rows)[:3]}..")
            return rows

        rows = wait_until(redrawn, "the new name on the shield")
        for y in list(gap) + list(above_title):
            self.assertTrue(all(is_veil(p) for p in rows[y]), f"text outside its band at row {y}")


class InputTests(ClientsCase):
    def test_click_and_key_on_a_shield_are_access_attempts(self):
        s = self.shield
        x, y = s["x"] + s["w"] // 2, s["y"] + s["h"] - 40
        self.display.xdotool("mousemove", x, y, "click", "1")
        wait_until(lambda: self.helper.count("accessAttempt") == 1, "an attempt for the click")
        attempt = self.helper.find(lambda m: m.get("type") == "accessAttempt")
        self.assertEqual((attempt["targetId"], attempt["appName"]), ("log", "Log & Client"))

        # The click made the shield the focus, so keys come to it.
        shield_id = client_windows(self.display.state(), SHIELD_CLASS)[0][2]["id"]
        wait_until(lambda: self.display.state()["focus"] == shield_id, "the shield to get focus")
        self.display.xdotool("key", "a")
        wait_until(lambda: self.helper.count("accessAttempt") == 2, "an attempt for the key")

        # Another button is not the view's, but still stops at the shield.
        self.display.xdotool("click", "3")
        self.helper.status()  # a barrier: every earlier event has been handled
        self.assertEqual(self.helper.count("accessAttempt"), 2)
        self.covered()
        with open(self.log_path) as log:
            self.assertEqual(log.read(), "")


class InputWithOpenbox(InputTests, unittest.TestCase):
    WINDOW_MANAGER = True

    def test_keys_stay_with_a_shield_that_becomes_the_helpers_own(self):
        if not shutil.which("wmctrl"):
            self.skipTest("missing: wmctrl")
        s = self.shield
        self.display.xdotool("mousemove", s["x"] + s["w"] // 2, s["y"] + s["h"] - 40, "click", "1")
        wait_until(lambda: self.helper.count("accessAttempt") == 1, "an attempt for the click")
        managed = client_windows(self.display.state(), SHIELD_CLASS)[0][2]["id"]
        wait_until(lambda: self.display.state()["focus"] == managed, "the shield to get focus")

        # openbox raises a shield alone, away from its window, each time something activates
        # it. With the neighbour raised in between, asked again and again, the helper stops
        # correcting that and shows a shield of its own instead, which must keep the keyboard
        # the managed one had.
        other = client_windows(self.display.state(), "OtherApp")[0][2]["id"]

        def replaced():
            shields = client_windows(self.display.state(), SHIELD_CLASS)
            if len(shields) == 1 and shields[0][2]["id"] != managed:
                return shields[0][2]["id"]
            for _ in range(2):
                self.display.xdotool("windowraise", other)
                time.sleep(0.05)  # each request answered on its own, not a wait for state
                subprocess.run(["wmctrl", "-i", "-a", str(managed)], env=self.display.env,
                               timeout=10)
                time.sleep(0.05)
            return Probe(f"{len(shields)} shields, the first {shields[0][2]['id']:#x}"
                         if shields else "no shield")

        own = wait_until(replaced, "a shield of the helper's own")
        wait_until(lambda: self.display.state()["focus"] == own or
                   Probe(f"focus on {self.display.state()['focus']:#x}"),
                   "the keyboard on the new shield")
        self.covered()
        self.display.xdotool("key", "a")
        wait_until(lambda: self.helper.count("accessAttempt") == 2, "an attempt for the key")
        with open(self.log_path) as log:
            self.assertEqual(log.read(), "")


class InputWithoutWindowManager(InputTests, unittest.TestCase):
    WINDOW_MANAGER = False


if __name__ == "__main__":
    unittest.main()
