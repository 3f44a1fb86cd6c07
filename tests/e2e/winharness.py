"""Wine 10 on Xvfb with no window manager, for the end-to-end tests of the Windows helper: a
fresh Wine prefix with one persistent wineserver, the probe (tests/e2e/windows/winprobe.c) kept
running and asked one line at a time, the stand-in applications (blockme.c) and the helper run
as a host runs it. Runs inside the Debian 13 root (scripts/debian13-root), whose Wine 10 it
needs; Debian 12's Wine 8 reports too few window events.

    session = WineSession(); session.start()
    session.probe.windows()        # the shown top-level windows, front to back
    session.probe.screenshot()     # Image of the whole screen
    app = session.start_app(BLOCKME, "Blocked", (100, 100, 400, 300))
    helper = session.start_helper()      # xharness.Helper's host side over `wine`
    session.stop()

With no window manager X stacks Wine's windows in their Win32 z-order and draws no frames:
what GetWindowRect calls a window's frame shows the X desktop's black outside the client area.
The programs are found through SHIELD_HELPER_EXE, WINPROBE, BLOCKME and OTHERAPP, by default in
build-windows/ (under SHIELD_BUILD_ROOT when set), where scripts/check-windows leaves them.
Processes started here are ended by their pid; waits poll observable state against a
deadline."""

import json
import os
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time
import types
import zlib

import wlharness
import xharness
from xharness import Display, Probe, fail, wait_until  # noqa: F401

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
# Where scripts/check-windows leaves the Windows build.
BUILD = os.path.join(os.environ.get("SHIELD_BUILD_ROOT") or REPO, "build-windows")
PROGRAM_DIR = os.path.join(BUILD, "tests", "e2e", "windows")
DEFAULTS = {
    "SHIELD_HELPER_EXE": os.path.join(BUILD, "shield-helper.exe"),
    "WINPROBE": os.path.join(PROGRAM_DIR, "winprobe.exe"),
    "BLOCKME": os.path.join(PROGRAM_DIR, "blockme.exe"),
    "OTHERAPP": os.path.join(PROGRAM_DIR, "otherapp.exe"),
}
HELPER_EXE_NAME = "shield-helper.exe"
# Wine's start-up asks to install Mono and Gecko into a new prefix; the tests need neither, and
# without them the prefix is made with no dialog waiting for an answer.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}
PROBE_TIMEOUT = 15.0


def program(name):
    return os.environ.get(name) or DEFAULTS[name]


def missing(names=tuple(DEFAULTS)):
    """The tools and programs of `names` that are not there, as text; empty when all are."""
    gone = [tool for tool in ("wine", "wineboot", "wineserver", "Xvfb") if not shutil.which(tool)]
    gone += [f"{name} ({program(name)})" for name in names if not os.path.exists(program(name))]
    return ", ".join(gone)


def dos_path(path):
    """A Linux path as Wine's programs name it: the prefix maps drive Z: to /."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Image:
    """An RGB picture: `rows[y]` holds the bytes of one row, three per pixel."""

    def __init__(self, width, height, rows):
        self.width = width
        self.height = height
        self.rows = rows

    def pixel(self, x, y):
        row = self.rows[y]
        return tuple(row[3 * x:3 * x + 3])

    def pixels(self, rect, step=2):
        """Every `step`th pixel of every `step`th row inside `rect` (x, y, w, h), clipped to the
        picture."""
        x, y, w, h = rect
        left, top = max(x, 0), max(y, 0)
        right, bottom = min(x + w, self.width), min(y + h, self.height)
        for row in range(top, bottom, step):
            data = self.rows[row]
            for col in range(left, right, step):
                yield data[3 * col], data[3 * col + 1], data[3 * col + 2]

    def share(self, rect, predicate):
        """The share of the sampled pixels in `rect` for which `predicate(rgb)` holds."""
        sampled = list(self.pixels(rect))
        return sum(1 for rgb in sampled if predicate(rgb)) / len(sampled) if sampled else 0.0

    def png(self):
        """The picture as a PNG file's bytes (8-bit RGB, no filter), made with zlib alone."""
        def chunk(kind, data):
            return (struct.pack(">I", len(data)) + kind + data
                    + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
        raw = b"".join(b"\0" + row for row in self.rows)
        header = struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0)
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))

    @classmethod
    def from_bmp(cls, data):
        """A 24-bit uncompressed BMP file, as winprobe writes it (rows bottom-up, BGR)."""
        if data[:2] != b"BM":
            fail("the screenshot is no BMP file")
        offset, = struct.unpack_from("<I", data, 10)
        width, height, _planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
        if bits != 24 or compression != 0:
            fail(f"the screenshot has {bits} bits per pixel, compression {compression}")
        stride = (width * 3 + 3) & ~3
        rows = []
        for y in range(abs(height)):
            stored = abs(height) - 1 - y if height > 0 else y
            row = bytearray(data[offset + stored * stride:offset + stored * stride + width * 3])
            row[0::3], row[2::3] = row[2::3], row[0::3]
            rows.append(bytes(row))
        return cls(width, abs(height), rows)


