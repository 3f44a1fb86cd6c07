"""Checks that the Debian 13 root serves the Wayland tests: headless GNOME Shell 48 and KWin 6
come up with private buses as an unprivileged user, a GTK 4 window, a foot window and a
weston-terminal window open under each, an extension can be enabled on the running shell, and
the helper built on Debian 12 runs there. Prints each compositor's start time and memory.

    scripts/debian13-root run -- python3 tests/e2e/debian13_smoke.py -v

Skipped, with the reason, outside the root. SHIELD_HELPER names the helper (default: the
repository's build-release/shield-helper)."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import debian13
from wlharness import wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
HELPER = os.environ.get("SHIELD_HELPER") or os.path.join(HERE, "..", "..", "build-release",
                                                         "shield-helper")
CLIENTS = {
    # program: the application id its window reports
    "gtk4-demo": "org.gtk.Demo4",
    "foot": "foot",
    "weston-terminal": "org.freedesktop.weston.wayland-terminal",
}
PLAIN_UUID = "debian13-plain@shieldhelper.org"


def report(line):
    print(f"\n[debian13] {line}", flush=True)


class CompositorChecks:
    """The checks both compositors share; `kind` and `session_args` come from the subclass."""

    kind = None
    session_args = {}

    @classmethod
    def setUpClass(cls):
        reason = debian13.unavailable(cls.kind, CLIENTS)
        if reason:
            raise unittest.SkipTest(f"{cls.kind} skipped: {reason}")
        cls.session = debian13.Session(cls.kind, **cls.session_args).__enter__()
        report(f"{cls.kind} ready in {cls.session.started_in:.2f} s, "
               f"resident {cls.session.rss_kb() // 1024} MB")

    @classmethod
    def tearDownClass(cls):
        cls.session.stop()

    def test_clients_open_windows(self):
        began = time.monotonic()
        for program in CLIENTS:
            self.session.start([program], program + ".log")
        for program, app_id in CLIENTS.items():
            # A window is listed as soon as it exists, and has a size once it has drawn.
            wait_until(lambda: next((w for w in self.session.windows()
                                     if w["appId"] == app_id and w["width"] > 0), None),
                       f"the window of {program} ({app_id}) shown", timeout=30)
        report(f"{self.kind}: {', '.join(CLIENTS)} windows shown within "
               f"{time.monotonic() - began:.2f} s; compositor resident "
               f"{self.session.rss_kb() // 1024} MB")

    def test_helper_runs(self):
        self.assertTrue(os.path.exists(HELPER), f"no helper at {HELPER}")
        libraries = subprocess.run(["ldd", HELPER], capture_output=True, text=True).stdout
        self.assertNotIn("not found", libraries)
        folder = tempfile.mkdtemp(dir=self.session.folder)
        self.session.user.own(folder)
        helper = self.session.user.copy_program(HELPER, folder)
        out = subprocess.run([helper], input="", capture_output=True, text=True, timeout=30,
                             env=self.session.env, **self.session.user.popen)
        ready = json.loads(out.stdout.splitlines()[0])
        self.assertEqual(ready["type"], "ready", out.stderr)


class GnomeShellChecks(CompositorChecks, unittest.TestCase):
    kind = "gnome-shell"

    @classmethod
    def setUpClass(cls):
        # A plain extension installed but not enabled at start, for enable_extension().
        cls.plain = tempfile.mkdtemp()
        with open(os.path.join(cls.plain, "metadata.json"), "w") as out:
            json.dump({"uuid": PLAIN_UUID, "name": "Plain", "description": "Does nothing",
                       "shell-version": ["48"]}, out)
        with open(os.path.join(cls.plain, "extension.js"), "w") as out:
            out.write("// Does nothing: only its state is checked.\n"
                      "import {Extension} from "
                      "'resource:///org/gnome/shell/extensions/extension.js';\n"
                      "export default class Plain extends Extension {\n"
                      "    enable() {}\n    disable() {}\n}\n")
        cls.session_args = {"unsafe": True, "extensions": [cls.plain], "enabled": []}
        super().setUpClass()

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        shutil.rmtree(cls.plain, ignore_errors=True)

    def test_shell_version_and_unsafe_mode(self):
        version = self.session.call("org.gnome.Shell", "/org/gnome/Shell",
                                    "org.freedesktop.DBus.Properties.Get", "org.gnome.Shell",
                                    "ShellVersion")[0]
        self.assertTrue(version.startswith("48."), version)
        self.assertEqual(self.session.eval("Main.overview.visible"), "false")
        self.assertEqual(self.session.extension_state(debian13.UNSAFE_UUID), "ACTIVE")

    def test_enable_an_extension_while_running(self):
        # Installed before the start but not enabled: gnome-extensions switches it at once.
        # GNOME Shell 48 says INITIALIZED of one that was never enabled.
        self.assertIn(self.session.extension_state(PLAIN_UUID), ("INITIALIZED", "INACTIVE"))
        self.session.enable_extension(PLAIN_UUID)
        self.session.disable_extension(PLAIN_UUID)


class KWinChecks(CompositorChecks, unittest.TestCase):
    kind = "kwin"


if __name__ == "__main__":
    unittest.main()
