"""Headless KWin 6 sessions for the KDE tests, on top of debian13.Session("kwin"): what KWin's
own scripting says of its windows, and clicks and key presses through its fake-input protocol.

    with KwinSession() as kwin:
        kwin.session          # the debian13.Session (env, user, start, call, folder, ...)
        kwin.helper_env       # the session's environment as a Plasma session has it
        kwin.stacking()       # every managed window, back to front, as KWin's scripting sees it
        kwin.script(body)     # runs JavaScript in KWin; the value `body` returns, from JSON
        kwin.click(x, y); kwin.key()     # through kwininput, started with the session

Runs inside the Debian 13 root (scripts/debian13-root) as root, like debian13.py. KWININPUT
names the input program (tests/e2e/kwininput.c, built with the tests)."""

import itertools
import json
import os
import subprocess
import uuid

import debian13
from wlharness import fail, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
# What a window record holds, read in KWin.
WINDOW_JS = ("w => ({caption: String(w.caption), appId: String(w.desktopFileName || "
             "w.resourceClass || ''), pid: w.pid, x: w.frameGeometry.x, y: w.frameGeometry.y, "
             "width: w.frameGeometry.width, height: w.frameGeometry.height, "
             "minimized: w.minimized, layer: w.layer, keepAbove: w.keepAbove, "
             "active: workspace.activeWindow === w, skipTaskbar: w.skipTaskbar, "
             "desktops: w.desktops.map(d => String(d.id)), onAll: w.onAllDesktops})")
VEIL_APP_ID = "org.shieldhelper.veil"


class KwinSession:
    """KWin on a virtual output with its buses, and the probes the tests read it with."""

    def __init__(self, **kwargs):
        self.session = debian13.Session("kwin", **kwargs)
        # The fake-input protocol is KWin's to restrict; a test session lets kwininput use it.
        self.session.env["KWIN_WAYLAND_NO_PERMISSION_CHECKS"] = "1"
        self.helper_env = dict(self.session.env, XDG_CURRENT_DESKTOP="KDE",
                               KDE_SESSION_VERSION="6")
        self.input = None
        self.counter = itertools.count(1)

    def __enter__(self):
        self.session.__enter__()
        try:
            self.start_input()
        except BaseException:
            self.session.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        self.session.__exit__(*exc)

    def script(self, body, timeout=10):
        """Runs `body` (a JavaScript function body that returns a JSON-able value) as a KWin
        script and returns the value. The value comes back through KWin's log."""
        token = f"kwinprobe-{uuid.uuid4().hex}"
        name = f"probe{next(self.counter)}"
        path = os.path.join(self.session.folder, name + ".js")
        with open(path, "w") as out:
            out.write(f'print("{token} " + JSON.stringify((function () {{ {body} }})()));\n')
        self.session.user.own(path)
        self.session.call("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting.loadScript",
                          path, name)
        self.session.call("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting.start")

        def answer():
            # KWin may be halfway through writing the line when the log is read: only a line
            # that has its newline, and whose value parses, is the whole answer.
            for line in self.session.log_tail(1 << 20).splitlines(keepends=True):
                if token in line and line.endswith("\n"):
                    try:
                        return (json.loads(line.split(token, 1)[1]),)
                    except json.JSONDecodeError:
                        return None
            return None
        (value,) = wait_until(answer, f"the answer of KWin script {name}", timeout=timeout)
        self.session.call("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting.unloadScript",
                          name)
        return value

    def stacking(self):
        """Every window KWin manages, back to front."""
        return self.script(f"return workspace.stackingOrder.map({WINDOW_JS});")

    def on_window(self, caption, code):
        """Runs `code` with `w` the window whose caption is `caption`; returns its value."""
        return self.script(f"const w = workspace.stackingOrder.find(w => w.caption == "
                           f"{json.dumps(caption)}); if (!w) return null; {code}")

    def veil_over(self, caption):
        """The one veil, once it lies directly above the window `caption` at its frame."""
        def check():
            windows = self.stacking()
            veils = [w for w in windows if w["appId"] == VEIL_APP_ID]
            index = next((i for i, w in enumerate(windows) if w["caption"] == caption), None)
            if index is None or len(veils) != 1 or index + 1 >= len(windows):
                return None
            veil = windows[index + 1]
            frame = ("x", "y", "width", "height")
            if veil["appId"] != VEIL_APP_ID or any(veil[k] != windows[index][k] for k in frame):
                return None
            return veil
        return wait_until(check, f"a veil directly above {caption!r} at its frame")

    def veils(self):
        return [w for w in self.stacking() if w["appId"] == VEIL_APP_ID]

    def start_input(self):
        """Starts the input program, which gives KWin's seat a pointer and a keyboard; before
        the clients that are to hear them, so that they bind both at their start."""
        program = os.environ.get("KWININPUT") or os.path.join(
            HERE, "..", "..", "build-release", "tests", "e2e", "kwininput")
        program = self.session.user.copy_program(program, self.session.folder)
        self.input = self.session.start([program], "kwininput.log", stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=None)
        self._answer("ready")

    def _answer(self, expected):
        line = self.input.stdout.readline().decode().strip()
        if line != expected:
            fail(f"kwininput said {line!r}, not {expected!r}: {self.session.log_tail()}")

    def _send(self, command):
        self.input.stdin.write((command + "\n").encode())
        self.input.stdin.flush()
        self._answer("ok")

    def click(self, x, y):
        self._send(f"click {x} {y}")

    def key(self):
        self._send("key")


def unavailable():
    """None, or why the KDE tests cannot run here."""
    return debian13.unavailable("kwin", clients=("foot", "weston-terminal"))
