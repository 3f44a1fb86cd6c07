"""AsyncShieldHelper against the real helper, headless: requests and their replies from many
tasks, waits that hold no thread, timeouts and cancelled requests, events on the loop through
callbacks and iterators, restarts with a request made meanwhile, close(), a cancelled start,
reset() and the version warning (with the fake helper)."""

import asyncio
import os
import shutil
import signal
import tempfile
import threading
import time
import unittest
from unittest import mock

from support import (DEADLINE, FAKE_HELPER, HELPER, PERMISSION_REQUIRED, TARGETS, VERSION,
                     headless, headless_ready, shield_helper)
from test_protocol import without_id
from test_supervision import running

FAST = shield_helper.RestartPolicy(max_restarts=3, window=60.0, backoff=0.02)


async def eventually(probe, what, timeout=DEADLINE):
    """Waits until `probe()` is true, letting the loop run meanwhile."""
    deadline = time.monotonic() + timeout
    while not probe():
        if time.monotonic() > deadline:
            raise AssertionError(f"not within {timeout:g} s: {what}")
        await asyncio.sleep(0.005)


async def next_event(stream, kind):
    """The next event of `kind` from an events() iterator, within the deadline."""
    async def take():
        async for event in stream:
            if event.kind == kind:
                return event.value
        raise AssertionError(f"the events ended before a {kind!r} one")
    return await asyncio.wait_for(take(), DEADLINE)


class AsyncCase(unittest.IsolatedAsyncioTestCase):
    maxDiff = None

    def setUp(self):
        if not HELPER:
            self.skipTest("SHIELD_HELPER names no helper binary")
        # Every change a test makes to the environment is undone after it.
        environment = mock.patch.dict(os.environ)
        environment.start()
        self.addCleanup(environment.stop)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "FAKE_VERSION"):
            os.environ.pop(name, None)

    async def asyncSetUp(self):
        # These loops run in debug mode, which reports every step over 0.1 s; on a loaded
        # machine the 200 requests of one test take that long to submit without anything wrong.
        asyncio.get_running_loop().slow_callback_duration = 1.0

    def helper(self, **options):
        options.setdefault("binary_path", HELPER)
        helper = shield_helper.AsyncShieldHelper(**options)
        self.addAsyncCleanup(helper.close, 1.0)
        return helper

    async def started(self, **options):
        helper = self.helper(**options)
        await helper.start()
        return helper

    def stopped(self, helper):
        """SIGSTOPs the helper until the test continues it (or ends)."""
        pid = helper.pid
        os.kill(pid, signal.SIGSTOP)
        self.addCleanup(lambda: os.kill(pid, signal.SIGCONT) if os.path.exists(f"/proc/{pid}")
                        else None)
        return pid


class Requests(AsyncCase):
    async def test_every_request_gets_its_own_reply(self):
        helper = self.helper()
        ready = await helper.start()
        self.assertEqual(ready, headless_ready())
        blocked = headless(error=PERMISSION_REQUIRED)
        cases = [
            ("block", lambda: helper.block(TARGETS, time.time() + 60), blocked),
            ("update without targets", lambda: helper.update(ends_at=time.time() + 120), blocked),
            ("permission_status", helper.permission_status, blocked),
            ("request_permission", lambda: helper.request_permission(True), blocked),
            ("stop", helper.stop, headless()),
            ("update to no targets", lambda: helper.update([]), blocked),
        ]
        ids = set()
        for what, request, expected in cases:
            with self.subTest(what):
                reply = await request()
                self.assertNotIn(reply.request_id, ids)
                ids.add(reply.request_id)
                self.assertEqual(without_id(reply), expected)
                self.assertEqual(helper.last_status, reply)

    async def test_requests_from_many_tasks_get_their_own_replies(self):
        helper = await self.started()
        # Blocks and stops alternate: a reply handed to the wrong request shows in its error.
        requests = [helper.block(TARGETS) if i % 2 == 0 else helper.stop() for i in range(200)]
        replies = await asyncio.gather(*requests)
        self.assertEqual(len({reply.request_id for reply in replies}), 200)
        for i, reply in enumerate(replies):
            self.assertEqual(reply.error, PERMISSION_REQUIRED if i % 2 == 0 else None, i)

    async def test_waiting_requests_hold_no_thread(self):
        helper = await self.started()
        pid = self.stopped(helper)
        threads = threading.active_count()
        waiting = [asyncio.ensure_future(helper.permission_status()) for _ in range(50)]
        await eventually(lambda: len(helper._core._pending) == 50, "50 requests written")
        self.assertEqual(threading.active_count(), threads)
        os.kill(pid, signal.SIGCONT)
        replies = await asyncio.gather(*waiting)
        self.assertEqual(len({reply.request_id for reply in replies}), 50)

    async def test_a_request_timed_out_or_cancelled_is_forgotten_and_later_ones_work(self):
        # The limit also applies to the wait for "ready", which a loaded machine can stretch
        # past a few tenths of a second.
        helper = await self.started(request_timeout=1.0)
        statuses = helper.events("status")
        pid = self.stopped(helper)
        with self.assertRaisesRegex(shield_helper.RequestTimeoutError,
                                    'did not answer "permission-status" within 1 s'):
            await helper.permission_status()
        cancelled = asyncio.ensure_future(helper.block(TARGETS))
        await eventually(lambda: len(helper._core._pending) == 1, "the block written")
        cancelled.cancel()
        with self.assertRaises(asyncio.CancelledError):
            await cancelled
        self.assertEqual(helper._core._pending, {}, "nobody waits for either reply")
        os.kill(pid, signal.SIGCONT)
        # The late replies (the second one carrying the block's error) reach nobody: this
        # stop gets its own.
        self.assertEqual(without_id(await helper.stop()), headless())
        await helper.close()
        self.assertEqual([e async for e in statuses], [], "no late reply became an event")


