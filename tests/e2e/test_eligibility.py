"""Which windows the desktop offers as ordinary ones: ordinary windows and dialogs are covered
at any opacity above the threshold, also when kept above or below the others; docks, utility
windows, notifications and nearly transparent windows are not. Each row is its own LogClient
process, so the blocked application also runs as several processes."""

import os
import unittest

from xharness import (SHIELD_CLASS, DisplayCase, Helper, Probe, Processes, client_windows,
                      new_log_file, rect, wait_until)

# extra logclient arguments, covered
ROWS = [
    ([], True),
    (["--type", "NORMAL"], True),
    (["--type", "DIALOG"], True),
    (["--opacity", "0.5"], True),
    (["--type", "DOCK"], False),
    (["--type", "UTILITY"], False),
    (["--type", "SPLASH"], False),
    (["--state", "ABOVE"], True),
    (["--type", "DIALOG", "--state", "ABOVE"], True),
    (["--type", "NOTIFICATION"], False),
    (["--state", "BELOW"], True),
    (["--opacity", "0.005"], False),
]


class EligibilityBase(DisplayCase):

    def test_only_ordinary_visible_windows_are_covered(self):
        processes = Processes()
        self.addCleanup(processes.end_all)
        log = new_log_file(None)
        self.addCleanup(os.unlink, log)
        for i, (args, _) in enumerate(ROWS):
            x, y = 20 + (i % 4) * 300, 60 + (i // 4) * 230
            processes.start([os.environ["LOGCLIENT"], "--log", log, *args, "--geometry",
                             f"200x150+{x}+{y}"], self.display.env)

        def all_up():
            n = len(client_windows(self.display.state(), "LogClient"))
            return n == len(ROWS) or Probe(f"{n} windows up")

        wait_until(all_up, "the test windows")
        helper = Helper(processes, self.display.env)
        helper.request("start", targets=[{"id": "l", "name": "L", "bundleId": "logclient"}])
        wanted = sum(1 for _, covered in ROWS if covered)

        def problem(state):
            by_index = {i: t for (i, t, _) in client_windows(state, SHIELD_CLASS)}
            covering = 0
            for index, toplevel, client in client_windows(state, "LogClient"):
                args = self.row_of(client)
                covered = dict((tuple(a), c) for a, c in ROWS)[tuple(args)]
                shield = by_index.get(index + 1)
                over = shield is not None and rect(shield) == rect(toplevel)
                if over != covered:
                    return f"{args} {'not ' if covered else ''}covered"
                covering += over
            if covering != len(by_index):
                return f"{len(by_index) - covering} shields over nothing"
            return None

        def settled():
            state = self.display.state()
            status = [m for m in helper.messages if m.get("type") == "status"][-1]
            reason = problem(state)
            if reason or status["coveredWindowCount"] != wanted:
                return Probe(reason or f"status {status}")
            return state

        wait_until(settled, f"{wanted} covered windows")

    def row_of(self, client):
        # Rows are laid out on a grid; the client's position tells which one it is.
        for i, (args, _) in enumerate(ROWS):
            x, y = 20 + (i % 4) * 300, 60 + (i // 4) * 230
            if abs(client["x"] - x) <= 60 and abs(client["y"] - y) <= 60:
                return args
        # Docks may be moved by the window manager; they are the only such row.
        return ["--type", "DOCK"]


class WithOpenbox(EligibilityBase, unittest.TestCase):
    WINDOW_MANAGER = True


class WithoutWindowManager(EligibilityBase, unittest.TestCase):
    WINDOW_MANAGER = False


if __name__ == "__main__":
    unittest.main()
