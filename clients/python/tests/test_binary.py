"""Finding and starting the binary: binary_path, then $SHIELD_HELPER_PATH, then the binary packed
in the package, then shield-helper on $PATH; a name the host gave that holds no file is an
error, never a reason to look further (also when a restart looks again); a file that cannot
be started fails with a hint at the fix; env and cwd reach the helper and its restarts."""

import errno
import os
import platform
import shutil
import signal
import sys
import tempfile
import unittest
from unittest import mock

from support import FAKE_HELPER, HELPER, TARGETS, Events, HelperCase, shield_helper

FAST = shield_helper.RestartPolicy(max_restarts=3, window=60.0, backoff=0.02)


class Error:
    """An expected BinaryNotFoundError, by a pattern its message must match."""

    def __init__(self, pattern):
        self.pattern = pattern


class Lookup(unittest.TestCase):
    """resolve_binary() among a scratch directory's files, which is also the host's working
    directory, so that every name below is relative and must be resolved from there."""

    def setUp(self):
        self.scratch = os.path.realpath(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.scratch)
        cwd = os.getcwd()
        os.chdir(self.scratch)
        self.addCleanup(os.chdir, cwd)
        for name in ("given", "environment", "packed"):
            open(name, "w").close()
        os.mkdir("path")
        environment = mock.patch.dict(os.environ, {"PATH": os.path.join(self.scratch, "path")})
        environment.start()
        self.addCleanup(environment.stop)
        os.environ.pop("SHIELD_HELPER_PATH", None)

    def test_the_places_are_looked_at_in_order_and_a_name_given_must_hold_a_file(self):
        scratch = self.scratch
        every_place = Error(
            r"shield-helper binary not found\. Looked at:\n"
            r"  binary_path: not set\n"
            r"  \$SHIELD_HELPER_PATH: not set\n"
            rf"  the binary packed for linux-\w+: {scratch}/no-packed-binary \(no such file\)\n"
            r"  \$PATH: no executable shield-helper in any of its directories$")
        cases = [
            # what, binary_path, $SHIELD_HELPER_PATH, packed binary, shield-helper on $PATH
            # ("exec", "plain" without execute permission, or None), and the file found
            ("binary_path comes first", "given", "environment", True, "exec", "given"),
            ("$SHIELD_HELPER_PATH comes next", None, "environment", True, "exec", "environment"),
            ("the packed binary comes before $PATH", None, None, True, "exec", "packed"),
            ("an empty $SHIELD_HELPER_PATH counts as unset", None, "", True, "exec", "packed"),
            ("$PATH comes last", None, None, False, "exec", "path/shield-helper"),
            ("a binary_path naming no file is an error, not a reason to look further",
             "missing", "environment", True, "exec",
             Error(rf"^shield-helper binary not found: binary_path names {scratch}/missing "
                   r"\(no such file\)\. When binary_path is set, no other place is looked at\.$")),
            ("a binary_path naming a directory is an error", "path", None, True, "exec",
             Error(rf"binary_path names {scratch}/path \(a directory, not the helper binary\)")),
            ("a $SHIELD_HELPER_PATH naming no file is an error, not a reason to look further",
             None, "missing", True, "exec",
             Error(rf"\$SHIELD_HELPER_PATH names {scratch}/missing \(no such file\)\. When "
                   r"\$SHIELD_HELPER_PATH is set, no other place")),
            ("a shield-helper on $PATH that cannot be executed is not taken", None, None, False,
             "plain", every_place),
            ("nothing anywhere: every place looked is named", None, None, False, None,
             every_place),
        ]
        for what, given, environment, packed, on_path, expected in cases:
            with self.subTest(what):
                on_path_file = os.path.join(scratch, "path", "shield-helper")
                if on_path:
                    with open(on_path_file, "w"):
                        pass
                    os.chmod(on_path_file, 0o755 if on_path == "exec" else 0o644)
                elif os.path.exists(on_path_file):
                    os.remove(on_path_file)
                values = {} if environment is None else {"SHIELD_HELPER_PATH": environment}
                packed_at = os.path.join(scratch, "packed" if packed else "no-packed-binary")
                with mock.patch.dict(os.environ, values), \
                        mock.patch.object(shield_helper, "_packed_binary", lambda: packed_at):
                    if isinstance(expected, Error):
                        with self.assertRaisesRegex(shield_helper.BinaryNotFoundError,
                                                    expected.pattern):
                            shield_helper.resolve_binary(given)
                    else:
                        self.assertEqual(shield_helper.resolve_binary(given),
                                         os.path.join(scratch, expected))

    def test_start_with_a_binary_path_naming_no_file_raises_and_stays_idle(self):
        helper = shield_helper.ShieldHelper("missing")
        with self.assertRaisesRegex(shield_helper.BinaryNotFoundError, "binary_path names"):
            helper.start()
        self.assertEqual(helper.state, "idle")


