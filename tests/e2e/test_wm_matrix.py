"""The same checks under each window manager from Debian's packages, one after another, and
with none: one virtual display per window manager, a blocked test client, an unrelated one and
the real helper, driven through real input (XTEST) and judged by the X server's own state, its
pixels and what the clients logged.

Each check's outcome is written as one JSON line to WM_MATRIX_RESULTS (when set), from which
scripts/wm-matrix-table writes the table in docs/x11.md. A check that fails where it is listed
in KNOWN_SHORTFALLS is recorded as a known shortfall and does not fail the run; one that passes
there is recorded as passing, so the list can only shrink."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest
from typing import Callable, NamedTuple

from xharness import (DEADLINE, SHIELD_CLASS, Display, Helper, Probe, Processes, client_windows,
                      coverage_problem, missing_tools, rect, wait_until)

BLOCKED = "LogClient"
OTHER = "OtherApp"
OTHER_COLOR = (0x20, 0xa0, 0x20)
TARGETS = [{"id": "log", "name": "Log Client", "bundleId": "LOGCLIENT"},
           {"id": "gtk", "name": "Zenity", "bundleId": "zenity"}]
# A move, a restack or a window manager's action must be answered well before the periodic
# pass four seconds later would repair it anyway.
FOLLOW = 2.0
# Helper and X server CPU while nothing changes, as a fraction of one core.
IDLE_SECONDS = 3.0
IDLE_CPU = 0.02
# The longest "start" may take to cover every blocked window: the pass that follows it runs
# 40 ms later, and the window manager shows the shields a moment after that.
START_COVER = 1.0
# The longest a blocked window may be seen uncovered while a drag goes on: the pass that
# follows a change runs 40 ms after it, and reading the server's state takes a few
# hundredths of a second more.
DRAG_GAP = 0.3

# The checks, and CHECKS, the table that names them in the order they run, follow Session.

# Checks that fail under a window manager for a reason the helper cannot (yet) do anything
# about; each says why.
KNOWN_SHORTFALLS = {}


def i3_config(directory):
    path = os.path.join(directory, "i3-config")
    with open(path, "w") as config:
        # Floating windows keep the size and place their clients ask for, like the other
        # window managers here; Alt+drag moves a window, as in the packaged configuration; no
        # bar, no wizard.
        config.write("# i3 config file (v4)\n"
                     "font pango:DejaVu Sans 8\n"
                     "for_window [class=\".*\"] floating enable\n"
                     "focus_follows_mouse no\n"
                     "floating_modifier Mod1\n")
    return ["-c", path]


# The file a window manager's start-up script writes once it has finished.
READY = "wm-ready"


def herbstluftwm_config(directory):
    path = os.path.join(directory, "herbstluftwm-autostart")
    with open(path, "w") as config:
        # Tiling by default; here both tags are in floating mode, so that windows keep the
        # size and place their clients ask for, like the other window managers here, also
        # those it finds when it restarts (rules apply only to windows that come later).
        # Two tags for desktop switches; Alt+drag moves a window; new windows take the focus,
        # and have title bars and borders, as in the packaged configuration; monitors are
        # followed as RandR changes them.
        config.write("#!/bin/sh\n"
                     "hc() { herbstclient \"$@\"; }\n"
                     "hc emit_hook reload\n"
                     "hc keyunbind --all\n"
                     "hc mouseunbind --all\n"
                     "hc mousebind Mod1-Button1 move\n"
                     "hc mousebind Mod1-Button3 resize\n"
                     "hc rename default 1 || true\n"
                     "hc add 2\n"
                     "hc set focus_follows_mouse 0\n"
                     "hc unrule -F\n"
                     "hc rule focus=on\n"
                     "hc floating 1 on\n"
                     "hc floating 2 on\n"
                     "hc set auto_detect_monitors 1\n"
                     "hc attr theme.title_height 15\n"
                     "hc attr theme.title_when always\n"
                     "hc attr theme.inner_width 1\n"
                     "hc attr theme.border_width 3\n"
                     "hc attr theme.floating.border_width 4\n"
                     "hc attr theme.floating.outer_width 1\n"
                     "hc unlock\n"
                     f"touch {os.path.join(directory, READY)}\n")
    os.chmod(path, 0o755)
    return ["--autostart", path]


def xprop_values(env, window, prop):
    """The values of a window's property as xprop prints them, or None when it is not set;
    `window` "-root" reads the root window's."""
    where = ["-root"] if window == "-root" else ["-id", str(window)]
    out = subprocess.run(["xprop", *where, prop], env=env, capture_output=True,
                         text=True).stdout
    if "=" not in out:
        return None
    return [v.strip().strip('"') for v in out.split("=", 1)[1].split(",")]


def openbox_listing(env, shield):
    """Openbox's window switcher and client list menu leave out a window that skips the task
    bar, unless Openbox took it for a dialog (a transient without a type of its own) when it
    mapped; it says which in _OB_APP_TYPE. None when the shield is left out."""
    kind = (xprop_values(env, shield, "_OB_APP_TYPE") or ["?"])[0]
    states = xprop_values(env, shield, "_NET_WM_STATE") or []
    if kind == "dialog" or "_NET_WM_STATE_SKIP_TASKBAR" not in states:
        return f"listed: Openbox's type {kind}, states {states}"
    return None


