"""Wayland compositors for end-to-end tests: headless sway with XWayland, and headless GNOME
Shell with the companion extension (this machine's GNOME Shell 43 started here, the Debian 13
root's GNOME Shell 48 through debian13.py; `gnome_shell()` picks the one installed). Compositors
refuse to run as root (sway) or need a user session of their own (GNOME Shell), so when the
tests run as root they start the compositor, its clients and the helper as an unprivileged user
made for the purpose; otherwise as the user running the tests. Everything started here is
ended by its pid."""

import os
import pwd
import shutil
import subprocess
import sys
import tempfile

import xharness
from xharness import HELPER, Processes, fail, wait_until  # noqa: F401

TEST_USER = "shield-wayland-test"


class SessionUser:
    """Who runs the session: the test user when we are root, ourselves otherwise. `reason` is
    set, and the rest unusable, when no such user can be had."""

    def __init__(self):
        self.reason = None
        if os.geteuid() != 0:
            entry = pwd.getpwuid(os.geteuid())
            self.popen = {}
        else:
            try:
                entry = pwd.getpwnam(TEST_USER)
            except KeyError:
                if not shutil.which("useradd"):
                    self.reason = "no unprivileged user to run the compositor and no useradd"
                    return
                subprocess.run(["useradd", "--system", "--create-home", "--user-group", "--shell",
                                "/usr/sbin/nologin", TEST_USER], check=True,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                entry = pwd.getpwnam(TEST_USER)
            self.popen = {"user": entry.pw_uid, "group": entry.pw_gid, "extra_groups": []}
        self.uid = entry.pw_uid
        self.gid = entry.pw_gid
        self.home = entry.pw_dir

    def own(self, path):
        if os.geteuid() == 0:
            os.chown(path, self.uid, self.gid)

    def private_dir(self, prefix):
        """A new folder of the session user's own, mode 0700 (a runtime dir must be)."""
        path = tempfile.mkdtemp(prefix=prefix)
        os.chmod(path, 0o700)
        self.own(path)
        return path

    def copy_program(self, program, folder):
        """A program of the build copied where the session user can run it: the build folder
        may be under a home the user cannot enter."""
        target = os.path.join(folder, os.path.basename(program))
        shutil.copy2(program, target)
        os.chmod(target, 0o755)
        return target

    def copy_helper(self, folder):
        return self.copy_program(HELPER, folder)

    def base_env(self, runtime_dir):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.home,
            "XDG_RUNTIME_DIR": runtime_dir,
            "LANG": "C.UTF-8",
        }
        return env


def ensure_x11_socket_dir():
    """XWayland's socket folder must exist, shared and sticky, before an unprivileged
    compositor starts it; only root may make it so."""
    path = "/tmp/.X11-unix"
    if os.geteuid() == 0 and not os.path.isdir(path):
        os.makedirs(path, exist_ok=True)
        os.chmod(path, 0o1777)


class UserHelper(xharness.Helper):
    """The helper started as the session user, with the host side of xsession.Helper; its
    standard error goes to a file, read with `errors()`."""

    def __init__(self, processes, binary, env, user, stderr_path):
        self.stderr_path = stderr_path
        with open(stderr_path, "wb") as stderr:
            # Past xharness.Helper, which always starts the helper of the build as ourselves.
            xharness.xsession.Helper.__init__(self, processes, binary, env, stderr=stderr, **user.popen)

    def errors(self):
        with open(self.stderr_path, errors="replace") as stderr:
            return stderr.read()

    def wait_covered(self, count):
        """Waits until the helper counts `count` windows covered, with as many shields."""
        def check():
            status = self.status()
            return status["coveredWindowCount"] == count and status["shieldCount"] == count
        wait_until(check, f"{count} covered window(s)")


def parse_gvariant(text):
    """The value gdbus prints, as Python data: tuples, lists, numbers, strings, booleans.
    Enough for the companion's replies, whose strings hold no type names."""
    import ast
    import re
    pieces = re.split(r"""('(?:[^'\\]|\\.)*'|"(?:[^"\\]|\\.)*")""", text.strip())
    for i in range(0, len(pieces), 2):
        # Outside strings only: drop type annotations, spell booleans the Python way.
        piece = re.sub(r"@[a-z()]+ ", "", pieces[i])
        piece = re.sub(r"\b(uint64|uint32|int64|int32|int16|uint16|byte|objectpath) ", "", piece)
        piece = re.sub(r"\btrue\b", "True", re.sub(r"\bfalse\b", "False", piece))
        # An actor not laid out yet has no position: NaN, read as None.
        pieces[i] = re.sub(r"-?\bnan\b", "None", piece)
    try:
        return ast.literal_eval("".join(pieces))
    except (SyntaxError, ValueError) as error:
        raise ValueError(f"cannot read {text!r}") from error