def on_platform(name, machine):
    """Makes the library see `sys.platform` `name` on `platform.machine()` `machine` (the file
    system and os.path stay this machine's)."""
    return mock.patch.multiple(sys, platform=name), mock.patch.object(platform, "machine",
                                                                      lambda: machine)


class OnWindows(unittest.TestCase):
    """What changes when the library runs on Windows, tried here with the platform forced:
    names completed with .exe, no execute permission, and no signals. (test_packaging checks
    that the library finds the binary a Windows wheel carries.)"""

    def setUp(self):
        self.scratch = os.path.realpath(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.scratch)
        os.environ.pop("SHIELD_HELPER_PATH", None)

    def file(self, relative, mode=0o755):
        path = os.path.join(self.scratch, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "w").close()
        os.chmod(path, mode)
        return path

    def test_a_name_without_an_extension_means_its_exe_on_windows_only(self):
        exe = self.file("exe/shield-helper.exe", 0o644)
        both = self.file("both/shield-helper")
        both_exe = self.file("both/shield-helper.exe")
        versioned = self.file("versioned/shield-helper-0.1.0")
        missing = Error(r"names .*/exe/shield-helper \(no such file\)")
        cases = [
            # what, the name given, what it is on Windows, and on Linux
            ("the name without .exe", "exe/shield-helper", exe, missing),
            ("the .exe itself, without execute permission", exe, exe, exe),
            ("a name beside the .exe of that name", both, both_exe, both),
            ("a name with dots in it", versioned, versioned, versioned),
            ("a directory", "exe", Error(r"\(a directory, not the helper binary\)"),
             Error(r"\(a directory, not the helper binary\)")),
        ]
        cwd = os.getcwd()
        os.chdir(self.scratch)
        self.addCleanup(os.chdir, cwd)
        for what, given, windows, linux in cases:
            for name, expected in (("win32", windows), ("linux", linux)):
                with self.subTest(what, platform=name):
                    first, second = on_platform(name, "AMD64")
                    with first, second:
                        if isinstance(expected, Error):
                            with self.assertRaisesRegex(shield_helper.BinaryNotFoundError,
                                                        expected.pattern):
                                shield_helper.resolve_binary(given)
                        else:
                            self.assertEqual(shield_helper.resolve_binary(given), expected)
                            with mock.patch.dict(os.environ, {"SHIELD_HELPER_PATH": given}):
                                self.assertEqual(shield_helper.resolve_binary(), expected)

    def test_a_denied_start_has_no_chmod_hint_on_windows(self):
        plain = self.file("plain/shield-helper.exe", 0o644)
        denied = OSError(errno.EACCES, "Access is denied")
        cases = [
            ("win32", r"\(Windows denied starting the file: this user may not execute it"),
            ("linux", r"\(the file is not executable: chmod \+x "),
        ]
        for name, hint in cases:
            with self.subTest(platform=name):
                first, second = on_platform(name, "AMD64")
                with first, second:
                    error = shield_helper._spawn_failure(plain, None, denied)
                self.assertRegex(str(error), hint)

    def test_an_exit_is_told_apart_from_a_kill_on_windows_by_who_killed_it(self):
        cases = [
            # sys.platform, returncode, killed by the library, (code, signal)
            ("linux", -9, True, (None, "SIGKILL")),
            ("linux", -9, False, (None, "SIGKILL")),
            ("linux", 1, True, (1, None)),
            ("linux", 0, False, (0, None)),
            # TerminateProcess leaves status 1; only the library's own kill is a kill.
            ("win32", 1, True, (None, "SIGKILL")),
            ("win32", 1, False, (1, None)),
            ("win32", 0, True, (0, None)),
            # An access violation (0xC0000005), as GetExitCodeProcess gives it.
            ("win32", 0xC0000005, False, (0xC0000005, None)),
        ]
        for name, returncode, killed, expected in cases:
            with self.subTest(platform=name, returncode=returncode, killed=killed):
                with mock.patch.multiple(sys, platform=name):
                    self.assertEqual(shield_helper._exit_status(returncode, killed), expected)


