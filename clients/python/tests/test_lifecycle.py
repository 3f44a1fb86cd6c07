"""The helper's life as the host sees it: the `state` attribute and its events, the last status
cleared when the helper ends, reset() after a fatal end or close(), update() without targets
keeping the block's targets (also in the replay after a restart), and the version check
against the helper's "ready" line."""

import json
import os
import shutil
import signal
import tempfile
import time
import unittest
import warnings

from support import (FAKE_HELPER, PERMISSION_REQUIRED, TARGETS, VERSION, Events, HelperCase,
                     shield_helper)

FAST = shield_helper.RestartPolicy(max_restarts=3, window=60.0, backoff=0.02)
ExitInfo = shield_helper.ExitInfo


def until(events, kind, value):
    """Takes events until one of `kind` with `value` has come."""
    while events.next(kind) != value:
        pass


def summary(seen):
    """The events as (kind, value), with the values that differ from run to run by kind only."""
    return [(kind, type(value).__name__ if kind in ("restarted", "fatal") else value)
            for kind, value in seen]


class States(HelperCase):
    def test_every_change_of_state_is_an_event_in_the_order_of_the_changes(self):
        def plain(helper, events):
            helper.start()
            self.assertEqual(helper.state, "running")
            helper.block(TARGETS)
            self.assertEqual(helper.close(), 0)

        def restarted(helper, events):
            helper.start()
            helper.block(TARGETS)
            os.kill(helper.pid, signal.SIGKILL)
            events.next("restarted")
            self.assertEqual(helper.state, "running")
            self.assertEqual(helper.close(), 0)

        def given_up(helper, events):
            helper.start()
            os.kill(helper.pid, signal.SIGKILL)
            events.next("fatal")
            self.assertEqual(helper.state, "failed")
            self.assertIsNone(helper.close())

        def failed_start(helper, events):
            with self.assertRaises(shield_helper.HelperExitedError):
                helper.start()
            self.assertEqual(helper.state, "idle")
            helper.close()

        exits_at_once = os.path.join(self.scratch(), "exits-at-once")
        with open(exits_at_once, "w") as script:
            script.write("#!/bin/sh\nexit 3\n")
        os.chmod(exits_at_once, 0o755)
        cases = [
            ("start, block and close", {}, plain, [
                ("state", "starting"), ("state", "running"), ("state", "closing"),
                ("exit", ExitInfo(0, None, False)), ("state", "closed")]),
            ("a restart after a kill", {"restart": FAST}, restarted, [
                ("state", "starting"), ("state", "running"),
                ("exit", ExitInfo(None, "SIGKILL", True)), ("state", "restarting"),
                ("state", "running"), ("restarted", "Status"),
                ("state", "closing"), ("exit", ExitInfo(0, None, False)), ("state", "closed")]),
            ("a kill with restarting off", {"restart": False}, given_up, [
                ("state", "starting"), ("state", "running"),
                ("exit", ExitInfo(None, "SIGKILL", False)), ("state", "failed"),
                ("fatal", "HelperExitedError"), ("state", "closed")]),
            ("a helper that ends before it is ready", {"binary_path": exits_at_once}, failed_start,
             [("state", "starting"), ("exit", ExitInfo(3, None, False)), ("state", "idle"),
              ("state", "closed")]),
        ]
        for what, options, run, expected in cases:
            with self.subTest(what):
                helper = self.helper(**options)
                self.assertEqual(helper.state, "idle")
                events = Events(helper, "state", "exit", "restarted", "fatal")
                run(helper, events)
                until(events, "state", "closed")
                self.assertEqual(summary(events.drain()), expected)
                self.assertEqual(helper.state, "closed")

    def scratch(self):
        scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, scratch)
        return scratch

    def test_the_last_status_is_cleared_when_the_helper_ends(self):
        # Its shields end with its process, so the coverage it last reported no longer holds.
        cases = [
            ("killed, its restart still to come", shield_helper.RestartPolicy(backoff=60.0),
             lambda helper: os.kill(helper.pid, signal.SIGKILL), ExitInfo(None, "SIGKILL", True)),
            ("killed, restarting off", False, lambda helper: os.kill(helper.pid, signal.SIGKILL),
             ExitInfo(None, "SIGKILL", False)),
            ("closed", True, lambda helper: helper.close(), ExitInfo(0, None, False)),
        ]
        for what, restart, end, exit_info in cases:
            with self.subTest(what):
                helper = self.started(restart=restart)
                events = Events(helper, "exit")
                reply = helper.block(TARGETS)
                self.assertEqual(reply.error, PERMISSION_REQUIRED)
                self.assertEqual(helper.last_status, reply)
                end(helper)
                self.assertEqual(events.next("exit"), exit_info)
                self.assertIsNone(helper.last_status)

    def test_after_a_restart_the_last_status_is_the_replayed_blocks_reply(self):
        helper = self.started(restart=FAST)
        events = Events(helper, "restarted")
        helper.block(TARGETS)
        os.kill(helper.pid, signal.SIGKILL)
        replayed = events.next("restarted")
        self.assertEqual(replayed.error, PERMISSION_REQUIRED)
        self.assertEqual(helper.last_status, replayed)


