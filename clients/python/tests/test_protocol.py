"""The module against the real helper binary, headless: every request and its reply, replies
under concurrency from many threads, timeouts, an invalid line, input the module refuses, and
close(). Finding and starting the binary is in test_binary.py."""

import os
import signal
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime, timedelta, timezone

from support import (DEADLINE, INVALID_COMMAND, PERMISSION_REQUIRED, TARGETS, Events,
                     HelperCase, headless, headless_ready, shield_helper)


def without_id(status):
    values = dict(status.__dict__)
    values["request_id"] = None
    return shield_helper.Status(**values)


class Requests(HelperCase):
    def test_start_returns_the_ready_message(self):
        helper = self.helper()
        ready = helper.start()
        self.assertEqual(ready, headless_ready())
        self.assertEqual(helper.last_status, ready)
        with self.assertRaisesRegex(shield_helper.ShieldHelperError, "the helper is running"):
            helper.start()

    def test_every_request_gets_its_own_reply(self):
        helper = self.started()
        blocked = headless(error=PERMISSION_REQUIRED)
        later = time.time() + 60
        cases = [
            ("block", lambda: helper.block(TARGETS, ends_at=later), blocked),
            ("update with a datetime",
             lambda: helper.update(TARGETS, datetime.now(timezone.utc) + timedelta(minutes=1)),
             blocked),
            ("permission_status", helper.permission_status, blocked),
            ("request_permission", helper.request_permission, blocked),
            ("request_permission with a prompt", lambda: helper.request_permission(True), blocked),
            ("stop", helper.stop, headless()),
            ("block with mappings", lambda: helper.block(
                [{"id": "ed", "name": "Text Editor", "bundle_id": "org.example.TextEditor"}]),
             blocked),
            ("block ending in the past", lambda: helper.block(TARGETS, time.time() - 1),
             headless()),
            ("update to no targets", lambda: helper.update([]), blocked),
        ]
        ids = set()
        for what, request, expected in cases:
            with self.subTest(what):
                reply = request()
                self.assertIsInstance(reply.request_id, int)
                self.assertNotIn(reply.request_id, ids)
                ids.add(reply.request_id)
                self.assertEqual(without_id(reply), expected)
                self.assertEqual(helper.last_status, reply)

    def test_the_end_of_a_block_arrives_as_a_status_event(self):
        helper = self.started()
        events = Events(helper, "status")
        self.assertEqual(helper.block(TARGETS, time.time() + 0.5).error, PERMISSION_REQUIRED)
        self.assertEqual(events.next("status"), headless())
        self.assertEqual(helper.last_status, headless())

    def test_requests_from_many_threads_get_their_own_replies(self):
        helper = self.started()

        def one(i):
            # A block's reply carries the permission error, a stop's none, so a reply handed to
            # the wrong request shows (each thread's request is answered before its next).
            if i % 2 == 0:
                return i, helper.block(TARGETS)
            return i, helper.stop()

        with ThreadPoolExecutor(8) as pool:
            results = list(pool.map(one, range(200)))
        self.assertEqual(len({reply.request_id for _, reply in results}), 200)
        # Requests go out one at a time, so the replies of blocks and stops alternate in the
        # helper's order: whichever request came last decides the permission error.
        by_id = sorted((reply.request_id, i % 2 == 0, reply) for i, reply in results)
        for _, was_block, reply in by_id:
            if not was_block:
                self.assertIsNone(reply.error)
            else:
                self.assertEqual(reply.error, PERMISSION_REQUIRED)

    def test_a_request_not_answered_in_time_raises_and_later_ones_work(self):
        helper = self.started(request_timeout=0.3)
        os.kill(helper.pid, signal.SIGSTOP)
        self.addCleanup(lambda: helper.pid and os.kill(helper.pid, signal.SIGCONT))
        started = time.monotonic()
        with self.assertRaisesRegex(shield_helper.RequestTimeoutError,
                                    'did not answer "permission-status" within 0.3 s'):
            helper.permission_status()
        self.assertGreaterEqual(time.monotonic() - started, 0.29)
        events = Events(helper, "status")
        os.kill(helper.pid, signal.SIGCONT)
        self.assertEqual(without_id(helper.stop()), headless())
        helper.permission_status()
        self.assertEqual(events.drain(), [], "the late reply reaches nobody")

    def test_a_request_larger_than_the_pipe_holds_times_out_when_the_helper_hangs(self):
        # Written by the caller, a line longer than the pipe holds (64 KiB) would wait for a
        # stopped helper to read it, and its time limit would never apply. The limit is not
        # shorter because it also applies to the wait for "ready", which a loaded machine can
        # stretch.
        helper = self.started(request_timeout=1.0)
        pid = helper.pid
        os.kill(pid, signal.SIGSTOP)
        many = [shield_helper.Target(f"t{i}", "x" * 100, f"org.example.App{i}")
                for i in range(2000)]
        with ThreadPoolExecutor(1) as pool:
            blocking = pool.submit(helper.block, many)
            try:
                with self.assertRaises(shield_helper.RequestTimeoutError):
                    blocking.result(DEADLINE)
            finally:
                # Lets a caller stuck in the write go, should it be (by the pid taken before:
                # such a caller would hold the lock that helper.pid takes).
                os.kill(pid, signal.SIGCONT)
        self.assertIsNone(helper.stop().error, "the helper read the block, then the stop")

    def test_an_invalid_line_is_a_protocol_error_and_the_request_in_flight_is_answered(self):
        helper = self.started()
        events = Events(helper, "protocol_error")
        with ThreadPoolExecutor(1) as pool:
            reply = pool.submit(helper.block, TARGETS)
            helper._write_raw("this is not json\n")
            helper._write_raw('{"command":"stop","requestId":"7"}\n')
            self.assertEqual(reply.result().error, PERMISSION_REQUIRED)
        self.assertEqual(events.next("protocol_error"), INVALID_COMMAND)
        self.assertEqual(events.next("protocol_error"), INVALID_COMMAND)
        helper.permission_status()

    def test_input_the_helper_would_refuse_is_refused_with_a_clear_error(self):
        helper = self.started()
        cases = [
            (lambda: helper.block("ed"), TypeError, "targets must be a sequence"),
            (lambda: helper.block([{"id": "ed"}]), TypeError, r"targets\[0\]\.name must be"),
            (lambda: helper.update([{"id": 1, "name": "x"}]), TypeError, r"targets\[0\]\.id"),
            (lambda: helper.block([shield_helper.Target("a", "A", 5)]), TypeError, "bundle_id"),
            (lambda: helper.block(TARGETS, "soon"), TypeError, "ends_at must be"),
            (lambda: helper.block(TARGETS, float("inf")), ValueError, "ends_at must be finite"),
        ]
        for request, error, message in cases:
            with self.subTest(message):
                with self.assertRaisesRegex(error, message):
                    request()
        self.assertIsNone(helper.permission_status().error, "nothing was blocked")