class Restarting(HelperCase):
    def test_a_restart_that_finds_the_named_file_gone_is_fatal_and_looks_no_further(self):
        # A helper on $PATH stands by: falling through to it would restart "successfully".
        scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, scratch)
        os.symlink(HELPER, os.path.join(scratch, "given-helper"))
        os.mkdir(os.path.join(scratch, "path"))
        os.symlink(FAKE_HELPER, os.path.join(scratch, "path", "shield-helper"))
        environment = mock.patch.dict(os.environ, {
            "SHIELD_HELPER_PATH": os.path.join(scratch, "given-helper"),
            "PATH": os.path.join(scratch, "path") + os.pathsep + os.environ.get("PATH", "")})
        environment.start()
        self.addCleanup(environment.stop)
        helper = shield_helper.ShieldHelper(restart=FAST)
        self.addCleanup(helper.close, 1.0)
        events = Events(helper, "exit", "restarted", "fatal")
        helper.start()
        helper.block(TARGETS)
        os.remove(os.path.join(scratch, "given-helper"))
        os.kill(helper.pid, signal.SIGKILL)
        fatal = events.next("fatal")
        self.assertIsInstance(fatal, shield_helper.BinaryNotFoundError)
        self.assertRegex(str(fatal), r"\$SHIELD_HELPER_PATH names .*/given-helper \(no such file\)")
        self.assertEqual([kind for kind, _ in events.seen], ["exit", "fatal"])
        self.assertEqual(helper.state, "failed")


class Spawning(HelperCase):
    def scratch(self):
        scratch = os.path.realpath(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, scratch)
        return scratch

    def file(self, directory, content, mode):
        path = os.path.join(directory, "shield-helper")
        with open(path, "wb") as out:
            out.write(content)
        os.chmod(path, mode)
        return path

    def test_a_binary_that_cannot_be_started_raises_with_the_reason_and_a_hint(self):
        scratch = self.scratch()
        cases = [
            ("a file without execute permission", b"#!/bin/sh\n", 0o644, {},
             r"could not be started: .*Permission denied.*\(the file is not executable: "
             r"chmod \+x {path}\)$"),
            ("a file that is no program", b"\x00\x01 not a program", 0o755, {},
             r"could not be started: .*Exec format error.*\(the file is not a program for this "
             r"machine"),
            ("a cwd that is no directory", None, None, {"cwd": os.path.join(scratch, "missing")},
             r"could not be started: .*\(cwd .*/missing is no directory\)$"),
        ]
        for what, content, mode, options, pattern in cases:
            with self.subTest(what):
                path = HELPER if content is None else self.file(scratch, content, mode)
                helper = shield_helper.ShieldHelper(path, restart=False, **options)
                with self.assertRaisesRegex(shield_helper.HelperExitedError,
                                            pattern.format(path=path)):
                    helper.start()
                self.assertEqual(helper.state, "idle")
                with self.assertRaisesRegex(shield_helper.HelperNotRunningError, "start"):
                    helper.stop()

    def test_options_the_constructor_refuses(self):
        cases = [
            ({"binary_path": ""}, ValueError, "binary_path must name"),
            ({"env": {"A": 1}}, TypeError, "env must map strings to strings"),
            ({"env": {1: "a"}}, TypeError, "env must map strings to strings"),
            ({"request_timeout": 0}, ValueError, "request_timeout must be positive"),
        ]
        for options, error, message in cases:
            with self.subTest(options=options):
                with self.assertRaisesRegex(error, message):
                    shield_helper.ShieldHelper(**options)

    def test_env_and_cwd_reach_the_helper_and_every_restart(self):
        scratch = self.scratch()
        host_cwd = os.path.realpath(os.getcwd())
        relative = os.path.relpath(HELPER)
        cases = [
            # what, options, the environment and working directory the helper has
            ("neither: the host's", {}, dict(os.environ), host_cwd),
            ("env replaces the environment", {"env": {"SHIELD_TEST_MARK": "given"}},
             {"SHIELD_TEST_MARK": "given"}, host_cwd),
            ("cwd, with a binary_path relative to the host's directory, not to cwd",
             {"cwd": scratch, "binary_path": relative}, dict(os.environ), scratch),
        ]
        for what, options, environment, cwd in cases:
            with self.subTest(what):
                helper = self.helper(restart=FAST, **options)
                events = Events(helper, "restarted")
                helper.start()
                helper.block(TARGETS)
                for run in ("first", "restarted"):
                    pid = helper.pid
                    with open(f"/proc/{pid}/environ", "rb") as raw:
                        entries = [e.decode() for e in raw.read().split(b"\0") if e]
                    self.assertEqual(dict(e.split("=", 1) for e in entries), environment, run)
                    self.assertEqual(os.readlink(f"/proc/{pid}/cwd"), cwd, run)
                    if run == "first":
                        os.kill(pid, signal.SIGKILL)
                        events.next("restarted")
                self.assertEqual(helper.close(), 0)


if __name__ == "__main__":
    unittest.main()
