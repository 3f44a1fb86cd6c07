"""Wayland compositors for end-to-end tests: headless sway with XWayland, and headless GNOME
Shell with the companion extension. Compositors refuse to run as root (sway) or need a user
session of their own (GNOME Shell), so when the tests run as root they start the compositor,
its clients and the helper as an unprivileged user made for the purpose; otherwise as the
user running the tests. Everything started here is ended by its pid."""

import os
import pwd
import shutil
import subprocess
import tempfile
import threading

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

    def copy_helper(self, folder):
        """The helper binary copied where the session user can run it: the build folder may be
        under a home the user cannot enter."""
        target = os.path.join(folder, "shield-helper")
        shutil.copy2(HELPER, target)
        os.chmod(target, 0o755)
        return target

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
        self.echo = False
        self.stderr_path = stderr_path
        with open(stderr_path, "wb") as stderr:
            self.process = processes.start([binary], env, stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, stderr=stderr, **user.popen)
        self.messages = []
        self.lock = threading.Condition()
        self.next_request = 1
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.ready = self.wait_for(lambda m: m.get("type") == "ready", "the helper's ready line")

    def errors(self):
        with open(self.stderr_path, errors="replace") as stderr:
            return stderr.read()