def icewm_listing(env, shield):
    """IceWM's task bar leaves out a window whose state, as IceWM keeps it, skips the task bar;
    its window switcher one with the skip-focus bit of the older _WIN_HINTS."""
    states = xprop_values(env, shield, "_NET_WM_STATE") or []
    hints = xprop_values(env, shield, "_WIN_HINTS") or ["0"]
    if "_NET_WM_STATE_SKIP_TASKBAR" not in states:
        return f"in the task bar: states {states}"
    if int(hints[0], 0) & 1 == 0:
        return f"in the window switcher: _WIN_HINTS {hints[0]}"
    return None


def fluxbox_config(directory):
    # Debian's style sets a wallpaper through fbsetbg, which finds no program to set it with
    # here and says so in a dialog (xmessage) that takes the keyboard a moment after the
    # window manager starts, from whichever window had it.
    os.makedirs(os.path.join(directory, ".fluxbox"), exist_ok=True)
    with open(os.path.join(directory, ".fluxbox", "overlay"), "w") as overlay:
        overlay.write("background: none\n")
    return []


class WindowManager:
    def __init__(self, name, argv, env=None, dbus=True, config=None, restart=None,
                 switch_desktop=None, unsupported=None, move_modifier="alt",
                 start_script=False, listing=None):
        self.name = name
        self.argv = argv
        self.env = env or {}
        # A session bus of its own, as a desktop session has: some window managers do not
        # start without one (xfwm4), others leave features out.
        self.dbus = dbus
        self.config = config
        self.restart_argv = restart or argv
        # The command that shows desktop N (from 0), where EWMH requests do not.
        self.switch_desktop = switch_desktop
        # Checks of things the window manager does not have, with the reason.
        self.unsupported = unsupported or {}
        # The key held to drag a window from anywhere in it (xdotool's name).
        self.move_modifier = move_modifier
        # Whether its configuration is a script that runs after it has claimed the screen,
        # and that writes READY in the home directory at its end.
        self.start_script = start_script
        # What lists a shield in the window manager's task bar or window switcher, if it does.
        self.listing = listing

    def installed(self):
        return self.argv is None or shutil.which(self.argv[0]) is not None


# No window manager first, then roughly by how many people use each.
WINDOW_MANAGERS = [
    WindowManager("none", None),
    WindowManager("openbox", ["openbox", "--sm-disable"], listing=openbox_listing),
    WindowManager("xfwm4", ["xfwm4", "--compositor=off", "--sm-client-disable"],
                  restart=["xfwm4", "--compositor=off", "--sm-client-disable", "--replace"]),
    WindowManager("kwin", ["kwin_x11", "--replace"],
                  env={"KWIN_COMPOSE": "N", "QT_QPA_PLATFORM": "xcb"}),
    WindowManager("metacity", ["metacity", "--no-composite", "--replace"],
                  env={"GSETTINGS_BACKEND": "memory"}, move_modifier="super"),
    WindowManager("marco", ["marco", "--no-composite", "--replace"],
                  env={"GSETTINGS_BACKEND": "memory"}),
    WindowManager("i3", ["i3"], config=i3_config,
                  switch_desktop=lambda n: ["i3-msg", "-q", "workspace", str(n + 1)],
                  unsupported={"minimise": "i3 has no minimised windows",
                               "maximised": "i3 has no maximised windows"}),
    WindowManager("awesome", ["awesome"], move_modifier="super",
                  unsupported={"maximised": "awesome 4.3 maximises through EWMH requests but "
                                            "never restores the window's size that way"}),
    WindowManager("icewm", ["icewm"], restart=["icewm", "--replace"], listing=icewm_listing),
    WindowManager("fluxbox", ["fluxbox"], config=fluxbox_config),
    WindowManager("herbstluftwm", ["herbstluftwm"], config=herbstluftwm_config,
                  start_script=True,
                  unsupported={"maximised": "herbstluftwm has no maximised windows"}),
]

RESULTS = os.environ.get("WM_MATRIX_RESULTS")
# A comma-separated list of window-manager names runs only those.
ONLY = [name for name in os.environ.get("WM_MATRIX_ONLY", "").split(",") if name]


def record(line):
    if RESULTS:
        with open(RESULTS, "a") as results:
            results.write(json.dumps(line) + "\n")


def frame_fits(shield, toplevel, client):
    """A shield covers a window's frame when it holds the client and the decorations: it lies
    within the top-level (some window managers' frames add invisible resize margins around
    the visible decorations) and contains the client with the title bar above it."""
    sx, sy, sw, sh = rect(shield)
    tx, ty, tw, th = rect(toplevel)
    cx, cy, cw, ch = client["x"], client["y"], client["w"], client["h"]
    within = sx >= tx and sy >= ty and sx + sw <= tx + tw and sy + sh <= ty + th
    holds = sx <= cx and sy <= cy and sx + sw >= cx + cw and sy + sh >= cy + ch
    # The decorations the window manager shows above the client are covered too.
    titled = cy - sy >= min(cy - ty, 10) if cy > ty else True
    return within and holds and titled


class CheckFailed(AssertionError):
    pass


