"""A virtual X display, a window manager, X clients and the helper process, for end-to-end
tests. Everything started here is ended by its pid. Waits poll observable state (the X server,
the helper's messages) against a deadline; nothing relies on a fixed delay.

The processes, the server start, the waits and the helper's host side are those of
scripts/xsession.py, which the demo and the X11 benchmarks use: the tests build on the scripts'
tooling rather than the scripts reaching into the tests. Here a wait that cannot be met fails the
test with AssertionError instead of ending a script."""

import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts"))

import xsession  # noqa: E402
from xsession import DEADLINE, SHIELD_CLASS, Processes, start_xvfb  # noqa: E402,F401

HELPER = os.environ.get("SHIELD_HELPER")
LOGCLIENT = os.environ.get("LOGCLIENT")
XPROBE = os.environ.get("XPROBE")

POLL_INTERVAL = 0.02


def fail(message):
    raise AssertionError(message)


def missing_tools():
    """The programs a test run needs that are not there."""
    needed = {"SHIELD_HELPER": HELPER, "LOGCLIENT": LOGCLIENT, "XPROBE": XPROBE}
    missing = [name for name, path in needed.items() if not path or not os.path.exists(path)]
    missing += [tool for tool in ("Xvfb", "openbox", "xdotool", "xterm") if not shutil.which(tool)]
    return missing


def wait_until(predicate, what, timeout=DEADLINE):
    """Polls `predicate` until it returns something true; fails with `what` and the last
    value it returned when the deadline passes."""
    return xsession.wait_until(predicate, what, timeout, POLL_INTERVAL, fail)


class Probe:
    """A falsy result that still says what was wrong, for wait_until's failure message."""

    def __init__(self, reason):
        self.reason = reason

    def __bool__(self):
        return False

    def __repr__(self):
        return self.reason