def colour(text):
    """(r, g, b) of "RRGGBB"."""
    return tuple(bytes.fromhex(text))


def rect(window):
    return (window["x"], window["y"], window["w"], window["h"])


def inset(area, margin):
    x, y, w, h = area
    return (x + margin, y + margin, w - 2 * margin, h - 2 * margin)


class WineProbe:
    """winprobe.exe, kept running: one command line in, one answer line out."""

    def __init__(self, session):
        self.session = session
        with open(os.path.join(session.folder, "winprobe.err"), "wb") as errors:
            self.process = session.processes.start(
                ["wine", program("WINPROBE")], session.env, stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, stderr=errors, cwd=session.folder)
        self.buffer = b""
        self.syncs = 0

    def ask(self, line, timeout=PROBE_TIMEOUT):
        """The probe's answer to `line`."""
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()
        end = time.monotonic() + timeout
        fd = self.process.stdout.fileno()
        while b"\n" not in self.buffer:
            remaining = end - time.monotonic()
            if remaining <= 0 or not select.select([fd], [], [], remaining)[0]:
                fail(f"winprobe did not answer {line!r} within {timeout:g} s")
            chunk = os.read(fd, 1 << 16)
            if not chunk:
                fail(f"winprobe ended (status {self.process.poll()}) on {line!r}")
            self.buffer += chunk
        answer, self.buffer = self.buffer.split(b"\n", 1)
        return answer.decode(errors="replace").rstrip("\r")

    def command(self, line):
        answer = self.ask(line)
        if answer != "ok":
            fail(f"winprobe {line!r}: {answer}")

    def data(self, line):
        answer = self.ask(line)
        if not answer.startswith("{"):
            fail(f"winprobe {line!r}: {answer}")
        return json.loads(answer)

    def listing(self):
        """{"foreground": hwnd, "windows": [every top-level window, front to back]}."""
        return self.data("list")

    def windows(self):
        """The shown top-level windows (visible and not minimised), front to back."""
        return [w for w in self.listing()["windows"] if w["visible"] and not w["iconic"]]

    def foreground(self):
        return self.listing()["foreground"]

    def pixel(self, x, y):
        return colour(self.data(f"pixel {x} {y}")["pixel"])

    def screenshot(self):
        path = os.path.join(self.session.folder, "screen.bmp")
        self.command(f"screenshot {dos_path(path)}")
        with open(path, "rb") as picture:
            return Image.from_bmp(picture.read())

    def move(self, hwnd, area):
        self.command("move {} {} {} {} {}".format(hwnd, *area))

    def click(self, x, y):
        self.command(f"click {x} {y}")

    def type(self, text):
        self.command(f"type {text}")

    def key(self, vk):
        self.command(f"key {vk}")

    def sync(self, app):
        """Returns once `app` has handled, and logged, every key and click queued for it
        before this call (blockme's sync message)."""
        self.syncs += 1
        number = self.syncs
        self.command(f"sync {app.hwnd} {number}")
        app.wait_line(lambda line: line == f"sync {number}", f"sync {number}")


