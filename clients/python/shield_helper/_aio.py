"""The asyncio interface to shield-helper: AsyncShieldHelper. It drives the same machinery as
the threaded ShieldHelper (process, protocol, request matching, supervision and replay), and
differs only in how it waits and where events arrive: requests are awaited without holding a
thread, and events are delivered on the event loop, to callbacks and to async iterators.
"""

from __future__ import annotations

import asyncio
import inspect
import threading
import weakref
from collections import deque
from concurrent.futures import Future
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Callable, Deque, Dict, FrozenSet, List, Mapping, Optional, Sequence, Union

from . import (DEFAULT_CLOSE_TIMEOUT, DEFAULT_REQUEST_TIMEOUT, EVENTS, RestartPolicy,
               ShieldHelper, Status, Target, _Request)


@dataclass(frozen=True)
class HelperEvent:
    """One event, as AsyncShieldHelper.events() yields it: `kind` is one of EVENTS and `value`
    what a callback for that event receives."""

    kind: str
    value: Any


def _on_loop(source: Future) -> "asyncio.Future[Any]":
    """An asyncio future on the running loop that follows `source`. Unlike asyncio.wrap_future,
    cancelling it leaves `source` alone: the core completes its futures itself, and a request
    cancelled by one task must not make the reader thread fail when the reply comes."""
    loop = asyncio.get_running_loop()
    mirror = loop.create_future()

    def copy(done: Future) -> None:
        if mirror.done():
            return
        if done.cancelled():
            mirror.cancel()
        elif done.exception() is not None:
            mirror.set_exception(done.exception())
        else:
            mirror.set_result(done.result())

    def hand_over(done: Future) -> None:
        try:
            loop.call_soon_threadsafe(copy, done)
        except RuntimeError:
            pass  # The loop is closed: nobody is left to wait.

    source.add_done_callback(hand_over)
    return mirror


class _LoopCore(ShieldHelper):
    """The shared machinery with its events handed to the owner on its event loop instead of
    to a thread of callbacks."""

    def __init__(self, owner: "AsyncShieldHelper", **options: Any):
        super().__init__(**options)
        self._owner = owner
        self._loop: Optional[asyncio.AbstractEventLoop] = None

    def _emit(self, event: str, value: Any) -> None:
        # Called under the core's lock, in the order of the changes; call_soon_threadsafe keeps
        # that order on the loop and never blocks.
        loop = self._loop
        if loop is None:
            return
        try:
            loop.call_soon_threadsafe(self._owner._deliver, event, value)
        except RuntimeError:
            pass  # The loop is closed: nobody is left to tell.

    def _has_listeners(self, event: str) -> bool:
        return self._owner._has_listeners(event)

    def _stop_dispatcher(self) -> None:
        pass  # There is no callback thread here.


_END = object()


class _EventStream:
    """The async iterator events() returns. It is subscribed from the moment it is made, so
    that no event is missed between making it and the first `async for` step, and it is
    dropped once it ends or nobody holds it any more."""

    def __init__(self, kinds: FrozenSet[str]):
        self._kinds = kinds
        self._items: Deque[Any] = deque()
        self._waiter: Optional[asyncio.Future] = None
        self._finished = False

    def _wants(self, kind: str) -> bool:
        return not self._finished and (not self._kinds or kind in self._kinds)

    def _put(self, item: Any) -> None:
        if self._finished:
            return
        self._items.append(item)
        self._wake()

    def _finish(self, at_once: bool = False) -> None:
        """Ends the iteration after the events taken so far, or `at_once` without them."""
        if at_once:
            self._items.clear()
        if not self._finished:
            self._items.append(_END)
            self._finished = True
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    def __aiter__(self) -> "_EventStream":
        return self

    async def __anext__(self) -> HelperEvent:
        while not self._items:
            self._waiter = asyncio.get_running_loop().create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        item = self._items[0]
        if item is _END:
            raise StopAsyncIteration
        return self._items.popleft()

    async def aclose(self) -> None:
        """Ends the iteration at once; events not taken yet are dropped."""
        self._finish(at_once=True)