class Closing(HelperCase):
    def test_close_sends_shutdown_and_returns_exit_code_0(self):
        helper = self.started()
        events = Events(helper, "exit")
        self.assertEqual(helper.block(TARGETS).error, PERMISSION_REQUIRED)
        self.assertEqual(helper.close(), 0)
        self.assertEqual(events.next("exit"), shield_helper.ExitInfo(0, None, False))
        self.assertEqual(helper.close(), 0)
        with self.assertRaisesRegex(shield_helper.HelperNotRunningError, "was closed"):
            helper.stop()

    def test_close_kills_a_helper_that_does_not_end_in_time(self):
        helper = self.started()
        events = Events(helper, "exit")
        os.kill(helper.pid, signal.SIGSTOP)
        self.assertIsNone(helper.close(0.2))
        self.assertEqual(events.next("exit"), shield_helper.ExitInfo(None, "SIGKILL", False))

    def test_requests_and_close_before_start(self):
        helper = self.helper()
        with self.assertRaisesRegex(shield_helper.HelperNotRunningError, "start"):
            helper.stop()
        self.assertIsNone(helper.close())

    def test_context_manager(self):
        with shield_helper.ShieldHelper(self.helper()._binary_path) as helper:
            self.assertIsNone(helper.permission_status().error)


if __name__ == "__main__":
    unittest.main()
