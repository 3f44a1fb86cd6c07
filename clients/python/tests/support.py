"""Shared pieces of the library's tests: the helper binary under test ($SHIELD_HELPER, as the
repository's process tests name it), headless runs, and waits on callbacks with a deadline."""

import os
import queue
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

import shield_helper  # noqa: E402

HELPER = os.environ.get("SHIELD_HELPER")
FAKE_HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_helper.py")
PERMISSION_REQUIRED = (
    "Accessibility permission is required to track and shield blocked app windows.")
INVALID_COMMAND = "Native helper received an invalid command."
TARGETS = [shield_helper.Target("ed", "Text Editor", "org.example.TextEditor")]
DEADLINE = 10.0
# The helper of this repository says the version the library has.
VERSION = shield_helper.__version__


def headless(**fields):
    """The status a headless helper reports: nothing shielded, no permission, for want of a
    display, which it says."""
    values = dict(type="status", watcher_running=False, shield_count=0, eligible_window_count=0,
                  covered_window_count=0, uncovered_window_count=0, permission="denied")
    values.update(fields)
    if values["permission"] == "denied":
        values.setdefault("reason", "no-display")
    return shield_helper.Status(**values)


def headless_ready():
    """The "ready" message of this repository's helper, headless."""
    return headless(type="ready", permission="unknown", version=VERSION)


class Events:
    """Every event of the given kinds, in the order they came, with waits on them."""

    def __init__(self, helper, *kinds):
        self.seen = []
        self._queue = queue.Queue()
        for kind in kinds:
            helper.on(kind, lambda value, kind=kind: self._queue.put((kind, value)))

    def next(self, kind, timeout=DEADLINE):
        """The next event of `kind`; earlier events of other kinds are kept in `seen`."""
        while True:
            try:
                got, value = self._queue.get(timeout=timeout)
            except queue.Empty:
                raise AssertionError(f"no {kind!r} event within {timeout:g} s; seen {self.seen}")
            self.seen.append((got, value))
            if got == kind:
                return value

    def drain(self):
        while True:
            try:
                self.seen.append(self._queue.get_nowait())
            except queue.Empty:
                return [value for value in self.seen]


class HelperCase(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        if not HELPER:
            self.skipTest("SHIELD_HELPER names no helper binary")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            if name in os.environ:
                self.addCleanup(os.environ.__setitem__, name, os.environ.pop(name))

    def helper(self, **options):
        options.setdefault("binary_path", HELPER)
        helper = shield_helper.ShieldHelper(**options)
        self.addCleanup(helper.close, 1.0)
        return helper

    def started(self, **options):
        helper = self.helper(**options)
        helper.start()
        return helper