class AsyncShieldHelper:
    """Starts, supervises and speaks to one shield-helper process from asyncio code.

    The same operations, events and supervision as ShieldHelper, as coroutines: `await
    helper.start()`, `await helper.block(...)`, `await helper.close()`. Events are delivered on
    the event loop that called start(): to callbacks registered with on() (a coroutine function
    is started as a task), and to the async iterators events() returns. A request cancelled
    while it waits is forgotten: its reply, should it come, reaches nobody.
    """

    def __init__(self, binary_path: Optional[str] = None,
                 request_timeout: float = DEFAULT_REQUEST_TIMEOUT,
                 restart: Union[RestartPolicy, bool] = True, *,
                 env: Optional[Mapping[str, str]] = None,
                 cwd: Optional[str] = None):
        self._core = _LoopCore(self, binary_path=binary_path, request_timeout=request_timeout,
                               restart=restart, env=env, cwd=cwd)
        self._listeners: Dict[str, List[Callable[[Any], Any]]] = {name: [] for name in EVENTS}
        self._streams: "weakref.WeakSet[_EventStream]" = weakref.WeakSet()
        # The core asks whether anyone listens from its own threads, while the loop adds and
        # drops streams.
        self._streams_lock = threading.Lock()
        # Tasks of coroutine callbacks, held until they end (the loop keeps only weak ones).
        self._tasks: set = set()

    # Events -----------------------------------------------------------------------------------

    def on(self, event: str, callback: Callable[[Any], Any]) -> Callable[[], None]:
        """Calls `callback` with each `event` on the event loop; a coroutine function is started
        as a task. Returns a function that unregisters it."""
        if event not in self._listeners:
            raise ValueError(f"unknown event {event!r}; the events are {', '.join(EVENTS)}")
        self._listeners[event].append(callback)

        def off() -> None:
            if callback in self._listeners[event]:
                self._listeners[event].remove(callback)

        return off

    def events(self, *kinds: str) -> _EventStream:
        """An async iterator of HelperEvent: every event, or those of the given kinds, from
        now on. It ends once the helper is closed (at once when it is closed already)."""
        for kind in kinds:
            if kind not in self._listeners:
                raise ValueError(f"unknown event {kind!r}; the events are {', '.join(EVENTS)}")
        stream = _EventStream(frozenset(kinds))
        if self.state == "closed":
            stream._finish()
        else:
            with self._streams_lock:
                self._streams.add(stream)
        return stream

    def _live_streams(self) -> List[_EventStream]:
        with self._streams_lock:
            return list(self._streams)

    def _has_listeners(self, event: str) -> bool:
        return bool(self._listeners[event]) or any(s._wants(event) for s in self._live_streams())

    def _deliver(self, event: str, value: Any) -> None:
        """Runs on the loop, once for each event, in the order the core emitted them."""
        for callback in list(self._listeners[event]):
            try:
                result = callback(value)
                if inspect.isawaitable(result):
                    task = asyncio.ensure_future(result)
                    self._tasks.add(task)
                    task.add_done_callback(self._callback_done)
            except Exception as error:  # A host's faulty callback must not stop the others.
                self._report(error, event)
        streams = self._live_streams()
        for stream in streams:
            if stream._wants(event):
                stream._put(HelperEvent(event, value))
        if event == "state" and value == "closed":
            with self._streams_lock:
                self._streams.clear()
            for stream in streams:
                stream._finish()

    def _callback_done(self, task: asyncio.Task) -> None:
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            self._report(task.exception(), "a coroutine")

    @staticmethod
    def _report(error: BaseException, event: str) -> None:
        asyncio.get_running_loop().call_exception_handler({
            "message": f"shield-helper: a callback for {event} raised",
            "exception": error,
        })

    # Public operations ------------------------------------------------------------------------

    @property
    def state(self) -> str:
        """One of STATES; each change is also a "state" event."""
        return self._core.state

    @property
    def last_status(self) -> Optional[Status]:
        """The last status the helper reported; None before the first and after it ended."""
        return self._core.last_status

    @property
    def pid(self) -> Optional[int]:
        """The process id of the helper now running, if any."""
        return self._core.pid

    async def start(self) -> Status:
        """Starts the helper and returns its "ready" message."""
        core = self._core
        core._loop = asyncio.get_running_loop()
        session, binary = core._begin_start()
        try:
            try:
                ready = await asyncio.wait_for(_on_loop(session.ready), core._request_timeout)
            except asyncio.TimeoutError:
                raise core._ready_timed_out(session, binary) from None
        except BaseException:
            core._start_failed(session)
            raise
        return core._start_succeeded(ready, binary)

    async def block(self, targets: Sequence[Union[Target, Mapping[str, Any]]],
                    ends_at: Union[datetime, float, int, None] = None) -> Status:
        """Blocks `targets` until `ends_at` (no end without it): the "start" command."""
        return await self._wait(self._core._submit_block("start", targets, ends_at))

    async def update(self, targets: Optional[Sequence[Union[Target, Mapping[str, Any]]]] = None,
                     ends_at: Union[datetime, float, int, None] = None) -> Status:
        """Changes the block: the "update" command. Without `targets` the block keeps the
        targets it has; `ends_at` replaces the end time (no end without it)."""
        return await self._wait(self._core._submit_block("update", targets, ends_at))

    async def stop(self) -> Status:
        """Ends the block."""
        return await self._wait(self._core._submit_stop())

    async def permission_status(self) -> Status:
        return await self._wait(self._core._submit("permission-status", {}))

    async def request_permission(self, prompt: Optional[bool] = None) -> Status:
        return await self._wait(self._core._submit_request_permission(prompt))

    async def close(self, timeout: float = DEFAULT_CLOSE_TIMEOUT) -> Optional[int]:
        """Ends the helper with "shutdown", kills it when it has not exited after `timeout`
        seconds, and returns its exit code (None when it was killed or never ran)."""
        core = self._core
        if core._loop is None:
            core._loop = asyncio.get_running_loop()
        closed = core._begin_close()
        try:
            return await asyncio.wait_for(_on_loop(closed), timeout)
        except asyncio.TimeoutError:
            core._kill_for_close()
            return await _on_loop(closed)

    def reset(self) -> None:
        """Makes a failed or closed helper startable again (see ShieldHelper.reset)."""
        self._core.reset()

    async def __aenter__(self) -> "AsyncShieldHelper":
        await self.start()
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()

    async def _wait(self, request: _Request) -> Status:
        core = self._core
        try:
            # As in the threaded interface, the time allowed runs from the moment of writing.
            await _on_loop(request.sent)
            return await asyncio.wait_for(_on_loop(request.reply), core._request_timeout)
        except asyncio.TimeoutError:
            core._abandon(request)
            if request.reply.done():
                return request.reply.result()
            raise core._timeout_error(request) from None
        except asyncio.CancelledError:
            core._abandon(request)
            raise

    def _write_raw(self, text: str) -> None:
        """Writes `text` to the helper as it is, for tests (see ShieldHelper._write_raw)."""
        self._core._write_raw(text)
