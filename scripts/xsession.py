"""A virtual X desktop and a helper driven as a host drives it, for the demo and the X11
benchmarks: Xvfb, a window manager, a compositor, clients and the helper, each ended by its pid;
waits poll observable state (the X server through xprobe, the helper's replies) against a
deadline. The end-to-end harness (tests/e2e/xharness.py) builds on the same processes, server
start, waits and helper, failing with AssertionError where these exit."""

import json
import os
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

SHIELD_CLASS = "ShieldHelper"
DEADLINE = 10.0
POLL_INTERVAL = 0.01


_output = threading.Lock()


def say(line):
    """Prints one whole line; the helper's lines come from another thread."""
    with _output:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


def fail(message):
    raise SystemExit(f"{os.path.basename(sys.argv[0])}: {message}")


def wait_until(predicate, what, timeout=DEADLINE, interval=POLL_INTERVAL, fail=fail):
    """Polls `predicate` until it returns something true, and returns that; when the deadline
    passes, calls `fail` with `what` and the last value `predicate` returned."""
    end = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > end:
            fail(f"timed out after {timeout:g} s waiting for {what}; last: {result!r}")
        time.sleep(interval)


def build_xprobe(root, build_dir):
    """Compiles scripts/xprobe.c into the build directory when it is missing or older."""
    source = os.path.join(root, "scripts", "xprobe.c")
    binary = os.path.join(build_dir, "xprobe")
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "xcb"], check=True,
                               capture_output=True, text=True).stdout.split()
        subprocess.run(["cc", "-O2", "-Wall", "-Wextra", "-Werror", "-o", binary, source, *flags],
                       check=True)
    return binary


def cpu_seconds(pid):
    """User plus system time the process has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_seconds_fine(pid):
    """Time the process's threads have spent on a CPU, in nanosecond resolution (the first
    field of each thread's schedstat), or None where the kernel does not keep it."""
    total = 0
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
                total += int(stat.read().split()[0])
    except (FileNotFoundError, ValueError, IndexError):
        return None
    return total / 1e9


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Processes:
    """Children started here, each ended by its own pid, newest first. A child that is ended
    leaves the list, and its pipes are closed."""

    def __init__(self):
        self.children = []

    def start(self, argv, env, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        child = subprocess.Popen(argv, env=env, **kwargs)
        self.children.append(child)
        return child

    def end(self, child):
        if child.poll() is None:
            child.terminate()
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        for stream in (child.stdin, child.stdout, child.stderr):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass
        if child in self.children:
            self.children.remove(child)

    def end_all(self):
        for child in reversed(list(self.children)):
            self.end(child)


def start_xvfb(processes, args, display=None, timeout=DEADLINE):
    """Starts Xvfb with `args` (on `display`, or on a number it picks itself) and reads the
    display number it reports through -displayfd. Returns the server and that number, or None
    for the number when the server ended first (the display asked for was taken); raises
    TimeoutError when it reports nothing in time."""
    read_end, write_end = os.pipe()
    server = processes.start(["Xvfb", *([display] if display else []), "-displayfd",
                              str(write_end), *args], os.environ.copy(), pass_fds=(write_end,))
    os.close(write_end)
    reported = b""
    end = time.monotonic() + timeout
    try:
        while not reported.endswith(b"\n"):
            remaining = end - time.monotonic()
            if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                raise TimeoutError("Xvfb did not report its display number")
            chunk = os.read(read_end, 64)
            if not chunk:
                return server, None
            reported += chunk
    finally:
        os.close(read_end)
    return server, reported.decode().strip()


def end_on_signals():
    """Turns SIGTERM and SIGHUP into a normal exit, so that `finally` blocks end the children."""
    def leave(signum, _frame):
        raise SystemExit(128 + signum)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, leave)