class Events(AsyncCase):
    async def test_events_come_on_the_loop_to_callbacks_and_iterators_in_order(self):
        helper = self.helper()
        everything = helper.events()
        statuses = helper.events("status")
        loop_thread = threading.get_ident()
        called = []

        def plain(status):
            called.append(("plain", status, threading.get_ident()))

        async def coroutine(status):
            await asyncio.sleep(0)
            called.append(("coroutine", status, threading.get_ident()))

        helper.on("status", plain)
        helper.on("status", coroutine)
        await helper.start()
        self.assertEqual((await helper.block(TARGETS, time.time() + 0.3)).error,
                         PERMISSION_REQUIRED)
        ended = await next_event(statuses, "status")
        self.assertEqual(ended, headless())
        await eventually(lambda: len(called) == 2, "both callbacks called")
        self.assertEqual(sorted(called, key=lambda c: c[0]),
                         [("coroutine", ended, loop_thread), ("plain", ended, loop_thread)])
        self.assertEqual(await helper.close(), 0)
        # The headless helper's notes on standard error are not of interest here.
        kinds = [(event.kind, event.value if event.kind == "state" else None)
                 async for event in everything if event.kind != "stderr"]
        self.assertEqual(kinds, [("state", "starting"), ("state", "running"), ("status", None),
                                 ("state", "closing"), ("exit", None), ("state", "closed")])
        self.assertEqual([e async for e in helper.events()], [], "closed: it ends at once")

    async def test_a_faulty_callback_is_reported_to_the_loop_and_the_others_still_run(self):
        helper = self.helper()
        reported = []
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reported.append(
            context))
        states = []

        def faulty(state):
            raise RuntimeError("a host's bug")

        helper.on("state", faulty)
        helper.on("state", states.append)
        await helper.start()
        await eventually(lambda: states == ["starting", "running"], "both states")
        self.assertEqual([type(c["exception"]) for c in reported], [RuntimeError, RuntimeError])
        self.assertEqual(reported[0]["message"], "shield-helper: a callback for state raised")

    async def test_an_iterator_closed_early_stops_taking_events(self):
        helper = await self.started()
        stream = helper.events()
        await stream.aclose()
        await helper.stop()
        self.assertEqual([e async for e in stream], [])
        self.assertFalse(helper._has_listeners("status"))