class App:
    """A stand-in application (blockme.exe or otherapp.exe) with its log lines collected."""

    def __init__(self, session, exe, title, area):
        self.title = title
        self.exe_name = os.path.basename(exe).lower()
        self.lines = []
        self.lock = threading.Condition()
        argv = ["wine", exe, title] + ([str(v) for v in area] if area else [])
        with open(os.path.join(session.folder, f"{self.exe_name}.err"), "ab") as errors:
            self.process = session.processes.start(argv, session.env, stdout=subprocess.PIPE,
                                                   stderr=errors, cwd=session.folder)
        threading.Thread(target=self._read, daemon=True).start()
        ready = self.wait_line(lambda line: line.startswith("ready "), f"{title} ready")
        self.hwnd = int(ready.split()[1])

    def _read(self):
        for line in self.process.stdout:
            with self.lock:
                self.lines.append(line.decode(errors="replace").strip())
                self.lock.notify_all()

    def wait_line(self, predicate, what, timeout=xharness.DEADLINE):
        end = time.monotonic() + timeout
        with self.lock:
            while True:
                found = next((line for line in self.lines if predicate(line)), None)
                if found is not None:
                    return found
                if self.process.poll() is not None:
                    fail(f"{self.title} ended ({self.process.returncode}) waiting for {what}")
                remaining = end - time.monotonic()
                if remaining <= 0:
                    fail(f"timed out waiting for {what} from {self.title}: {self.lines}")
                self.lock.wait(min(remaining, 0.2))

    def mark(self):
        with self.lock:
            return len(self.lines)

    def since(self, mark, *kinds):
        """The log lines from `mark` on whose first word is one of `kinds`."""
        with self.lock:
            return [line for line in self.lines[mark:] if line.split()[0] in kinds]


class _WineLauncher:
    """Starts a program of `processes` through `wine`, for xsession.Helper, which starts the
    binary it is given by itself."""

    def __init__(self, processes, cwd):
        self.processes = processes
        self.cwd = cwd

    def start(self, argv, env, **kwargs):
        return self.processes.start(["wine", *argv], env, cwd=self.cwd, **kwargs)


class WineHelper(wlharness.UserHelper):
    """shield-helper.exe as a host runs it: pipes, one JSON object per line each way; its
    standard error (Wine's included) in a file."""

    def __init__(self, session):
        # UserHelper's host side (errors(), wait_covered()), run as ourselves: Wine needs no
        # user of its own, so no user, group or other start-up arguments go to Popen.
        super().__init__(_WineLauncher(session.processes, session.folder),
                         program("SHIELD_HELPER_EXE"), session.env,
                         types.SimpleNamespace(popen={}),
                         os.path.join(session.folder, f"helper-{time.monotonic_ns()}.err"))

    def kill(self):
        """Ends the helper at once. `wine program.exe` runs the program in the process it
        started, so this is the Windows process itself, and wineserver destroys its windows."""
        os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait(timeout=10)


class WineSession:
    """Xvfb, a fresh Wine prefix with a persistent wineserver, and the probe."""

    def __init__(self):
        self.display = Display()
        self.processes = self.display.processes
        self.folder = tempfile.mkdtemp(prefix="shield-wine-")
        self.prefix = os.path.join(self.folder, "prefix")
        self.env = None
        self.probe = None
        self.prefix_seconds = None

    def start(self):
        self.display.start()
        self.env = dict(self.display.env, WINEPREFIX=self.prefix, **WINE_ENV)
        began = time.monotonic()
        os.mkdir(self.prefix)
        # One server for the whole session: each later start of a program then costs a
        # fraction of a second, where a server of its own would be started and set up each
        # time. wineserver goes into the background at once; its output must not hold a pipe.
        subprocess.run(["wineserver", "-p"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=30)
        with open(os.path.join(self.folder, "wineboot.log"), "wb") as log:
            # Wine's services outlive wineboot and keep whatever descriptors it had: a file,
            # never a pipe that would not close.
            subprocess.run(["wineboot", "-i"], env=self.env, stdout=log, stderr=log,
                           cwd=self.folder, check=True, timeout=120)
        self.prefix_seconds = time.monotonic() - began
        self.probe = WineProbe(self)
        self.probe.listing()

    def stop(self):
        self.processes.end_all()
        if self.env is not None:
            subprocess.run(["wineserver", "-k"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=30)
        self.display.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def start_app(self, exe, title, area=None):
        return App(self, exe, title, area)

    def end_app(self, app):
        self.processes.end(app.process)

    def start_helper(self):
        return WineHelper(self)

    def wait_no_windows(self, exe_names):
        """Waits until no window of the programs named is shown, so that the next test starts
        on an empty desktop."""
        names = {name.lower() for name in exe_names}
        wait_until(lambda: not [w for w in self.probe.windows() if w["exe"].lower() in names],
                   f"no windows of {sorted(names)}")