def gdbus_call(env, popen, name, path, method, *args, quiet=False, parse=parse_gvariant):
    """A method call on the session bus of `env` through gdbus, as the user `popen` names, its
    reply parsed; None when it fails and `quiet`, else the test fails."""
    out = subprocess.run(["gdbus", "call", "--session", "--dest", name, "--object-path", path,
                          "--method", method, *args], env=env, capture_output=True, text=True,
                         timeout=30, **popen)
    if out.returncode != 0:
        if quiet:
            return None
        fail(f"{method} failed: {out.stderr.strip()}")
    return parse(out.stdout)


def shell_eval(call, script):
    """Runs JavaScript in GNOME Shell (unsafe mode) through `call` (a gdbus_call bound to the
    session) and returns its result as the shell prints it; None when the call fails."""
    result = call("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell.Eval", script,
                  quiet=True)
    if result is None:
        return None
    ok, value = result
    if not ok:
        fail(f"the shell could not run {script!r}: {value}")
    return value


class CompanionShell:
    """What the GNOME tests ask of a running shell, whichever way it was started: the companion's
    calls and lists, Eval (unsafe mode), clients and screenshots. A subclass starts the shell and
    sets `user`, `env`, `folder` (the session's, writable by its user) and `processes`."""

    UUID = "shield-helper@shieldhelper.org"

    def build_companion(self, source_dir, outdir):
        """The companion in the format of the shell installed here."""
        subprocess.run([sys.executable, os.path.join(source_dir, "extensions", "gnome",
                                                     "build-extension"), outdir], check=True)

    def wait_ready(self, alive):
        """Waits until the companion answers and the shell shows windows as on a desktop
        (startup over, overview closed); `alive()` fails the test once the shell has ended."""
        def ready():
            alive()
            if self.companion("Ping", quiet=True) is None:
                return False
            return self.eval("Main.layoutManager._startingUp || Main.overview.visible") == "false"

        wait_until(ready, "gnome-shell with the companion answering", timeout=60)
        # The banner announcing unsafe mode would cover part of every screenshot.
        self.eval("Main.messageTray.getSources().forEach(source => source.destroy())")

    def gdbus(self, name, path, method, *args, quiet=False):
        return gdbus_call(self.env, self.user.popen, name, path, method, *args, quiet=quiet)

    def companion(self, method, *args, quiet=False):
        return self.gdbus("org.shieldhelper.Companion1", "/org/shieldhelper/Companion1",
                          "org.shieldhelper.Companion1." + method, *args, quiet=quiet)

    def eval(self, script):
        """Runs JavaScript in the shell (unsafe mode, from the test tools). The shell evaluates
        it inside its D-Bus module, where `Main` is in scope on every version."""
        return shell_eval(self.gdbus, script)

    def windows(self):
        keys = ("id", "pid", "appId", "x", "y", "width", "height", "type", "layer", "minimized",
                "onActiveWorkspace", "opacity")
        return [dict(zip(keys, w)) for w in self.companion("ListWindows")[0]]

    def collected_rss_kb(self):
        """The shell's resident memory in kB right after a full collection of its garbage."""
        pid = self.eval("(() => { imports.system.gc(); return new imports.gi.Gio.Credentials()"
                        ".get_unix_pid(); })()")
        with open(f"/proc/{int(pid)}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

    def registration_frees_calls(self):
        """Whether the shell's GLib has the closure registration that frees each call once
        answered (2.84 and later), which the companion then uses; with the older one every
        call stays in memory."""
        return self.eval("typeof imports.gi.Gio.DBusConnection.prototype"
                         ".register_object_with_closures2") == '"function"'

    def veils(self):
        keys = ("peer", "id", "window", "x", "y", "width", "height")
        return [dict(zip(keys, v)) for v in self.companion("ListVeils")[0]]

    def start_client(self, argv, log_name):
        with open(os.path.join(self.folder, log_name), "wb") as log:
            return self.processes.start(argv, self.env, stdout=subprocess.DEVNULL, stderr=log,
                                        **self.user.popen)

    def screenshot(self, path):
        """A PNG of the whole stage through the shell's own screenshot interface."""
        inside = os.path.join(self.folder, "screenshot.png")
        ok, _ = self.gdbus("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                           "org.gnome.Shell.Screenshot.Screenshot", "false", "false", inside)
        if not ok:
            fail("the shell took no screenshot")
        shutil.copyfile(inside, path)


def installed_shell_major():
    """The major version of the gnome-shell on PATH, or None."""
    try:
        out = subprocess.run(["gnome-shell", "--version"], capture_output=True, text=True,
                             timeout=30).stdout
        return int(out.split()[-1].split(".")[0])
    except (OSError, subprocess.TimeoutExpired, ValueError, IndexError):
        return None


def gnome_shell(user, source_dir):
    """A CompanionShell for the gnome-shell installed here, not yet started: GNOME Shell 43-44
    (Debian 12) starts as GnomeShell below, GNOME Shell 45 and later (the Debian 13 root) through
    debian13.Session, whose test extension is in the ES-module format those shells load."""
    major = installed_shell_major()
    if major is not None and major >= 45:
        import debian13  # it builds on this module, so it is imported only when needed
        return debian13.CompanionShell(source_dir)
    return GnomeShell(user, source_dir)


class GnomeShell(CompanionShell):
    """A headless GNOME Shell 43 or 44 on a Wayland display of its own, with private system and
    session buses, run as the session user, with extensions installed into a temporary data
    folder and enabled through a key-file settings backend."""

    TOOLS_UUID = "shield-test-tools@shieldhelper.org"

    def __init__(self, user, source_dir, size="1280x800"):
        self.user = user
        self.processes = Processes()
        self.folder = user.private_dir("shield-gnome-")
        self.runtime = os.path.join(self.folder, "run")
        data = os.path.join(self.folder, "data")
        config = os.path.join(self.folder, "config")
        extensions = os.path.join(data, "gnome-shell", "extensions")
        here = os.path.dirname(os.path.abspath(__file__))
        self.build_companion(source_dir, os.path.join(extensions, self.UUID))
        shutil.copytree(os.path.join(here, "gnome-test-tools"),
                        os.path.join(extensions, self.TOOLS_UUID))
        settings = os.path.join(config, "glib-2.0", "settings")
        os.makedirs(settings)
        with open(os.path.join(settings, "keyfile"), "w") as out:
            out.write("[org/gnome/shell]\n"
                      f"enabled-extensions=['{self.UUID}', '{self.TOOLS_UUID}']\n"
                      "disable-user-extensions=false\n")
        os.mkdir(self.runtime, 0o700)
        for path, _dirs, files in os.walk(self.folder):
            self.user.own(path)
            for name in files:
                self.user.own(os.path.join(path, name))
        self.env = dict(user.base_env(self.runtime), HOME=self.folder, XDG_DATA_HOME=data,
                        XDG_CONFIG_HOME=config, XDG_CACHE_HOME=os.path.join(self.folder, "cache"),
                        GSETTINGS_BACKEND="keyfile", WAYLAND_DISPLAY="wayland-shield",
                        NO_AT_BRIDGE="1",
                        DBUS_SESSION_BUS_ADDRESS=f"unix:path={self.runtime}/bus",
                        DBUS_SYSTEM_BUS_ADDRESS=f"unix:path={self.runtime}/system_bus")
        self.groups = []

    def _start_group(self, argv, env, log_name):
        """A child in a process group of its own, so that what it starts (services the bus
        activates, for one) ends with it."""
        log = open(os.path.join(self.folder, log_name), "wb")
        child = self.processes.start(argv, env, stdout=log, stderr=log, cwd=self.folder,
                                     start_new_session=True, **self.user.popen)
        log.close()
        self.groups.append(child.pid)
        return child

    def start(self):
        for name in ("system_bus", "bus"):
            self._start_group(["dbus-daemon", "--config-file=/usr/share/dbus-1/session.conf",
                               f"--address=unix:path={self.runtime}/{name}", "--nofork",
                               "--nopidfile"], self.env, name + ".log")
            path = os.path.join(self.runtime, name)
            wait_until(lambda: os.path.exists(path), f"the {name} D-Bus daemon")
        self.shell = self._start_group(
            ["gnome-shell", "--headless", "--virtual-monitor", "1280x800", "--wayland",
             "--no-x11", "--wayland-display", "wayland-shield"], self.env, "shell.log")

        def alive():
            if self.shell.poll() is not None:
                fail("gnome-shell ended: " + self.log_tail())

        self.wait_ready(alive)

    def log_tail(self):
        with open(os.path.join(self.folder, "shell.log"), errors="replace") as log:
            return log.read()[-2000:]

    def stop(self):
        import signal
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
        shutil.rmtree(self.folder, ignore_errors=True)
