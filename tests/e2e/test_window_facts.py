"""What the helper reads about other applications' windows, under conditions a careless or
hostile client or a crashing window manager creates: a WM_CLASS far longer than usual still
names its application, and decoration sizes left behind by a window manager that died are not
applied to windows nobody frames any more."""

import unittest

from xharness import (DisplayCase, Helper, Probe, Processes, client_windows, coverage_problem,
                      eligible_count, kill_hard, wait_until)

TARGETS = [{"id": "term", "name": "XTerm", "bundleId": "xterm"}]
TARGET_CLASSES = ["XTerm"]


def covered(display, count, extra=None):
    """Waits until X shows `count` xterms, each with exactly one shield directly above it at
    exactly its outer rectangle, and no other shield; `extra` may add a condition on the X
    state."""

    def probe():
        state = display.state()
        problem = coverage_problem(state, TARGET_CLASSES)
        if problem:
            return Probe(problem)
        n = eligible_count(state, TARGET_CLASSES)
        if n != count:
            return Probe(f"{n} xterms on screen, expected {count}")
        reason = extra(state) if extra is not None else None
        return Probe(reason) if reason else state

    return wait_until(probe, f"{count} covered xterms")


class LongClassBase(DisplayCase):
    """An xterm whose instance name (the first part of WM_CLASS) is longer than any fixed
    read size would take in full is covered like any other: the class part comes after it."""

    # instance name lengths: the usual, past 4 KiB, near the most xterm sets
    LENGTHS = [5, 4100, 60000]

    def test_long_instance_names_do_not_hide_the_class(self):
        processes = Processes()
        self.addCleanup(processes.end_all)
        for i, length in enumerate(self.LENGTHS):
            processes.start(["xterm", "-name", "n" * length, "-geometry",
                             f"40x10+{40 + 400 * i}+100"], self.display.env)

        def instances():
            state = self.display.state()
            lengths = sorted(len(c["instance"]) for (_, _, c) in client_windows(state, "XTerm"))
            return lengths == self.LENGTHS or Probe(f"instance name lengths {lengths}")

        wait_until(instances, "the xterms")
        helper = Helper(processes, self.display.env)
        reply = helper.request("start", targets=TARGETS)
        self.assertTrue(reply["watcherRunning"])
        covered(self.display, len(self.LENGTHS))
        self.assertEqual(helper.status()["coveredWindowCount"], len(self.LENGTHS))


class LongClassWithOpenbox(LongClassBase, unittest.TestCase):
    WINDOW_MANAGER = True


class LongClassWithoutWindowManager(LongClassBase, unittest.TestCase):
    WINDOW_MANAGER = False


class WindowManagerDies(DisplayCase, unittest.TestCase):
    """Openbox sets _NET_FRAME_EXTENTS on the windows it frames. Killed, it cannot take them
    away again; the server puts its clients back on the root, and the shields must follow the
    bare windows exactly, until another window manager frames them again."""

    WINDOW_MANAGER = True

    def test_frame_extents_apply_only_while_a_window_manager_frames_the_window(self):
        processes = Processes()
        self.addCleanup(processes.end_all)
        processes.start(["xterm", "-geometry", "80x24+100+100"], self.display.env)
        wait_until(lambda: client_windows(self.display.state(), "XTerm"), "xterm")
        helper = Helper(processes, self.display.env)
        helper.request("start", targets=TARGETS)

        def framed(state):
            (_, toplevel, client), = client_windows(state, "XTerm")
            # A frame larger than the client: decorations drawn around it.
            if toplevel["id"] == client["id"] or toplevel["w"] <= client["w"]:
                return f"xterm not framed: {toplevel['w']}x{toplevel['h']}"
            return None

        def bare(state):
            (_, toplevel, client), = client_windows(state, "XTerm")
            if toplevel["id"] != client["id"]:
                return "xterm still inside a frame"
            return None

        covered(self.display, 1, framed)
        self.addCleanup(self.restore_window_manager)
        kill_hard(self.display.wm)
        self.display.processes.end(self.display.wm)
        self.display.wm = None
        wait_until(lambda: not self.display.state()["wm"], "openbox to go")
        covered(self.display, 1, bare)
        self.assertIsNone(helper.process.poll())

        self.display.start_wm()
        covered(self.display, 1, framed)

    def restore_window_manager(self):
        if self.display.wm is None:
            self.display.start_wm()


if __name__ == "__main__":
    unittest.main()