class Supervision(AsyncCase):
    async def test_a_killed_helper_is_restarted_and_a_request_made_meanwhile_waits(self):
        helper = await self.started(restart=FAST)
        events = helper.events("exit", "restarted")
        await helper.block(TARGETS, time.time() + 60)
        first = helper.pid
        os.kill(first, signal.SIGKILL)
        self.assertEqual(await next_event(events, "exit"),
                         shield_helper.ExitInfo(None, "SIGKILL", True))
        self.assertEqual(helper.state, "restarting")
        status = await helper.permission_status()
        self.assertEqual(status.error, PERMISSION_REQUIRED, "the block is active again")
        replayed = await next_event(events, "restarted")
        self.assertLess(replayed.request_id, status.request_id)
        self.assertNotEqual(helper.pid, first)
        self.assertEqual(await helper.close(), 0)

    async def test_a_request_cancelled_while_it_waits_for_a_restart_is_never_sent(self):
        # The helper starts only while the gate file exists, so the test holds the restart
        # back for as long as it needs.
        scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, scratch)
        gate, wrapper = os.path.join(scratch, "gate"), os.path.join(scratch, "gated-helper")
        with open(wrapper, "w") as script:
            script.write(f'#!/bin/sh\nwhile [ ! -e "{gate}" ]; do sleep 0.01; done\n'
                         f'exec "{HELPER}"\n')
        os.chmod(wrapper, 0o755)
        open(gate, "w").close()
        helper = await self.started(binary_path=wrapper, restart=FAST)
        events = helper.events("exit", "restarted")
        first = await helper.permission_status()
        os.remove(gate)
        os.kill(helper.pid, signal.SIGKILL)
        self.assertTrue((await next_event(events, "exit")).will_restart)
        cancelled = asyncio.ensure_future(helper.permission_status())
        kept = asyncio.ensure_future(helper.stop())
        await eventually(lambda: len(helper._core._deferred) == 2, "both requests waiting")
        cancelled.cancel()
        with self.assertRaises(asyncio.CancelledError):
            await cancelled
        open(gate, "w").close()
        await next_event(events, "restarted")
        # Nothing was replayed (no block), so the kept request is the next one written.
        self.assertEqual((await kept).request_id, first.request_id + 1)
        self.assertEqual((await helper.permission_status()).request_id, first.request_id + 2)

    async def test_close_during_the_backoff_fails_the_waiting_request(self):
        helper = await self.started(restart=shield_helper.RestartPolicy(backoff=60.0))
        events = helper.events("exit")
        os.kill(helper.pid, signal.SIGKILL)
        self.assertTrue((await next_event(events, "exit")).will_restart)
        waiting = asyncio.ensure_future(helper.permission_status())
        await eventually(lambda: helper._core._deferred, "the request waiting for the restart")
        self.assertIsNone(await helper.close())
        with self.assertRaisesRegex(shield_helper.HelperNotRunningError, "was closed"):
            await waiting

    async def test_close_kills_a_helper_that_does_not_end_in_time(self):
        helper = await self.started()
        events = helper.events("exit")
        self.stopped(helper)
        self.assertIsNone(await helper.close(0.2))
        self.assertEqual(await next_event(events, "exit"),
                         shield_helper.ExitInfo(None, "SIGKILL", False))

    async def test_reset_after_fatal_and_a_context_manager(self):
        helper = await self.started(restart=False)
        events = helper.events("fatal")
        os.kill(helper.pid, signal.SIGKILL)
        self.assertRegex(str(await next_event(events, "fatal")), "restarting is off")
        self.assertEqual(helper.state, "failed")
        helper.reset()
        self.assertEqual(helper.state, "idle")
        async with helper:
            self.assertIsNone((await helper.permission_status()).error, "nothing replayed")
        self.assertEqual(helper.state, "closed")


class Starting(AsyncCase):
    async def test_a_start_cancelled_while_it_waits_for_ready_leaves_no_helper(self):
        scratch = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, scratch)
        silent = os.path.join(scratch, "silent-helper")
        with open(silent, "w") as script:
            script.write("#!/bin/sh\n# Never writes ready: a start waits for it.\nexec sleep 60\n")
        os.chmod(silent, 0o755)
        helper = self.helper(binary_path=silent)
        starting = asyncio.ensure_future(helper.start())
        await eventually(lambda: helper.pid is not None, "the helper spawned")
        pid = helper.pid
        starting.cancel()
        with self.assertRaises(asyncio.CancelledError):
            await starting
        self.assertEqual(helper.state, "idle")
        await eventually(lambda: not running(pid), f"helper {pid} to end")

    async def test_start_failures_raise_as_in_the_threaded_interface(self):
        cases = [
            ("/nonexistent/shield-helper", shield_helper.BinaryNotFoundError,
             "binary_path names /nonexistent/shield-helper"),
            (os.path.join(os.path.dirname(os.path.abspath(__file__)), "support.py"),
             shield_helper.HelperExitedError, r"chmod \+x .*support\.py"),
        ]
        for path, error, message in cases:
            with self.subTest(path):
                helper = self.helper(binary_path=path)
                with self.assertRaisesRegex(error, message):
                    await helper.start()
                self.assertEqual(helper.state, "idle")

    async def test_a_helper_of_another_version_is_a_warning_event(self):
        os.environ["FAKE_VERSION"] = "9.9.9"
        helper = self.helper(binary_path=FAKE_HELPER)
        warnings = helper.events("warning")
        self.assertEqual((await helper.start()).version, "9.9.9")
        self.assertRegex(await next_event(warnings, "warning"),
                         f"is version 9.9.9, but this library is {VERSION}")


if __name__ == "__main__":
    unittest.main()
