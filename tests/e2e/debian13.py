"""Headless GNOME Shell 48 and KWin 6 for end-to-end tests, inside the Debian 13 root that
scripts/debian13-root builds (run the test there: `scripts/debian13-root run -- python3 ...`).

    import debian13
    reason = debian13.unavailable("gnome-shell")      # None, or why the test must be skipped
    with debian13.Session("gnome-shell", extensions=[folder], unsafe=True) as session:
        session.env      # for clients: WAYLAND_DISPLAY, DBUS_SESSION_BUS_ADDRESS,
                         #   DBUS_SYSTEM_BUS_ADDRESS, XDG_RUNTIME_DIR, HOME, XDG_*_HOME, ...
        session.user     # wlharness.SessionUser: uid, gid, home, popen (kwargs for Popen)
        session.start(["foot"], "foot.log")         # a client, as the user, in session.env
        session.windows()   # [{"appId", "title", "x", "y", "width", "height"}], front to back
        session.call(dest, path, "iface.Method", *args)   # gdbus on the session bus, parsed
        session.started_in, session.rss_kb()        # seconds until ready; resident memory

`Session(kind)` takes "gnome-shell" or "kwin". It makes the session user (wlharness's: an
unprivileged user made for the tests when run as root), starts private system and session
buses and the compositor on a 1280x800 virtual monitor (`size=`, extra arguments in `args=`),
and returns once the compositor is ready: for GNOME Shell its startup complete, for KWin its
D-Bus interface answering. GNOME Shell runs without XWayland; KWin too unless
`args=["--xwayland"]`. Everything lives in a temporary folder (`session.folder`, logs included)
removed at the end, and every process started is ended with it.

GNOME only: `extensions=` are extension folders (named after their UUID in metadata.json or
not) installed into the session's data folder before the shell starts (it reads new folders at
start only) and enabled at start through a key-file settings backend: all of them, or those
whose UUIDs `enabled=` lists. `unsafe=True` adds a small extension of this module that turns on
unsafe mode (for org.gnome.Shell.Eval: `eval()`, and `windows()` on GNOME) and closes the
overview the shell opens at start. `enable_extension(uuid)` / `disable_extension(uuid)` switch
an installed one with `gnome-extensions` while the shell runs. KWin's `windows()` comes from its
own D-Bus interface (the window runner and getWindowInfo) and needs nothing extra.

`CompanionShell(source_dir)` is GNOME Shell 48 with the companion built for it and unsafe mode,
with the calls the GNOME tests make (wlharness.CompanionShell); wlharness.gnome_shell() hands it
to wayland_gnome.py inside the root.

Found on the way: a window is listed before its first frame with a size of 0, so wait for a
width; an extension never enabled is INITIALIZED on 48, not INACTIVE; gtk4-widget-factory
aborts without GStreamer's playbin, gtk4-demo (org.gtk.Demo4) does not; foot runs $SHELL, set
here because the test user's login shell is nologin. Run as root (the session user is made
then), inside the root."""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

import wlharness
from wlharness import (Processes, SessionUser, ensure_x11_socket_dir, fail, gdbus_call,
                       parse_gvariant, shell_eval, wait_until)

KINDS = ("gnome-shell", "kwin")
WAYLAND_DISPLAY = "wayland-shield"
UNSAFE_UUID = "debian13-unsafe@shieldhelper.org"
# GNOME Shell 45 and later load extensions as ES modules; this one only opens the shell for
# the test's own calls and shows windows as on a desktop rather than in the overview.
UNSAFE_EXTENSION = """\
// For end-to-end tests on a throw-away headless shell only: unsafe mode lets the test call
// org.gnome.Shell.Eval, and the overview the shell opens at start is closed.
import * as Main from 'resource:///org/gnome/shell/ui/main.js';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

export default class TestUnsafeMode extends Extension {
    enable() {
        global.context.unsafe_mode = true;
        if (Main.layoutManager._startingUp)
            this._id = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        else
            Main.overview.hide();
    }

    disable() {
        if (this._id)
            Main.layoutManager.disconnect(this._id);
        this._id = 0;
    }
}
"""
# The message GNOME Shell logs when its startup is complete (layoutManager's startup-complete),
# the first moment it shows windows as it will for the rest of the session.
GNOME_STARTED = "GNOME Shell started at"


def inside_root():
    """Whether this runs on Debian 13, as inside scripts/debian13-root."""
    try:
        with open("/etc/debian_version") as version:
            return version.read().startswith("13")
    except OSError:
        return False