class Session:
    """One window manager on its own display, with the test clients and the helper."""

    def __init__(self, wm, home):
        self.wm = wm
        self.home = home
        self.display = Display()
        self.processes = Processes()
        self.wm_process = None
        self.logs = {}
        self.windows = {}
        # What the checks share, each one starting where the one before left off.
        self.no_wm = wm.argv is None
        self.helper = None
        # The blocked window, opened by begin(), and the unrelated one, opened by the
        # "unrelated-keys" check.
        self.blocked = None
        self.other = None

    # Processes

    def start(self):
        self.display.start()
        env = dict(self.display.env, HOME=self.home, XDG_CONFIG_HOME=self.home,
                   XDG_CACHE_HOME=self.home, XDG_RUNTIME_DIR=self.home)
        if self.wm.dbus and shutil.which("dbus-daemon"):
            bus = self.processes.start(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                        "--print-address=1"], env, stdout=subprocess.PIPE)
            env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        self.env = env
        self.display.env = env
        if self.wm.argv is not None:
            self.start_wm(self.wm.argv)

    def begin(self):
        """The display, the window manager, the blocked window and a helper blocking it: where
        the first check starts."""
        self.start()
        # The blocked window alone first: some window managers publish no stacking list for
        # a single window.
        self.blocked = self.client("blocked", BLOCKED, "320x240+100+100")
        self.helper = Helper(self.processes, self.env)
        reply = self.helper.request("start", targets=TARGETS)
        if not reply["watcherRunning"]:
            raise CheckFailed(f"the block did not start: {reply}")

    def start_wm(self, argv):
        extra = self.wm.config(self.home) if self.wm.config else []
        ready = os.path.join(self.home, READY)
        if os.path.exists(ready):
            os.unlink(ready)
        self.wm_process = self.processes.start(argv + extra, dict(self.env, **self.wm.env))
        wait_until(lambda: self.display.state()["wm"], f"{self.wm.name} to claim the screen",
                   timeout=20)
        if self.wm.start_script:
            wait_until(lambda: os.path.exists(ready), f"{self.wm.name}'s start-up script",
                       timeout=20)
        # A window mapped while the window manager is still starting may stay unmanaged.
        wait_until(self.probe_managed, f"{self.wm.name} to manage windows", timeout=20)

    def probe_managed(self):
        self.display.processes, saved = self.processes, self.display.processes
        try:
            return self.display._probe_managed(os.path.join(self.home, "probe.log"))
        finally:
            self.display.processes = saved

    def stop(self):
        self.processes.end_all()
        self.display.stop()

    def client(self, name, cls, geometry, color=None):
        log = os.path.join(self.home, f"{name}.log")
        open(log, "w").close()
        argv = [os.environ["LOGCLIENT"], "--log", log, "--class", cls, "--geometry", geometry]
        if color:
            argv += ["--color", color]
        self.processes.start(argv, self.env)
        self.logs[name] = log
        found = wait_until(lambda: self.new_client(cls), f"the {name} window")
        self.windows[name] = found
        return found

    def new_client(self, cls):
        known = set(self.windows.values())
        for _, _, client in client_windows(self.display.state(), cls):
            if client["id"] not in known:
                return client["id"]
        return None

    def keys_logged(self, name):
        with open(self.logs[name]) as log:
            return sum(1 for line in log if line.startswith("KeyPress"))

    def clicks_logged(self, name):
        with open(self.logs[name]) as log:
            return sum(1 for line in log if line.startswith("ButtonPress"))

    # X state

    def state(self):
        return self.display.state()

    def toplevel_of(self, window, state=None):
        state = state or self.state()
        for _, toplevel, client in client_windows(state):
            if client["id"] == window:
                return toplevel
        return None

    def shield_of(self, window, state=None):
        """The shield client directly above the window's top-level, if any."""
        state = state or self.state()
        viewable = [t for t in state["toplevels"] if t["viewable"]]
        for index, toplevel in enumerate(viewable):
            if any(c["id"] == window for c in toplevel["clients"]) and index + 1 < len(viewable):
                for client in viewable[index + 1]["clients"]:
                    if client["class"] == SHIELD_CLASS:
                        return client["id"]
        return None

    def focus_owner(self, state=None):
        """The client holding the keyboard focus, found from the focus window up."""
        state = state or self.state()
        focus = state["focus"]
        for toplevel in state["toplevels"]:
            for client in toplevel["clients"]:
                if focus in (client["id"], toplevel["id"]):
                    return client
        return None

    def covered(self):
        state = self.state()
        problem = coverage_problem(state, [BLOCKED], frame_fits)
        return state if problem is None else Probe(problem)

    def wait_covered(self, what, timeout=FOLLOW):
        wait_until(self.covered, what, timeout=timeout)
        self.counts_agree()

    def counts_agree(self):
        """The helper's counts match the windows up, once its pass after the change ran."""
        def agree():
            status = self.helper.status()
            eligible = len([1 for (_, t, _) in client_windows(self.state(), BLOCKED)
                            if t["w"] >= 80 and t["h"] >= 60])
            counts = (status["eligibleWindowCount"], status["coveredWindowCount"])
            return counts == (eligible, eligible) or Probe(
                f"status counts {counts[0]}/{counts[1]}, {eligible} windows up")
        wait_until(agree, "the helper's counts", timeout=FOLLOW)

    # Input

    def activate(self, window):
        if self.wm.argv is None:
            self.display.xdotool("windowraise", window)
            self.display.xdotool("windowfocus", "--sync", window)
        else:
            self.display.xdotool("windowactivate", window)

    def focus(self, window, what):
        """Activates the window until it has the keyboard: a window manager may drop an
        activation that comes while it is still placing a new window (Fluxbox)."""
        for attempt in range(3):
            self.activate(window)
            try:
                wait_until(lambda: (self.focus_owner() or {}).get("id") == window,
                           f"focus on {what}", timeout=3.0)
                return
            except AssertionError:
                if attempt == 2:
                    raise

    def type_keys(self):
        self.display.xdotool("key", "--delay", "20", "a", "b", "c")
        # Every key event the server delivered before this reply has been handled.
        self.helper.status()

    def attempts(self):
        return self.helper.count("accessAttempt")

    def wait_shield_focused(self, window, what):
        def focused():
            state = self.state()
            owner = self.focus_owner(state)
            shield = self.shield_of(window, state)
            if owner is not None and shield is not None and owner["id"] == shield:
                return True
            return Probe(f"focus on {owner and owner['class']}, shield {shield}")
        # Without a window manager nothing announces a change of focus: the periodic pass
        # four seconds later finds it.
        wait_until(focused, what, timeout=FOLLOW if self.wm.argv else 6.0)

    def composited(self):
        out = subprocess.run([os.environ["XPROBE"], "owner", "_NET_WM_CM_S0"], env=self.env,
                             capture_output=True, text=True)
        return out.returncode == 0 and out.stdout.strip() != "0"

    def show_desktop(self, number):
        if self.wm.switch_desktop:
            subprocess.run(self.wm.switch_desktop(number), env=self.env, timeout=10,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        else:
            self.wmctrl("-s", number)

    def wmctrl(self, *args):
        subprocess.run(["wmctrl", *map(str, args)], env=self.env, timeout=10,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# The checks. Each takes the Session once begin() has set it up, and starts where the check
# before it left off: the windows it opened and the helper it ended with stay the Session's
# attributes, on the same display under the same window manager. A check passes by returning
# nothing or a detail, does not apply when it returns "n/a", or returns a (result, detail)
# pair, such as ("n/a", why); it fails by raising an AssertionError (CheckFailed, or a
# wait_until that ran out) or a subprocess error.


def check_single(s):
    s.wait_covered("the lone blocked window's shield", timeout=DEADLINE)


def check_switchers(s):
    if s.wm.listing is None:
        return ("n/a", "no task bar or window switcher this test reads")
    state = s.state()
    shield = s.shield_of(s.blocked, state)
    toplevel = next((t for (_, t, c) in client_windows(state, SHIELD_CLASS)
                     if c["id"] == shield), None)
    if shield is None or toplevel is None:
        raise CheckFailed("no shield above the window")
    if toplevel["override"]:
        return ("pass", "the shield is a window of the helper's own, which no window "
                        "manager lists")
    listed = s.wm.listing(s.env, shield)
    if listed:
        raise CheckFailed(listed)


def check_drag(s):
    if s.no_wm:
        return "n/a"
    try:
        return drag_gestures(s)
    finally:
        # The checks after it start again with a new helper: one that met a drag makes its
        # shields its own windows from then on.
        fresh_helper(s)


def fresh_helper(s):
    """Replaces the helper with a new one, which has learnt nothing yet, blocking the same
    applications."""
    s.helper.request("stop")
    s.processes.end(s.helper.process)
    s.helper = Helper(s.processes, s.env)
    s.helper.request("start", targets=TARGETS)


def drag_gestures(s):
    """Drags the blocked window's shield with each gesture that moves a window under this
    window manager, each from a shield in place; what each did, joined."""
    a = s.blocked
    gestures = []
    state = s.state()
    toplevel = s.toplevel_of(a, state)
    client = next(c for (_, _, c) in client_windows(state, BLOCKED) if c["id"] == a)
    # Held down with the window manager's move modifier anywhere in the window.
    gestures.append(("modifier", client["x"] + client["w"] // 2,
                     client["y"] + client["h"] // 2, s.wm.move_modifier))
    if client["y"] - toplevel["y"] >= 8:
        # On the title bar, which the shield covers too.
        gestures.append(("title bar", client["x"] + 60, (toplevel["y"] + client["y"]) // 2,
                         None))
    details = []
    for label, x, y, modifier in gestures:
        # The window manager may still be settling the shield after the gesture before:
        # each one starts from a shield in place.
        state = wait_until(s.covered, f"the shield in place before the {label} drag",
                           timeout=FOLLOW)
        start = rect(s.toplevel_of(a, state))
        shield = s.shield_of(a, state)
        # A window manager's shield sits in a frame of the window manager's.
        kind = "managed" if s.toplevel_of(shield, state)["id"] != shield else "own"
        moved_off, longest = drag_gesture(s, x, y, modifier)
        moved = rect(s.toplevel_of(a)) != start
        details.append(f"{label} on a {kind} shield: window {'moved' if moved else 'stayed'}"
                       f", shield moved off it {moved_off} times, uncovered at most "
                       f"{longest * 1000:.0f} ms")
        if moved:
            # Back where the later checks expect it.
            s.display.xdotool("windowmove", a, *start[:2])
            s.wait_covered("the shield back over the window")
        # The first step of a drag may move a shield before the helper can know that the
        # window manager lets the user move it; never a second.
        if longest > DRAG_GAP or moved_off > 1:
            raise CheckFailed("; ".join(details))
    return "; ".join(details)


def drag_gesture(s, x, y, modifier):
    """Presses at x, y (with the modifier held), drags and lets go. Returns how often the
    shield was moved off its window by someone else, and the longest the blocked windows
    were seen uncovered: sampled all the while, and timed from the server's own reports
    of every change to the window and its shield, which sampling would miss when brief."""
    a = s.blocked
    state = s.state()
    frame = s.toplevel_of(a, state)
    client = next(c for (_, _, c) in client_windows(state, BLOCKED) if c["id"] == a)
    shield = s.shield_of(a, state)
    shield_frame = next(t for (_, t, c) in client_windows(state, SHIELD_CLASS)
                        if c["id"] == shield)
    watcher = subprocess.Popen([os.environ["XPROBE"], "watch"], env=s.env, text=True,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        if watcher.stdout.readline().strip() != "ready":
            raise CheckFailed("xprobe watch did not start")
        started = time.monotonic()
        samples = drag_sampled(s, x, y, modifier)
    finally:
        watcher.stdin.close()
        events = watcher.stdout.read().splitlines()
        watcher.stdout.close()
        watcher.wait(timeout=10)
    # Replayed: the window and its shield top-level, until the shield is replaced.
    rects = {frame["id"]: rect(frame), shield_frame["id"]: rect(shield_frame)}
    offset = (client["x"] - frame["x"], client["y"] - frame["y"], client["w"], client["h"])

    def fits():
        fx, fy, fw, fh = rects[frame["id"]]
        box = dict(zip("xywh", rects[shield_frame["id"]]))
        inner = {"x": fx + offset[0], "y": fy + offset[1], "w": offset[2], "h": offset[3]}
        return frame_fits(box, dict(zip("xywh", (fx, fy, fw, fh))), inner)
    moved_off, off_since, longest = 0, None, 0.0
    for line in events:
        fields = line.split()
        at, kind, window = float(fields[0]) / 1000, fields[1], int(fields[2])
        if window not in rects:
            continue
        if kind in ("unmap", "destroy") and window == shield_frame["id"]:
            # Replaced or hidden: the samples judge from here.
            if off_since is not None:
                longest = max(longest, at - off_since)
            off_since = None
            break
        if kind != "configure":
            continue
        was = fits()
        rects[window] = tuple(int(v) for v in fields[3:7])
        now = fits()
        if was and not now:
            off_since = at
            moved_off += window == shield_frame["id"]
        elif now and off_since is not None:
            longest = max(longest, at - off_since)
            off_since = None
    if off_since is not None:
        longest = max(longest, time.monotonic() - started - off_since)
    return moved_off, max(longest, samples)


def drag_sampled(s, x, y, modifier):
    """The drag itself, with the cover sampled all the while; the longest stretch the
    blocked windows were seen uncovered."""
    uncovered_since, longest, problem = None, 0.0, None

    def sample():
        nonlocal uncovered_since, longest, problem
        now = time.monotonic()
        found = coverage_problem(s.state(), [BLOCKED], frame_fits)
        if found is None and uncovered_since is not None:
            longest = max(longest, now - uncovered_since)
            uncovered_since = None
        elif found is not None and uncovered_since is None:
            uncovered_since, problem = now, found
    held = ["keydown", modifier] if modifier else []
    s.display.xdotool("mousemove", x, y, *held, "mousedown", "1")
    try:
        for _ in range(10):
            s.display.xdotool("mousemove_relative", "--", -8, 10)
            sample()
        # Held still for a moment before letting go.
        end = time.monotonic() + 0.3
        while time.monotonic() < end:
            sample()
    finally:
        s.display.xdotool("mouseup", "1", *(["keyup", modifier] if modifier else []))
    try:
        s.wait_covered("the shields over their windows after the drag")
    except AssertionError as error:
        raise CheckFailed(f"{error}; first seen uncovered: {problem}")
    sample()
    return longest


def check_unrelated_keys(s):
    # The user types in another application when the block starts.
    s.helper.request("stop")
    try:
        s.other = s.client("other", OTHER, "240x160+700+100", color="20a020")
        s.focus(s.other, "the other app")
    finally:
        s.helper.request("start", targets=TARGETS)
    s.wait_covered("the shield after the restart of the block", timeout=DEADLINE)
    before = s.attempts()

    def focus_kept():
        owner = s.focus_owner()
        return (owner or {}).get("id") == s.other or Probe(
            f"focus on {owner and owner['class']} ({s.state()['focus']:#x})")
    wait_until(focus_kept, "the focus to stay on the other app")
    s.type_keys()
    owner = s.focus_owner()
    if s.keys_logged("other") != 3:
        raise CheckFailed(f"{s.keys_logged('other')} of 3 keys reached the unrelated window, "
                          f"focus on {owner and owner['class']}")
    if s.attempts() != before:
        raise CheckFailed(f"{s.attempts() - before} attempts reported")


def check_activation(s):
    if s.no_wm:
        return "n/a"
    before = s.attempts()
    s.activate(s.blocked)
    wait_until(lambda: s.attempts() > before, "an access attempt for the activation",
               timeout=FOLLOW)


def keys_after(s, label):
    """Keys typed after the label's event go to the shield, and none to the blocked window."""
    if s.no_wm and label == "activation":
        s.display.xdotool("windowfocus", "--sync", s.blocked)
    s.wait_shield_focused(s.blocked, f"the shield to take the keys after {label}")
    s.type_keys()
    if s.keys_logged("blocked"):
        raise CheckFailed(f"{s.keys_logged('blocked')} keys reached the blocked window")


def check_keys_activation(s):
    keys_after(s, "activation")


def check_keys_start(s):
    s.helper.request("stop")
    try:
        s.focus(s.blocked, "the blocked window")
    finally:
        s.helper.request("start", targets=TARGETS)
    keys_after(s, "start")


def check_covered(s):
    s.client("blocked2", BLOCKED, "320x240+500+150")
    s.wait_covered("both shields")


def check_start_focused(s):
    # Two blocked windows, the newer one with the keyboard, when the block starts in a
    # helper that has learnt nothing yet about this window manager: what one learnt in
    # earlier checks (a fallback to shields of its own) would hide a fault of the first
    # block.
    second = s.windows["blocked2"]
    s.helper.request("stop")
    try:
        wait_until(lambda: not client_windows(s.state(), SHIELD_CLASS) or
                   Probe("shields still shown"), "the shields gone", timeout=FOLLOW)
        s.processes.end(s.helper.process)
        s.focus(second, "the newer blocked window")
    finally:
        s.helper = Helper(s.processes, s.env)
        started = time.monotonic()
        s.helper.request("start", targets=TARGETS)
    # Sampled for a while after: a window manager may restack a window over its shield a
    # moment after both were shown, and the shield has to be back within the bound too.
    last_uncovered, problem = 0.0, None
    while time.monotonic() - started < START_COVER + 1.0:
        found = coverage_problem(s.state(), [BLOCKED], frame_fits)
        if found is not None:
            last_uncovered, problem = time.monotonic() - started, found
    detail = f"covered for good {last_uncovered * 1000:.0f} ms after \"start\""
    if last_uncovered > START_COVER:
        raise CheckFailed(f"{detail}; {problem}")
    s.wait_covered("both windows covered after \"start\"")
    return detail


def kept(s, where):
    """The window kept above or below the others, as the window manager's menu does it."""
    if s.no_wm:
        return "n/a"
    a = s.blocked
    state = f"_NET_WM_STATE_{where.upper()}"
    # The window manager's own word decides whether the check applies: one that says it
    # supports the state must keep the window there, however slowly it gets to it.
    if state not in (xprop_values(s.env, "-root", "_NET_SUPPORTED") or []):
        return ("n/a", f"the window manager keeps no window {where} the others")
    s.wmctrl("-i", "-r", a, "-b", f"add,{where}")
    try:
        wait_until(lambda: state in (xprop_values(s.env, a, "_NET_WM_STATE") or [])
                   or Probe(f"no {where} state"), f"the window kept {where}",
                   timeout=DEADLINE)
        s.wait_covered(f"the shield over the window kept {where}")
        # Brought up as the user would and given the keyboard: the shield takes it.
        s.activate(a)
        s.wait_shield_focused(a, f"the shield to take the keys of the window kept {where}")
        s.type_keys()
        if s.keys_logged("blocked"):
            raise CheckFailed(f"{s.keys_logged('blocked')} keys reached the window kept "
                              f"{where}")
        s.wait_covered(f"the shield still over the window kept {where}")
    finally:
        s.wmctrl("-i", "-r", a, "-b", f"remove,{where}")
    s.wait_covered(f"the shield once the window is no longer kept {where}")


def check_above(s):
    return kept(s, "above")


def check_below(s):
    return kept(s, "below")


def check_unrelated_raised(s):
    other = s.other
    s.display.xdotool("windowmove", "--sync", other, 200, 150) if s.no_wm else \
        s.display.xdotool("windowmove", other, 200, 150)
    s.activate(other)
    s.wait_covered("the shields after the other window came up")
    # A point of the other window's client area that lies over the blocked window.
    client = next(c for (_, _, c) in client_windows(s.state(), OTHER) if c["id"] == other)
    x, y = client["x"] + 40, client["y"] + 40

    def own_pixel():
        # The window repaints what it uncovered once it handles the exposure.
        pixel = s.display.pixels(x, y, 1, 1)[0][0]
        return pixel == OTHER_COLOR or Probe(
            f"pixel at {x},{y} is {pixel}, the other window's is {OTHER_COLOR}")
    wait_until(own_pixel, "the other window's pixels", timeout=FOLLOW)
    before, clicks = s.attempts(), s.clicks_logged("other")
    s.display.xdotool("mousemove", x, y, "click", "1")
    s.helper.status()
    wait_until(lambda: s.clicks_logged("other") > clicks, "the click to reach the window")
    if s.attempts() != before:
        raise CheckFailed("a click on the unrelated window was reported as an attempt")
    s.display.xdotool("windowmove", other, 900, 500)


def check_move(s):
    a = s.blocked
    s.display.xdotool("windowmove", a, 140, 180)
    wait_until(lambda: s.covered() and s.toplevel_of(a)["y"] != 100 or
               Probe("not moved yet"), "the window to move", timeout=FOLLOW)
    s.wait_covered("the shield to follow the move")


def check_screen_edge(s):
    s.display.xdotool("windowmove", s.windows["blocked2"], 1100, 650)
    s.wait_covered("the shield of a window over the edge")


def check_wm_actions(s):
    if s.no_wm:
        return "n/a"
    s.wmctrl("-n", "2")
    for action in (["-b", "add,fullscreen"], ["-b", "add,maximized_vert,maximized_horz"],
                   ["-t", "1"]):
        shield = s.shield_of(s.blocked)
        if shield is None:
            raise CheckFailed("no shield above the window")
        s.wmctrl("-i", "-r", shield, *action)
        s.helper.status()
        s.wait_covered(f"the shield back in place after {' '.join(action)}")


def check_maximised(s):
    if s.no_wm:
        return "n/a"
    a, other = s.blocked, s.other
    screen_wide = lambda: (s.toplevel_of(a) or {"w": 0})["w"] >= 1000
    # The desktop request for the shield above may have taken the window along.
    s.wmctrl("-i", "-r", a, "-t", "0")
    s.activate(a)
    s.wait_covered("the window back on the first desktop")
    s.wmctrl("-i", "-r", a, "-b", "add,maximized_vert,maximized_horz")
    wait_until(lambda: screen_wide() or Probe("not maximised"), "the window maximised",
               timeout=FOLLOW)
    # A shield of the size of the screen: some window managers take it for a program
    # going full-screen, which would put it above every other window.
    s.wait_covered("the shield of the maximised window")
    s.activate(other)
    s.wait_covered("the shields with the unrelated window above")
    client = next(c for (_, _, c) in client_windows(s.state(), OTHER) if c["id"] == other)
    x, y = client["x"] + 40, client["y"] + 40
    wait_until(lambda: s.display.pixels(x, y, 1, 1)[0][0] == OTHER_COLOR or Probe(
        f"pixel at {x},{y} is {s.display.pixels(x, y, 1, 1)[0][0]}"),
        "the unrelated window's pixels", timeout=FOLLOW)
    s.wmctrl("-i", "-r", a, "-b", "remove,maximized_vert,maximized_horz")
    wait_until(lambda: not screen_wide() or Probe("still maximised"),
               "the window back to its size", timeout=FOLLOW)
    s.wait_covered("the shield back at the window's size")


def check_minimise(s):
    if s.no_wm:
        return "n/a"
    a = s.blocked
    s.display.xdotool("windowminimize", a)
    wait_until(lambda: s.toplevel_of(a) is None or Probe("still shown"),
               "the window to be minimised", timeout=FOLLOW)
    s.wait_covered("no shield for the minimised window")
    s.activate(a)
    wait_until(lambda: s.toplevel_of(a) is not None or Probe("not shown"),
               "the window to come back", timeout=FOLLOW)
    s.wait_covered("the shield back over the restored window")


def check_desktop_switch(s):
    if s.no_wm:
        return "n/a"
    a = s.blocked
    s.wmctrl("-n", "2")
    # Some window managers move a transient's parent with it: the desktop request for
    # the shield above may have taken the window along.
    s.wmctrl("-i", "-r", a, "-t", "0")
    s.activate(a)
    s.wait_covered("the window back on the first desktop")
    # The shield takes the keys of the activated window by asking the window manager to
    # activate it, as a pager would; a request still on its way when the desktop changes
    # would bring the first desktop back, which a person switching no sooner than this
    # never meets.
    s.wait_shield_focused(a, "the keyboard on the shield before the switch")
    s.show_desktop(1)
    wait_until(lambda: s.toplevel_of(a) is None or Probe("still shown"),
               "the other desktop", timeout=FOLLOW)
    s.wait_covered("no shields on the other desktop")
    s.show_desktop(0)
    wait_until(lambda: s.toplevel_of(a) is not None or Probe("not shown"),
               "the first desktop", timeout=FOLLOW)
    s.wait_covered("the shields back on the first desktop")


def check_wm_restart(s):
    if s.no_wm:
        return "n/a"
    s.processes.end(s.wm_process)
    s.start_wm(s.wm.restart_argv)
    s.wait_covered("the shields after the restart", timeout=6.0)


def check_monitors(s):
    def xrandr(*args):
        subprocess.run(["xrandr", *args], env=s.env, timeout=10, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    a = s.blocked
    xrandr("--setmonitor", "*small", "480/127x600/159+800+0", "none")
    xrandr("--setmonitor", "large", "800/211x800/211+0+0", "none")
    try:
        s.display.xdotool("windowmove", a, 860, 120)
        wait_until(lambda: (s.toplevel_of(a) or {"x": 0})["x"] >= 800 or Probe("not moved"),
                   "the window on the small monitor", timeout=FOLLOW)
        s.wait_covered("the shield on the small monitor")
        s.display.xdotool("windowmove", s.windows["blocked2"], 700, 500)
        s.wait_covered("the shield of a window across both monitors")
    finally:
        for name in ("small", "large"):
            subprocess.run(["xrandr", "--delmonitor", name], env=s.env, timeout=10,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    s.wait_covered("the shields back on one monitor")


def check_csd(s):
    if not shutil.which("zenity"):
        return "n/a"
    # GTK draws shadows, and publishes their extents, only under a compositor.
    compositor = None
    if not s.composited():
        compositor = s.processes.start(["xcompmgr"], s.env)
        wait_until(s.composited, "xcompmgr to take over the screen")
    gtk = s.processes.start(["zenity", "--info", "--text", "client-side decorations"],
                            dict(s.env, GTK_CSD="1", NO_AT_BRIDGE="1"))
    try:
        window = wait_until(lambda: s.new_client("Zenity"), "the GTK window", timeout=DEADLINE)
        s.windows["gtk"] = window

        def extents():
            out = subprocess.run(["xprop", "-id", str(window), "_GTK_FRAME_EXTENTS"],
                                 env=s.env, capture_output=True, text=True).stdout
            numbers = out.split("=")[-1].replace(",", " ").split()
            return [int(n) for n in numbers] if "=" in out and len(numbers) == 4 else \
                Probe(out.strip())
        try:
            left, right, top, bottom = wait_until(extents, "the GTK window's frame extents",
                                                  timeout=3.0)
        except AssertionError:
            # GTK draws shadows only where the window manager announces it takes them
            # into account.
            return ("n/a", "GTK draws no client-side shadows under this window manager")

        def covered_less_shadows():
            state = s.state()
            client = next((c for (_, _, c) in client_windows(state, "Zenity")
                           if c["id"] == window), None)
            shield = s.shield_of(window, state)
            if client is None or shield is None:
                return Probe("no shield above the GTK window")
            box = next(c for (_, _, c) in client_windows(state, SHIELD_CLASS)
                       if c["id"] == shield)
            want = (client["x"] + left, client["y"] + top, client["w"] - left - right,
                    client["h"] - top - bottom)
            got = (box["x"], box["y"], box["w"], box["h"])
            return got == want or Probe(f"shield at {got}, window less shadows at {want}")
        wait_until(covered_less_shadows, "the shield over the GTK window less its shadows",
                   timeout=DEADLINE)
    finally:
        s.processes.end(gtk)
        if compositor is not None:
            s.processes.end(compositor)


def check_idle(s):
    s.helper.status()
    time.sleep(0.5)
    helper = s.helper.process.pid
    server = s.display.server.pid
    from xsession import cpu_seconds_fine
    before = (cpu_seconds_fine(helper), cpu_seconds_fine(server))
    time.sleep(IDLE_SECONDS)
    after = (cpu_seconds_fine(helper), cpu_seconds_fine(server))
    used = [(b2 - b1) / IDLE_SECONDS for b1, b2 in zip(before, after)]
    detail = f"helper {used[0] * 100:.1f} %, X server {used[1] * 100:.1f} %"
    if max(used) > IDLE_CPU:
        raise CheckFailed(detail)
    return detail


class Check(NamedTuple):
    """A check of the matrix: its name (a column of the table in docs/x11.md), what it means,
    and the function that runs it."""
    name: str
    description: str
    run: Callable


CHECKS = [
    Check("single", "a single blocked window is covered", check_single),
    Check("switchers", "a shield is left out of the task bar and the window switcher",
          check_switchers),
    # While the shield is still of the kind the helper starts with.
    Check("drag", "a drag on a shield (the move modifier, the title bar) leaves it over its "
                  "window", check_drag),
    Check("unrelated-keys", "keys typed in an unrelated window reach it and report nothing",
          check_unrelated_keys),
    Check("activation", "activating a blocked window is reported", check_activation),
    Check("keys-activation", "keys after an activation never reach the blocked window",
          check_keys_activation),
    Check("keys-start", "keys after \"start\" never reach a blocked window that had the focus",
          check_keys_start),
    Check("covered", "shields over the frames, directly above their windows", check_covered),
    Check("start-focused", "\"start\" with two windows, the newest focused: both covered "
                           "within a second", check_start_focused),
    Check("above", "a window kept above the others (\"always on top\") stays covered and "
                   "gets no keys", check_above),
    Check("below", "a window kept below the others (\"always on bottom\") stays covered and "
                   "gets no keys", check_below),
    Check("unrelated-raised", "an unrelated window raised over a covered one keeps pixels "
                              "and clicks", check_unrelated_raised),
    Check("move", "a move is followed", check_move),
    Check("screen-edge", "a window over the screen's edge is covered at its frame",
          check_screen_edge),
    Check("wm-actions", "fullscreen, maximise and another desktop asked for a shield are "
                        "undone", check_wm_actions),
    Check("maximised", "a maximised window is covered, under an unrelated window raised over "
                       "it", check_maximised),
    Check("minimise", "minimise and restore", check_minimise),
    Check("desktop-switch", "switching desktops and back", check_desktop_switch),
    Check("wm-restart", "a window-manager restart", check_wm_restart),
    Check("monitors", "two RandR monitors of different sizes, the smaller one primary",
          check_monitors),
    Check("csd", "a client-side-decorated GTK window under a compositor: covered less its "
                 "shadows", check_csd),
    Check("idle", "no CPU while nothing changes", check_idle),
]


def run_check(s, check):
    """The check's outcome under the session's window manager, as (result, detail)."""
    if check.name in s.wm.unsupported:
        return ("n/a", s.wm.unsupported[check.name])
    try:
        detail = check.run(s)
        if isinstance(detail, tuple):
            return detail
        return ("n/a", detail) if detail == "n/a" else ("pass", detail or "")
    except (AssertionError, subprocess.SubprocessError) as error:
        return ("fail", str(error).splitlines()[0][:200])


class WindowManagerMatrix(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = missing_tools() + [t for t in ("wmctrl",) if not shutil.which(t)]
        if missing:
            raise unittest.SkipTest("missing: " + ", ".join(missing))
        if RESULTS:
            # This run's results only.
            open(RESULTS, "w").close()

    def test_each_window_manager(self):
        for wm in WINDOW_MANAGERS:
            if ONLY and wm.name not in ONLY:
                continue
            if not wm.installed():
                for check, _ in CHECKS:
                    record({"wm": wm.name, "check": check, "result": "not installed"})
                continue
            started = time.monotonic()
            with tempfile.TemporaryDirectory(prefix=f"wm-{wm.name}-") as home:
                session = Session(wm, home)
                try:
                    self.run_checks(session)
                finally:
                    session.stop()
            record({"wm": wm.name, "seconds": round(time.monotonic() - started, 1)})
            print(f"{wm.name}: {time.monotonic() - started:.1f} s", flush=True)

    def run_checks(self, session):
        """Every check in CHECKS under the session's window manager, in order, each one a
        subtest of its own: a failure names the window manager and the check, and the
        checks after it still run."""
        wm = session.wm.name
        try:
            session.begin()
            setup_failed = None
        except AssertionError as error:
            setup_failed = "setup: " + str(error).splitlines()[0][:200]
        for check in CHECKS:
            with self.subTest(wm=wm, check=check.name):
                if setup_failed:
                    result, detail = "fail", setup_failed
                else:
                    result, detail = run_check(session, check)
                known = KNOWN_SHORTFALLS.get((wm, check.name))
                if result == "fail" and known:
                    result, detail = "known shortfall", f"{known} ({detail})"
                record({"wm": wm, "check": check.name, "result": result, "detail": detail})
                print(f"{wm:10} {check.name:18} {result}: {detail}", flush=True)
                if result == "fail":
                    self.fail(f"{wm} {check.name}: {detail}")


if __name__ == "__main__":
    unittest.main()