class Reset(HelperCase):
    def test_reset_makes_a_failed_or_closed_helper_startable_again(self):
        def crash_loop(helper, events):
            # Killed again on every return until supervision gives up: the restart history is
            # full, and only reset() may empty it.
            off = helper.on("restarted", lambda _: os.kill(helper.pid, signal.SIGKILL))
            os.kill(helper.pid, signal.SIGKILL)
            events.next("fatal")
            off()
            return "failed"

        def close(helper, events):
            helper.close()
            return "closed"

        for what, end in (("after fatal", crash_loop), ("after close()", close)):
            with self.subTest(what):
                helper = self.started(restart=FAST)
                events = Events(helper, "state", "restarted", "fatal")
                helper.block(TARGETS)
                helper.stop()
                state = end(helper, events)
                self.assertEqual(helper.state, state)
                refused = f"start\\(\\) cannot be called now: the helper is {state}"
                with self.assertRaisesRegex(shield_helper.ShieldHelperError, refused):
                    helper.start()
                helper.reset()
                until(events, "state", "idle")
                self.assertEqual((helper.state, helper.last_status), ("idle", None))
                first = helper.start()
                self.assertEqual(first.type, "ready")
                self.assertIsNone(helper.permission_status().error, "nothing was replayed")
                # Without a block, an exit counts against max_restarts: with the exits of the
                # run before still counted, this one would be given up at once.
                os.kill(helper.pid, signal.SIGKILL)
                self.assertEqual(events.next("restarted").type, "ready",
                                 "restarted: the history of the run before is gone")
                self.assertEqual(helper.close(), 0)

    def test_reset_is_refused_while_the_helper_runs_and_changes_nothing_when_idle(self):
        helper = self.helper()
        events = Events(helper, "state")
        helper.reset()
        helper.start()
        with self.assertRaisesRegex(shield_helper.ShieldHelperError,
                                    "reset\\(\\) cannot be called now: the helper is running"):
            helper.reset()
        self.assertEqual(helper.state, "running")
        helper.close()
        until(events, "state", "closed")
        self.assertEqual(summary(events.drain()), [("state", s) for s in
                                                    ("starting", "running", "closing", "closed")])


class FakeHelperCase(HelperCase):
    """Runs the fake helper, which logs every line it is sent."""

    def setUp(self):
        super().setUp()
        scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, scratch)
        self.log = os.path.join(scratch, "log")
        for name in ("FAKE_LOG", "FAKE_VERSION"):
            self.addCleanup(os.environ.pop, name, None)
        os.environ["FAKE_LOG"] = self.log

    def sent(self):
        """The lines the fake helpers were sent, without request ids."""
        if not os.path.exists(self.log):
            return []
        with open(self.log) as log:
            lines = [json.loads(line) for line in log]
        for line in lines:
            line.pop("requestId", None)
        return lines

    def fake(self, **options):
        return self.helper(binary_path=FAKE_HELPER, **options)