class Display:
    """Xvfb on a display number it picks itself, optionally with openbox."""

    def __init__(self):
        self.processes = Processes()
        self.server = None
        self.env = None
        self.wm = None

    # -noreset: by default the server resets whenever its last client leaves, and a client
    # connecting at that moment (xterm while xprobe closes) is dropped.
    # Display numbers this process tries next. Xvfb -displayfd alone always starts looking at
    # :0, and a number freed by one test and taken at once by another can lose its socket file
    # to the first server's late clean-up; each process therefore walks its own range.
    _next_number = 100 + (os.getpid() % 500) * 8

    def start(self):
        # Servers also start one at a time across test processes, so that two never race for
        # a number.
        with open(os.path.join(tempfile.gettempdir(), "shield-e2e-xvfb.lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            for _ in range(20):
                number = Display._next_number
                Display._next_number = 100 + (number - 100 + 1) % 4000
                if self._start_server(number):
                    break
            else:
                raise AssertionError("no display number was free for Xvfb")
        self.env = dict(os.environ, DISPLAY=f":{number}")
        self.env.pop("XAUTHORITY", None)

    def _start_server(self, number):
        """Starts Xvfb on `number`; False when that display is taken."""
        try:
            self.server, reported = start_xvfb(
                self.processes, ["-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"],
                display=f":{number}")
        except TimeoutError:
            raise AssertionError("Xvfb did not report its display")
        if reported is None:
            # It ended: the number is in use.
            self.processes.end(self.server)
            return False
        return True

    def start_wm(self):
        self.wm = self.processes.start(["openbox", "--sm-disable"], self.env)
        wait_until(lambda: self.state()["wm"], "openbox to claim the screen")
        # Openbox announces itself before it has finished starting, and a window mapped in
        # between may stay unmanaged. Map probe windows until one is managed.
        log = tempfile.NamedTemporaryFile(prefix="wm-probe-", delete=False)
        log.close()
        try:
            wait_until(lambda: self._probe_managed(log.name), "openbox to manage windows")
        finally:
            os.unlink(log.name)
        return self.wm

    def _probe_managed(self, log):
        probe = self.processes.start([LOGCLIENT, "--log", log, "--class", "WmProbe",
                                      "--geometry", "100x100+0+0"], self.env)
        try:
            def managed():
                state = self.state()
                return any(c["class"] == "WmProbe" and c["viewable"] and t["id"] != c["id"]
                           for t in state["toplevels"] for c in t["clients"])

            end = time.monotonic() + 1.0
            while time.monotonic() < end:
                if managed():
                    return True
                time.sleep(POLL_INTERVAL)
            return False
        finally:
            self.processes.end(probe)
            wait_until(lambda: not any(c["class"] == "WmProbe" for t in self.state()["toplevels"]
                                       for c in t["clients"]), "the probe window to go")

    def stop_wm(self):
        if self.wm is not None:
            self.processes.end(self.wm)
            self.wm = None
            wait_until(lambda: not self.state()["wm"], "openbox to go")

    def stop(self):
        self.processes.end_all()

    def state(self):
        out = subprocess.run([XPROBE, "json"], env=self.env, capture_output=True, timeout=10)
        if out.returncode != 0:
            alive = self.server is not None and self.server.poll() is None
            raise AssertionError(f"xprobe json failed ({out.stderr.decode().strip()}); "
                                 f"Xvfb {'running' if alive else 'gone'}")
        return json.loads(out.stdout)

    def pixels(self, x, y, w, h):
        out = subprocess.run([XPROBE, "pixels", str(x), str(y), str(w), str(h)], env=self.env,
                             capture_output=True, check=True, timeout=10)
        image = json.loads(out.stdout)
        rgb = bytes.fromhex(image["rgb"])
        return [[tuple(rgb[(row * w + col) * 3:(row * w + col) * 3 + 3]) for col in range(w)]
                for row in range(h)]

    def xdotool(self, *args):
        subprocess.run(["xdotool", *map(str, args)], env=self.env, check=True, timeout=20,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Helper(xsession.Helper):
    """The helper process, with its output lines collected as they come."""

    fail = staticmethod(fail)

    def __init__(self, processes, env):
        super().__init__(processes, HELPER, env, stderr=subprocess.PIPE)

    def find(self, predicate, start=0):
        with self.lock:
            return next((m for m in self.messages[start:] if predicate(m)), None)

    def count(self, message_type):
        with self.lock:
            return sum(1 for m in self.messages if m.get("type") == message_type)

    def status(self):
        return self.request("permission-status")


def client_windows(state, wanted_class=None):
    """(index among viewable top-levels bottom to top, top-level, client) for each viewable
    client window, optionally of one class."""
    found = []
    viewable = [t for t in state["toplevels"] if t["viewable"]]
    for index, toplevel in enumerate(viewable):
        for client in toplevel["clients"]:
            if client["viewable"] and (wanted_class is None or client["class"] == wanted_class):
                found.append((index, toplevel, client))
    return found


def rect(toplevel):
    return (toplevel["x"], toplevel["y"], toplevel["w"], toplevel["h"])


def coverage_problem(state, target_classes, fits=None):
    """None when every eligible window of the target classes has exactly one shield, exactly
    over its frame (or as `fits(shield, frame, client)` judges) and directly above it in the
    stacking order, and no other shield exists; otherwise what is wrong."""
    targets = [(i, t, c) for cls in target_classes for (i, t, c) in client_windows(state, cls)
               if t["w"] >= 80 and t["h"] >= 60]
    shields = client_windows(state, SHIELD_CLASS)
    by_index = {i: (t, c) for (i, t, c) in shields}
    used = set()
    for index, toplevel, client in targets:
        above = by_index.get(index + 1)
        if above is None:
            return f"no shield directly above {client['class']} {client['id']:#x}"
        if not (fits(above[0], toplevel, client) if fits else rect(above[0]) == rect(toplevel)):
            return (f"shield over {client['id']:#x} at {rect(above[0])}, "
                    f"window frame at {rect(toplevel)}")
        used.add(index + 1)
    extra = [c["id"] for (i, t, c) in shields if i not in used]
    if extra:
        return f"shields over nothing eligible: {[hex(e) for e in extra]}"
    return None


def eligible_count(state, target_classes):
    return sum(1 for cls in target_classes for (i, t, c) in client_windows(state, cls)
               if t["w"] >= 80 and t["h"] >= 60)


def new_log_file(test_dir):
    fd, path = tempfile.mkstemp(prefix="logclient-", suffix=".log", dir=test_dir)
    os.close(fd)
    return path


def kill_hard(process):
    os.kill(process.pid, signal.SIGKILL)
    process.wait(timeout=10)


class DisplayCase:
    """A virtual display shared by the tests of a class, with openbox when the class sets
    WINDOW_MANAGER; skipped as a whole when a tool it needs is missing."""

    WINDOW_MANAGER = False

    @classmethod
    def setUpClass(cls):
        missing = missing_tools()
        if missing:
            raise unittest.SkipTest("missing: " + ", ".join(missing))
        cls.display = Display()
        cls.display.start()
        cls.addClassCleanup(cls.display.stop)
        if cls.WINDOW_MANAGER:
            cls.display.start_wm()