class Desktop:
    """An X display: a new Xvfb with a window manager (and a compositor when asked and
    installed), or an existing display that is only looked at."""

    def __init__(self, processes, xprobe, env=None):
        self.processes = processes
        self.xprobe = xprobe
        self.env = env
        self.compositor = None

    def start_virtual(self, size="1280x800", window_manager=True, compositor=False):
        try:
            _, number = start_xvfb(self.processes, ["-screen", "0", f"{size}x24", "-nolisten",
                                                    "tcp"])
        except TimeoutError as error:
            fail(str(error))
        if number is None:
            fail("Xvfb ended before reporting its display number")
        self.env = dict(os.environ, DISPLAY=":" + number)
        self.env.pop("XAUTHORITY", None)
        if window_manager:
            self.processes.start(["openbox", "--sm-disable"], self.env)
            # The probe stays connected for the whole session: see xprobe.c.
            probe = self.processes.start([self.xprobe, "wait-wm", str(DEADLINE)], self.env,
                                         stdout=subprocess.PIPE)
            if probe.stdout.readline() != b"managed\n":
                fail("openbox did not start managing windows")
        if compositor and shutil.which("xcompmgr"):
            self.compositor = self.processes.start(["xcompmgr"], self.env)
            wait_until(self.composited, "xcompmgr to take over the screen")

    def composited(self):
        """Whether a compositing manager owns the screen's _NET_WM_CM_S0 selection."""
        out = subprocess.run([self.xprobe, "owner", "_NET_WM_CM_S0"], env=self.env,
                             capture_output=True, text=True)
        return out.returncode == 0 and out.stdout.strip() != "0"

    def toplevels(self):
        """Viewable top-levels, bottom to top: dicts with frame, x, y, w, h, cls."""
        out = subprocess.run([self.xprobe, "state"], env=self.env, capture_output=True,
                             text=True, timeout=10)
        if out.returncode != 0:
            fail(f"cannot read the display: {out.stderr.strip()}")
        result = []
        for line in out.stdout.splitlines():
            frame, x, y, w, h, cls = line.split(" ", 5)
            result.append({"frame": int(frame), "x": int(x), "y": int(y), "w": int(w),
                           "h": int(h), "cls": cls})
        return result

    def windows_of(self, cls):
        return [t for t in self.toplevels() if t["cls"] == cls]

    def shields_in_place(self, target_classes, count):
        """True when `count` windows of the target classes are up, each with a mapped shield
        directly above it at exactly its frame, and no other shield is mapped."""
        levels = self.toplevels()
        targets = [i for i, t in enumerate(levels) if t["cls"] in target_classes]
        shields = [i for i, t in enumerate(levels) if t["cls"] == SHIELD_CLASS]
        if len(targets) != count or len(shields) != count:
            return False
        rect = lambda t: (t["x"], t["y"], t["w"], t["h"])
        return all(i + 1 < len(levels) and levels[i + 1]["cls"] == SHIELD_CLASS
                   and rect(levels[i + 1]) == rect(levels[i]) for i in targets)


class Helper:
    """The helper as a host runs it: pipes, one JSON object per line each way. Every line is
    kept, and optionally echoed as a transcript ("> " host lines, "< " helper lines). `fail`
    is what a wait that cannot be met calls."""

    fail = staticmethod(fail)

    def __init__(self, processes, binary, env, echo=False, stderr=None, **popen):
        """`popen`: further arguments for starting the process (another user, say)."""
        self.echo = echo
        self.process = processes.start([binary], env, stdin=subprocess.PIPE,
                                       stdout=subprocess.PIPE, stderr=stderr, **popen)
        self.messages = []
        self.lock = threading.Condition()
        self.next_request = 1
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.ready = self.wait_for(lambda m: m.get("type") == "ready", "the helper's ready line")

    def _read(self):
        for line in self.process.stdout:
            text = line.decode(errors="replace").rstrip("\n")
            if self.echo:
                say("< " + text)
            with self.lock:
                self.messages.append(json.loads(text))
                self.lock.notify_all()
        with self.lock:
            self.messages.append({"type": "<end of output>"})
            self.lock.notify_all()

    def wait_for(self, predicate, what, timeout=DEADLINE, start=0):
        """The first message from index `start` on that matches, waiting for it if need be."""
        end = time.monotonic() + timeout
        with self.lock:
            while True:
                found = next((m for m in self.messages[start:] if predicate(m)), None)
                if found is not None:
                    return found
                if self.messages and self.messages[-1].get("type") == "<end of output>":
                    self.fail(f"the helper ended while waiting for {what}")
                remaining = end - time.monotonic()
                if remaining <= 0:
                    self.fail(f"timed out after {timeout:g} s waiting for {what}")
                self.lock.wait(remaining)

    def mark(self):
        with self.lock:
            return len(self.messages)

    def send(self, message):
        text = json.dumps(message, separators=(",", ":"))
        if self.echo:
            say("> " + text)
        self.process.stdin.write((text + "\n").encode())
        self.process.stdin.flush()

    def request(self, command, **fields):
        """Sends a command and returns its reply. Replies come in command order, so the reply
        also shows the state after everything sent before it."""
        request_id = self.next_request
        self.next_request += 1
        self.send({"command": command, "requestId": request_id, **fields})
        return self.wait_for(lambda m: m.get("requestId") == request_id,
                             f"the reply to {command}")

    def shutdown(self, timeout=DEADLINE):
        self.send({"command": "shutdown"})
        self.process.stdin.close()
        status = self.process.wait(timeout=timeout)
        self.reader.join(timeout)
        return status