class UpdateKeepsTargets(FakeHelperCase):
    def test_update_without_targets_sends_the_blocks_targets_and_a_restart_replays_them(self):
        editor = {"id": "ed", "name": "Text Editor", "bundleId": "org.example.TextEditor"}
        terminal = {"id": "term", "name": "Terminal", "bundleId": "XTerm"}
        later, much_later = time.time() + 60, time.time() + 120
        cases = [
            ("a new end time", lambda h: (h.block(TARGETS, later), h.update(ends_at=much_later)),
             {"targets": [editor], "endsAt": much_later * 1000}),
            ("no end time", lambda h: (h.block(TARGETS, later), h.update()),
             {"targets": [editor]}),
            ("twice", lambda h: (h.block(TARGETS), h.update(ends_at=later),
                                 h.update(ends_at=much_later)),
             {"targets": [editor], "endsAt": much_later * 1000}),
            ("after the targets changed", lambda h: (
                h.block(TARGETS), h.update([shield_helper.Target("term", "Terminal", "XTerm")]),
                h.update(ends_at=later)),
             {"targets": [terminal], "endsAt": later * 1000}),
        ]
        for what, requests, block in cases:
            with self.subTest(what):
                open(self.log, "w").close()
                helper = self.fake(restart=FAST)
                events = Events(helper, "restarted")
                helper.start()
                requests(helper)
                self.assertEqual(self.sent()[-1], {"command": "update", **block})
                os.kill(helper.pid, signal.SIGKILL)
                events.next("restarted")
                self.assertEqual(self.sent()[-1], {"command": "start", **block}, "the replay")
                helper.close()

    def test_update_without_targets_needs_a_block(self):
        cases = [("before any block", lambda h: None),
                 ("after stop()", lambda h: (h.block(TARGETS), h.stop()))]
        for what, before in cases:
            with self.subTest(what):
                open(self.log, "w").close()
                helper = self.fake()
                helper.start()
                before(helper)
                sent = self.sent()
                with self.assertRaisesRegex(shield_helper.ShieldHelperError,
                                            '"update" without targets keeps the targets of the '
                                            "block, but there is no block"):
                    helper.update(ends_at=time.time() + 60)
                helper.close()
                self.assertEqual(self.sent(), sent + [{"command": "shutdown"}], "nothing was sent")


class Versions(FakeHelperCase):
    CASES = [
        # what, FAKE_VERSION (None: the library's), the version in "ready", the warning
        ("the same version", None, VERSION, None),
        ("another version", "9.9.9", "9.9.9",
         rf"shield-helper \(.*fake_helper\.py\) is version 9\.9\.9, but this library is "
         rf"{VERSION}; use the helper of the same version"),
        ("no version, as from a helper older than the field", "", None,
         rf"shield-helper \(.*\) reported no version: it is older than this library "
         rf"\({VERSION}\)"),
    ]

    def test_a_helper_of_another_version_works_with_one_warning_event(self):
        for what, version, ready_version, warning in self.CASES:
            with self.subTest(what):
                if version is not None:
                    os.environ["FAKE_VERSION"] = version
                else:
                    os.environ.pop("FAKE_VERSION", None)
                helper = self.fake(restart=FAST)
                events = Events(helper, "warning", "restarted")
                self.assertEqual(helper.start().version, ready_version)
                self.assertIsNotNone(helper.stop().request_id, "requests work")
                # A restart of the same binary says the same: it is not warned about again. Its
                # warning would come before "restarted".
                os.kill(helper.pid, signal.SIGKILL)
                events.next("restarted")
                said = [value for kind, value in events.drain() if kind == "warning"]
                self.assertEqual(len(said), 0 if warning is None else 1, said)
                if warning:
                    self.assertRegex(said[0], warning)
                helper.close()

    def test_without_a_warning_callback_the_warning_goes_to_the_warnings_module(self):
        os.environ["FAKE_VERSION"] = "9.9.9"
        for listened in (False, True):
            with self.subTest(listened=listened):
                helper = self.fake()
                if listened:
                    helper.on("warning", lambda message: None)
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    helper.start()
                issued = [w for w in caught if issubclass(w.category,
                                                          shield_helper.ShieldHelperWarning)]
                self.assertEqual(len(issued), 0 if listened else 1)
                if not listened:
                    self.assertRegex(str(issued[0].message), "is version 9.9.9")
                    self.assertEqual(issued[0].filename, __file__, "it points at start()'s caller")
                helper.close()


if __name__ == "__main__":
    unittest.main()