def unavailable(kind, clients=()):
    """Why a session of `kind` with `clients` (program names) cannot run here, or None."""
    compositor = {"gnome-shell": "gnome-shell", "kwin": "kwin_wayland"}[kind]
    missing = [tool for tool in (compositor, "dbus-daemon", "gdbus", *clients)
               if not shutil.which(tool)]
    if missing:
        hint = "" if inside_root() else " (run it inside scripts/debian13-root)"
        return "missing " + ", ".join(missing) + hint
    return SessionUser().reason


def parse_reply(text):
    """gdbus's printed reply as Python data, variants (`<...>`) and typed empty values
    (`@a{sv} {}`) included."""
    pieces = re.split(r"""('(?:[^'\\]|\\.)*'|"(?:[^"\\]|\\.)*")""", text.strip())
    for i in range(0, len(pieces), 2):
        pieces[i] = re.sub(r"[<>]", "", re.sub(r"@[a-z{}()]+ ", "", pieces[i]))
    return parse_gvariant("".join(pieces))


class Session:
    """One compositor with its buses, run as the session user; see the module's docstring."""

    def __init__(self, kind, size="1280x800", args=(), extensions=(), enabled=None,
                 unsafe=False, timeout=60):
        if kind not in KINDS:
            raise ValueError(f"kind must be one of {KINDS}, not {kind!r}")
        if kind != "gnome-shell" and (extensions or unsafe):
            raise ValueError("extensions and unsafe mode are GNOME Shell's")
        self.kind = kind
        self.size = size
        self.args = list(args)
        self.timeout = timeout
        self.user = SessionUser()
        if self.user.reason:
            fail(self.user.reason)
        self.processes = Processes()
        self.groups = []
        self.compositor = None
        self.started_in = None
        self.folder = self.user.private_dir(f"shield-{kind}-")
        self.runtime = os.path.join(self.folder, "run")
        data = os.path.join(self.folder, "data")
        config = os.path.join(self.folder, "config")
        os.mkdir(self.runtime, 0o700)
        self.extensions = os.path.join(data, "gnome-shell", "extensions")
        uuids = [self._install_extension(source) for source in extensions]
        if enabled is not None:
            uuids = [uuid for uuid in uuids if uuid in enabled]
        if unsafe:
            folder = os.path.join(self.extensions, UNSAFE_UUID)
            os.makedirs(folder)
            with open(os.path.join(folder, "extension.js"), "w") as out:
                out.write(UNSAFE_EXTENSION)
            with open(os.path.join(folder, "metadata.json"), "w") as out:
                json.dump({"uuid": UNSAFE_UUID, "name": "Test unsafe mode",
                           "description": "Unsafe mode for end-to-end tests",
                           "shell-version": [self._shell_major()]}, out)
            uuids.append(UNSAFE_UUID)
        if kind == "gnome-shell":
            settings = os.path.join(config, "glib-2.0", "settings")
            os.makedirs(settings)
            with open(os.path.join(settings, "keyfile"), "w") as out:
                out.write("[org/gnome/shell]\n"
                          f"enabled-extensions={uuids!r}\n"
                          "disable-user-extensions=false\n")
        for path, _dirs, files in os.walk(self.folder):
            self.user.own(path)
            for name in files:
                self.user.own(os.path.join(path, name))
        self.env = dict(self.user.base_env(self.runtime), HOME=self.folder, XDG_DATA_HOME=data,
                        XDG_CONFIG_HOME=config, XDG_CACHE_HOME=os.path.join(self.folder, "cache"),
                        WAYLAND_DISPLAY=WAYLAND_DISPLAY,
                        DBUS_SESSION_BUS_ADDRESS=f"unix:path={self.runtime}/bus",
                        DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={self.runtime}/system_bus",
                        # No accessibility bus runs: GTK 4 and GTK 3 would warn and wait for one.
                        GTK_A11Y="none", NO_AT_BRIDGE="1",
                        # The test user's login shell is nologin; a terminal (foot) that ran it
                        # would close its window at once.
                        SHELL="/bin/sh")
        if kind == "gnome-shell":
            self.env["GSETTINGS_BACKEND"] = "keyfile"

    def _shell_major(self):
        out = subprocess.run(["gnome-shell", "--version"], capture_output=True, text=True)
        return out.stdout.split()[-1].split(".")[0]

    def _install_extension(self, source):
        with open(os.path.join(source, "metadata.json")) as metadata:
            uuid = json.load(metadata)["uuid"]
        shutil.copytree(source, os.path.join(self.extensions, uuid))
        return uuid

    def __enter__(self):
        try:
            self.start_session()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()

    def _start_group(self, argv, log_name, env=None):
        """A child in a process group of its own, so that what it starts (services the bus
        activates, for one) ends with it."""
        with open(os.path.join(self.folder, log_name), "wb") as log:
            child = self.processes.start(argv, env or self.env, stdout=log, stderr=log,
                                         cwd=self.folder, start_new_session=True,
                                         **self.user.popen)
        self.groups.append(child.pid)
        return child

    def start_session(self):
        ensure_x11_socket_dir()
        # GNOME Shell's login manager code dies without a system bus; a private one, run from the
        # session configuration, answers it (every system service is simply absent).
        for name in ("system_bus", "bus"):
            self._start_group(["dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf",
                               f"--address=unix:path={self.runtime}/{name}", "--nofork",
                               "--nopidfile"], name + ".log")
            path = os.path.join(self.runtime, name)
            wait_until(lambda: os.path.exists(path), f"the {name} D-Bus daemon")
        width, height = self.size.split("x")
        if self.kind == "gnome-shell":
            argv = ["gnome-shell", "--headless", "--virtual-monitor", self.size, "--wayland",
                    "--no-x11", "--wayland-display", WAYLAND_DISPLAY]
            ready = self._gnome_ready
        else:
            argv = ["kwin_wayland", "--virtual", "--width", width, "--height", height,
                    "--no-lockscreen", "--no-global-shortcuts", "--socket", WAYLAND_DISPLAY]
            ready = self._kwin_ready
        began = time.monotonic()
        self.compositor = self._start_group(argv + self.args, "compositor.log")
        wait_until(ready, f"{self.kind} ready", timeout=self.timeout)
        self.started_in = time.monotonic() - began
        # Services the bus starts are Wayland clients of this compositor and need its display.
        # On GNOME Shell 48 `gnome-extensions` goes through one, org.gnome.Shell.Extensions (a
        # GTK program); without the display it fails, and the command exits 2 or even 0 with
        # nothing done. These buses inherited the display with the rest of the environment; it
        # is set in the activation environment anyway, so that a change to how the buses start
        # cannot lose it.
        self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                  "org.freedesktop.DBus.UpdateActivationEnvironment",
                  repr({"WAYLAND_DISPLAY": WAYLAND_DISPLAY, "XDG_RUNTIME_DIR": self.runtime}))

    def _check_alive(self):
        if self.compositor.poll() is not None:
            fail(f"{self.kind} ended with {self.compositor.returncode}: {self.log_tail()}")

    def _gnome_ready(self):
        self._check_alive()
        if not os.path.exists(os.path.join(self.runtime, WAYLAND_DISPLAY)):
            return False
        if GNOME_STARTED not in self.log_tail(100000):
            return False
        return self.call("org.gnome.Shell", "/org/gnome/Shell",
                         "org.freedesktop.DBus.Properties.Get", "org.gnome.Shell",
                         "ShellVersion", quiet=True)

    def _kwin_ready(self):
        self._check_alive()
        if not os.path.exists(os.path.join(self.runtime, WAYLAND_DISPLAY)):
            return False
        return self.call("org.kde.KWin", "/KWin", "org.kde.KWin.currentDesktop", quiet=True)

    def log_tail(self, size=3000):
        with open(os.path.join(self.folder, "compositor.log"), errors="replace") as log:
            return log.read()[-size:]

    def rss_kb(self, pid=None):
        """Resident memory of the compositor (or of `pid`), in kB."""
        with open(f"/proc/{pid or self.compositor.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def start(self, argv, log_name, **kwargs):
        """A client as the session user, in the session's environment; ended with the
        session, or earlier with `self.processes.end(child)`."""
        log = open(os.path.join(self.folder, log_name), "wb")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        try:
            return self.processes.start(argv, kwargs.pop("env", self.env), cwd=self.folder,
                                        **kwargs, **self.user.popen)
        finally:
            log.close()

    def run(self, argv, timeout=30):
        """A short command as the session user; its CompletedProcess (text output)."""
        return subprocess.run(argv, env=self.env, capture_output=True, text=True,
                              timeout=timeout, cwd=self.folder, **self.user.popen)

    def call(self, dest, path, method, *args, quiet=False):
        """A method call on the session bus through gdbus, its reply parsed; None when it
        fails and `quiet`, else the test fails."""
        return gdbus_call(self.env, self.user.popen, dest, path, method, *args, quiet=quiet,
                          parse=parse_reply)

    def eval(self, script):
        """GNOME Shell only, with unsafe=True: runs JavaScript in the shell and returns its
        result as the shell prints it."""
        return shell_eval(self.call, script)

    def windows(self):
        """The compositor's windows: application id (GTK application id, else the Wayland app
        id or X class), title and frame. On GNOME every window actor, front to back; on KWin
        the windows its window runner offers (normal ones), in its order."""
        if self.kind == "gnome-shell":
            # Eval hands back its result as JSON.
            value = self.eval(
                "global.display.sort_windows_by_stacking(global.get_window_actors()"
                ".map(a => a.meta_window)).reverse().map(w => { const r = w.get_frame_rect();"
                " return {appId: w.get_gtk_application_id() || w.get_wm_class() || '',"
                " title: w.get_title() || '', x: r.x, y: r.y, width: r.width,"
                " height: r.height}; })")
            if value is None:
                fail("no answer from org.gnome.Shell.Eval: start the session with unsafe=True")
            return json.loads(value)
        # KWin's window runner lists every window; its window information gives the details.
        matches = self.call("org.kde.KWin", "/WindowsRunner", "org.kde.krunner1.Match", "")[0]
        windows = []
        for match_id in dict.fromkeys(match[0] for match in matches):
            info = self.call("org.kde.KWin", "/KWin", "org.kde.KWin.getWindowInfo",
                             match_id.split("_", 1)[1], quiet=True)
            if not info or not info[0]:
                continue
            info = info[0]
            windows.append({"appId": info.get("desktopFile") or info.get("resourceClass", ""),
                            "title": info.get("caption", ""),
                            "x": info.get("x"), "y": info.get("y"),
                            "width": info.get("width"), "height": info.get("height")})
        return windows

    def enable_extension(self, uuid):
        """GNOME Shell only: enables an extension installed before the start with
        `gnome-extensions` and waits until the shell reports it active (a folder copied in
        later is unknown to the shell until it starts again: "does not exist")."""
        out = self.run(["gnome-extensions", "enable", uuid])
        if out.returncode != 0:
            fail(f"gnome-extensions enable {uuid}: {out.stderr.strip()}")
        wait_until(lambda: self.extension_state(uuid) == "ACTIVE", f"{uuid} active")

    def disable_extension(self, uuid):
        out = self.run(["gnome-extensions", "disable", uuid])
        if out.returncode != 0:
            fail(f"gnome-extensions disable {uuid}: {out.stderr.strip()}")
        wait_until(lambda: self.extension_state(uuid) != "ACTIVE", f"{uuid} inactive")

    def extension_state(self, uuid):
        """What `gnome-extensions info` says of an extension's state: ACTIVE, INACTIVE, ..."""
        out = self.run(["gnome-extensions", "info", uuid])
        found = re.search(r"^\s*State:\s*(\S+)", out.stdout, re.MULTILINE)
        return found.group(1) if found else None

    def stop(self):
        for pgid in reversed(self.groups):
            try:
                os.killpg(pgid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        self.processes.end_all()
        for pgid in self.groups:
            try:
                os.killpg(pgid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        self.groups = []
        shutil.rmtree(self.folder, ignore_errors=True)


class CompanionShell(wlharness.CompanionShell):
    """GNOME Shell 48 with the companion built for it and unsafe mode, for the GNOME end-to-end
    tests (wlharness.gnome_shell() hands it out inside the root): the same calls as the GNOME
    Shell 43 that wlharness starts, over a Session."""

    def __init__(self, source_dir):
        build = tempfile.mkdtemp()
        try:
            companion = os.path.join(build, self.UUID)
            self.build_companion(source_dir, companion)
            # The session copies the extension into its own data folder.
            self.session = Session("gnome-shell", extensions=[companion], unsafe=True)
        finally:
            shutil.rmtree(build, ignore_errors=True)
        self.user = self.session.user
        self.env = self.session.env
        self.folder = self.session.folder
        self.processes = self.session.processes

    def start(self):
        self.session.__enter__()
        self.wait_ready(self.session._check_alive)

    def stop(self):
        self.session.stop()
