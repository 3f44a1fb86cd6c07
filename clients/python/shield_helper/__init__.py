"""A host's side of shield-helper: finds the binary, starts it as a child process, speaks its
line protocol (one JSON object per line each way), matches replies to requests, and keeps the
helper running by restarting it and replaying the block when it ends unexpectedly.

Standard library only. Every method may be called from any thread. Callbacks run one at a time,
in the order of the events, on a thread of their own; they may call the helper's methods.
"""

from __future__ import annotations

import json
import os
import platform
import queue
import signal
import subprocess
import sys
import threading
import time
import traceback
from collections import deque
from concurrent.futures import Future
from concurrent.futures import TimeoutError as FutureTimeout
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Union

__all__ = [
    "AccessAttempt",
    "BinaryNotFoundError",
    "ExitInfo",
    "HelperExitedError",
    "HelperNotRunningError",
    "RequestTimeoutError",
    "RestartPolicy",
    "ShieldHelper",
    "ShieldHelperError",
    "Status",
    "Target",
    "resolve_binary",
]

DEFAULT_REQUEST_TIMEOUT = 5.0
DEFAULT_CLOSE_TIMEOUT = 5.0

EVENTS = ("status", "access_attempt", "protocol_error", "stderr", "exit", "restarted", "fatal")


class ShieldHelperError(Exception):
    """Base class of this module's errors."""


class BinaryNotFoundError(ShieldHelperError, FileNotFoundError):
    """No helper binary at any of the places looked at; the message names each."""


class RequestTimeoutError(ShieldHelperError, TimeoutError):
    """The helper did not answer a request in time."""


class HelperExitedError(ShieldHelperError):
    """The helper ended (or could not be started) before answering."""


class HelperNotRunningError(ShieldHelperError):
    """A request was made while no helper can take it: before start(), after close(), or
    after supervision gave up."""


@dataclass(frozen=True)
class Target:
    id: str
    name: str
    bundle_id: Optional[str] = None


@dataclass(frozen=True)
class Status:
    type: str  # "ready" or "status"
    watcher_running: bool
    shield_count: int
    eligible_window_count: int
    covered_window_count: int
    uncovered_window_count: int
    permission: str  # "unknown", "granted" or "denied"
    request_id: Optional[int] = None
    error: Optional[str] = None
    coverage_error: Optional[str] = None

    @classmethod
    def from_message(cls, message: Mapping[str, Any]) -> "Status":
        return cls(
            type=message["type"],
            watcher_running=message["watcherRunning"],
            shield_count=message["shieldCount"],
            eligible_window_count=message["eligibleWindowCount"],
            covered_window_count=message["coveredWindowCount"],
            uncovered_window_count=message["uncoveredWindowCount"],
            permission=message["permission"],
            request_id=message.get("requestId"),
            error=message.get("error"),
            coverage_error=message.get("coverageError"),
        )


@dataclass(frozen=True)
class AccessAttempt:
    target_id: str
    app_name: str
    occurred_at: int  # milliseconds since 1970-01-01 00:00 UTC


@dataclass(frozen=True)
class ExitInfo:
    code: Optional[int]  # the exit status, or None when a signal ended the helper
    signal: Optional[str]  # the signal's name, such as "SIGKILL"
    will_restart: bool


@dataclass(frozen=True)
class RestartPolicy:
    """How the helper is restarted after an exit nobody asked for. The n-th exit within `window`
    seconds waits `backoff * 2**(n-1)` seconds, at most `max_backoff`, before the restart. While a
    block is active the helper is restarted however often it ends; without one it is given up
    after `max_restarts` restarts within `window`. It is also given up when `max_restarts`
    restarts in a row ended by themselves before the helper was ready: it cannot start."""

    max_restarts: int = 5
    window: float = 60.0
    backoff: float = 0.5
    # Short, because a block goes uncovered while the helper is down, and a person at the desk
    # can end the helper as often as they like.
    max_backoff: float = 5.0

    def __post_init__(self) -> None:
        for name in ("max_restarts", "window", "backoff", "max_backoff"):
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
                raise ValueError(f"RestartPolicy.{name} must be a number of at least 0")


def _machine() -> str:
    """The architecture in the names the packed binaries use (those of Node: x64, arm64)."""
    machine = platform.machine().lower()
    return {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "arm64": "arm64"}.get(
        machine, machine)


def resolve_binary(binary_path: Optional[str] = None) -> str:
    """Where start() finds the binary: `binary_path`, then $SHIELD_HELPER_PATH, then the binary
    packed with this module for the running platform and architecture. Raises
    BinaryNotFoundError naming every place it looked when none holds a file."""
    platform_arch = f"{sys.platform}-{_machine()}"
    packed = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", platform_arch,
                          "shield-helper")
    candidates = [
        ("binary_path", binary_path),
        ("$SHIELD_HELPER_PATH", os.environ.get("SHIELD_HELPER_PATH")),
        (f"the binary packed for {platform_arch}", packed),
    ]
    looked = []
    for place, given in candidates:
        if not given:
            looked.append(f"{place}: not set")
            continue
        path = os.path.abspath(given)
        if os.path.isfile(path):
            return path
        looked.append(f"{place}: {path} (no such file)")
    raise BinaryNotFoundError("shield-helper binary not found. Looked at:\n  " + "\n  ".join(looked))


def _target_fields(target: Union[Target, Mapping[str, Any]], index: int) -> Dict[str, str]:
    if isinstance(target, Target):
        ident, name, bundle_id = target.id, target.name, target.bundle_id
    elif isinstance(target, Mapping):
        ident, name = target.get("id"), target.get("name")
        bundle_id = target.get("bundle_id", target.get("bundleId"))
    else:
        raise TypeError(f"targets[{index}] must be a Target or a mapping")
    if not isinstance(ident, str):
        raise TypeError(f"targets[{index}].id must be a string")
    if not isinstance(name, str):
        raise TypeError(f"targets[{index}].name must be a string")
    if bundle_id is not None and not isinstance(bundle_id, str):
        raise TypeError(f"targets[{index}].bundle_id must be a string when given")
    fields = {"id": ident, "name": name}
    if bundle_id is not None:
        fields["bundleId"] = bundle_id
    return fields


def _ends_at_ms(ends_at: Union[datetime, float, int, None]) -> Optional[float]:
    """`ends_at` in milliseconds since 1970: a datetime (naive ones are local time) or a
    number of seconds since 1970, as time.time() gives."""
    if ends_at is None:
        return None
    if isinstance(ends_at, datetime):
        return ends_at.timestamp() * 1000.0
    if isinstance(ends_at, bool) or not isinstance(ends_at, (int, float)):
        raise TypeError("ends_at must be a datetime or seconds since 1970")
    ms = float(ends_at) * 1000.0
    if ms != ms or ms in (float("inf"), float("-inf")):
        raise ValueError("ends_at must be finite")
    return ms


def _describe_exit(code: Optional[int], signal_name: Optional[str]) -> str:
    if signal_name:
        return f"killed by {signal_name}"
    return f"exit code {code}"


class _Session:
    """One child process and what is known about it."""

    def __init__(self, process: subprocess.Popen):
        self.process = process
        self.ready: Future = Future()
        self.ended = False
        # The library killed it because it wrote no "ready" line in time.
        self.ready_timed_out = False
        self.stderr_tail: deque = deque(maxlen=10)
        self.stderr_reader: Optional[threading.Thread] = None
        self.write_lock = threading.Lock()

    def write(self, text: str) -> None:
        with self.write_lock:
            try:
                self.process.stdin.write(text.encode())
                self.process.stdin.flush()
            except (BrokenPipeError, OSError, ValueError):
                # The helper is gone; its exit is handled by the reader, not here.
                pass


class ShieldHelper:
    """Starts, supervises and speaks to one shield-helper process.

    Requests block the calling thread until the reply comes and return a Status; they raise
    RequestTimeoutError, HelperExitedError or HelperNotRunningError. Unsolicited messages and
    the supervision's news arrive through callbacks registered with on():

    - "status" (Status): the coverage picture changed
    - "access_attempt" (AccessAttempt): the user tried to use a blocked application
    - "protocol_error" (str): the helper rejected a line (a bug: the library builds every line)
    - "stderr" (str): a line the helper wrote to its standard error
    - "exit" (ExitInfo): the helper ended; will_restart says whether it is started again
    - "restarted" (Status): it was started again and the block replayed
    - "fatal" (Exception): supervision gave up
    """

    def __init__(self, binary_path: Optional[str] = None,
                 request_timeout: float = DEFAULT_REQUEST_TIMEOUT,
                 restart: Union[RestartPolicy, bool] = True):
        if not request_timeout > 0:
            raise ValueError("request_timeout must be positive")
        self._binary_path = binary_path
        self._request_timeout = request_timeout
        if restart is True:
            restart = RestartPolicy()
        self._restart: Optional[RestartPolicy] = restart or None
        self._lock = threading.RLock()
        self._changed = threading.Condition(self._lock)
        self._state = "idle"
        self._session: Optional[_Session] = None
        self._next_request_id = 1
        self._pending: Dict[int, tuple] = {}
        self._block: Optional[Dict[str, Any]] = None
        self._last_status: Optional[Status] = None
        self._exit_times: List[float] = []
        self._failed_starts = 0
        self._restart_timer: Optional[threading.Timer] = None
        self._fatal_error: Optional[Exception] = None
        self._exit_code: Optional[int] = None
        self._listeners: Dict[str, List[Callable[[Any], None]]] = {name: [] for name in EVENTS}
        self._events: queue.SimpleQueue = queue.SimpleQueue()
        self._dispatcher: Optional[threading.Thread] = None

    # Events -----------------------------------------------------------------------------------

    def on(self, event: str, callback: Callable[[Any], None]) -> Callable[[], None]:
        """Calls `callback` with each `event`; returns a function that unregisters it."""
        if event not in self._listeners:
            raise ValueError(f"unknown event {event!r}; the events are {', '.join(EVENTS)}")
        with self._lock:
            self._listeners[event].append(callback)

        def off() -> None:
            with self._lock:
                if callback in self._listeners[event]:
                    self._listeners[event].remove(callback)

        return off

    def _emit(self, event: str, value: Any) -> None:
        """Queues an event for the callbacks. It never blocks, so it may be called under the
        lock, which keeps the events in the order of the changes they report."""
        with self._lock:
            if self._dispatcher is None:
                self._dispatcher = threading.Thread(target=self._dispatch, daemon=True,
                                                    name="shield-helper events")
                self._dispatcher.start()
            self._events.put((event, value))

    def _dispatch(self) -> None:
        while True:
            item = self._events.get()
            if item is None:
                return
            event, value = item
            with self._lock:
                listeners = list(self._listeners[event])
            for callback in listeners:
                try:
                    callback(value)
                except Exception:  # A host's faulty callback must not stop the others.
                    traceback.print_exc()

    # Public operations ------------------------------------------------------------------------

    @property
    def last_status(self) -> Optional[Status]:
        """The last status the helper reported: ready, a reply or an unsolicited one."""
        with self._lock:
            return self._last_status

    @property
    def pid(self) -> Optional[int]:
        """The process id of the helper now running, if any."""
        with self._lock:
            return self._session.process.pid if self._session else None

    def start(self) -> Status:
        """Starts the helper and returns its "ready" message."""
        with self._lock:
            if self._state != "idle":
                raise ShieldHelperError(f"start() cannot be called now: the helper is {self._state}")
            binary = resolve_binary(self._binary_path)
            self._state = "starting"
            session = self._spawn(binary)
        try:
            ready = self._await_ready(session, binary)
        except BaseException:
            with self._lock:
                if self._state == "starting":
                    self._state = "idle"
            raise
        with self._lock:
            if self._state == "starting":
                self._state = "running"
                self._changed.notify_all()
        return ready

    def block(self, targets: Sequence[Union[Target, Mapping[str, Any]]],
              ends_at: Union[datetime, float, int, None] = None) -> Status:
        """Blocks `targets` until `ends_at` (no end without it): the "start" command."""
        return self._block_command("start", targets, ends_at)

    def update(self, targets: Sequence[Union[Target, Mapping[str, Any]]],
               ends_at: Union[datetime, float, int, None] = None) -> Status:
        """Replaces the block's targets and end time: the "update" command."""
        return self._block_command("update", targets, ends_at)

    def stop(self) -> Status:
        """Ends the block."""
        with self._lock:
            if self._state in ("running", "restarting"):
                self._block = None
        return self._request("stop", {})

    def permission_status(self) -> Status:
        return self._request("permission-status", {})

    def request_permission(self, prompt: Optional[bool] = None) -> Status:
        fields = {} if prompt is None else {"permissionPrompt": bool(prompt)}
        return self._request("request-permission", fields)

    def close(self, timeout: float = DEFAULT_CLOSE_TIMEOUT) -> Optional[int]:
        """Ends the helper with "shutdown", kills it when it has not exited after `timeout`
        seconds, and returns its exit code (None when it was killed or never ran)."""
        with self._lock:
            if self._restart_timer is not None:
                self._restart_timer.cancel()
                self._restart_timer = None
            session = self._session
            if self._state in ("closing", "closed"):
                pass
            elif session is None or session.ended:
                self._state = "closed"
                self._changed.notify_all()
                if self._dispatcher is not None:
                    self._events.put(None)
                    self._dispatcher = None
                return None
            else:
                self._state = "closing"
                self._changed.notify_all()
                session.write('{"command":"shutdown"}\n')
                with session.write_lock:
                    try:
                        session.process.stdin.close()
                    except OSError:
                        pass
            deadline = time.monotonic() + timeout
            while self._state != "closed":
                remaining = deadline - time.monotonic()
                if remaining <= 0 and session is not None and not session.ended:
                    session.process.kill()
                    deadline = float("inf")
                    continue
                self._changed.wait(None if remaining == float("inf") else max(remaining, 0.001))
            if self._dispatcher is not None:
                self._events.put(None)
                self._dispatcher = None
            return self._exit_code

    def __enter__(self) -> "ShieldHelper":
        self.start()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # Requests ---------------------------------------------------------------------------------

    def _block_command(self, command: str, targets: Sequence[Any], ends_at: Any) -> Status:
        if isinstance(targets, (str, bytes)) or not isinstance(targets, Sequence):
            raise TypeError("targets must be a sequence of targets")
        fields: Dict[str, Any] = {"targets": [_target_fields(t, i) for i, t in enumerate(targets)]}
        ms = _ends_at_ms(ends_at)
        if ms is not None:
            fields["endsAt"] = ms
        with self._lock:
            if self._state in ("running", "restarting"):
                self._block = fields
        return self._request(command, fields)

    def _request(self, command: str, fields: Dict[str, Any]) -> Status:
        with self._lock:
            # While the helper restarts, requests wait for it and go after the replayed block.
            while self._state == "restarting":
                self._changed.wait()
            if self._state != "running":
                raise HelperNotRunningError(f'cannot send "{command}": {self._not_running_reason()}')
            future = self._send(self._session, command, fields)
        return self._wait_reply(future, command)

    def _not_running_reason(self) -> str:
        if self._state == "idle":
            return "start() has not been called"
        if self._state == "starting":
            return "start() has not returned yet"
        if self._state == "failed":
            return str(self._fatal_error or "the helper failed")
        return "the helper was closed"

    def _send(self, session: _Session, command: str, fields: Dict[str, Any]) -> Future:
        """Writes one request; the caller holds the lock, so requests leave in id order."""
        request_id = self._next_request_id
        self._next_request_id += 1
        future: Future = Future()
        future.request_id = request_id  # type: ignore[attr-defined]
        self._pending[request_id] = (command, future)
        # ASCII with escapes: a string the host holds can always be written that way.
        message = {"command": command, "requestId": request_id, **fields}
        session.write(json.dumps(message, separators=(",", ":")) + "\n")
        return future

    def _wait_reply(self, future: Future, command: str) -> Status:
        try:
            return future.result(self._request_timeout)
        except FutureTimeout:
            with self._lock:
                self._pending.pop(future.request_id, None)  # type: ignore[attr-defined]
            if future.done() and not future.cancelled() and future.exception() is None:
                return future.result()
            raise RequestTimeoutError(
                f'shield-helper did not answer "{command}" within {self._request_timeout:g} s'
            ) from None

    def _write_raw(self, text: str) -> None:
        """Writes `text` to the helper as it is: for tests of the helper's answer to lines this
        library never writes."""
        with self._lock:
            if self._session is None:
                raise HelperNotRunningError("the helper is not running")
            self._session.write(text)

    # The child process ------------------------------------------------------------------------

    def _spawn(self, binary: str) -> _Session:
        """Starts a helper process and its reader threads; the caller holds the lock."""
        try:
            # In a session (and process group) of its own, the helper does not get the signals a
            # terminal sends to the host's foreground group: a Ctrl-C meant for the host would
            # otherwise kill it in the middle of the host's own clean-up. It still ends with the
            # host, at the end of its standard input.
            process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, close_fds=True,
                                       start_new_session=True)
        except OSError as error:
            session = _Session.__new__(_Session)
            session.process = None  # type: ignore[assignment]
            session.ready = Future()
            session.ended = True
            session.ready_timed_out = False
            session.stderr_tail = deque()
            session.write_lock = threading.Lock()
            session.ready.set_exception(
                HelperExitedError(f"shield-helper could not be started: {error}"))
            return session
        session = _Session(process)
        self._session = session
        session.stderr_reader = threading.Thread(target=self._read_stderr, args=(session,),
                                                 daemon=True, name="shield-helper stderr")
        session.stderr_reader.start()
        threading.Thread(target=self._read_stdout, args=(session,), daemon=True,
                         name="shield-helper stdout").start()
        return session

    def _await_ready(self, session: _Session, binary: str) -> Status:
        try:
            return session.ready.result(self._request_timeout)
        except FutureTimeout:
            session.ready_timed_out = True
            session.process.kill()
            raise HelperExitedError(
                f'shield-helper ({binary}) wrote no "ready" line within '
                f"{self._request_timeout:g} s") from None

    def _read_stdout(self, session: _Session) -> None:
        for raw in session.process.stdout:
            self._on_line(session, raw.decode("utf-8", errors="replace").rstrip("\n"))
        session.process.stdout.close()
        # Everything the helper wrote to standard error is passed on before its exit is.
        session.stderr_reader.join()
        code = session.process.wait()
        with session.write_lock:
            try:
                session.process.stdin.close()
            except OSError:
                pass
        self._on_end(session, code)

    def _read_stderr(self, session: _Session) -> None:
        for raw in session.process.stderr:
            line = raw.decode("utf-8", errors="replace").rstrip("\n")
            session.stderr_tail.append(line)
            with self._lock:
                current = session is self._session
            if current:
                self._emit("stderr", line)
        session.process.stderr.close()

    def _on_line(self, session: _Session, text: str) -> None:
        with self._lock:
            if session is not self._session:
                return
        try:
            message = json.loads(text)
        except ValueError:
            self._emit("protocol_error", f"unreadable line from shield-helper: {text[:200]}")
            return
        if not isinstance(message, dict) or not isinstance(message.get("type"), str):
            self._emit("protocol_error", f"message without a type from shield-helper: {text[:200]}")
            return
        kind = message["type"]
        if kind == "ready":
            if session.ready.done():
                self._emit("protocol_error", 'shield-helper wrote a second "ready" line')
                return
            status = Status.from_message(message)
            with self._lock:
                self._last_status = status
            session.ready.set_result(status)
        elif kind == "status":
            status = Status.from_message(message)
            with self._lock:
                self._last_status = status
                pending = self._pending.pop(status.request_id, None) \
                    if status.request_id is not None else None
            if status.request_id is None:
                self._emit("status", status)
            elif pending is not None:
                # A reply that comes after its request timed out has nobody waiting for it.
                pending[1].set_result(status)
        elif kind == "accessAttempt":
            self._emit("access_attempt", AccessAttempt(message["targetId"], message["appName"],
                                                       message["occurredAt"]))
        elif kind == "error":
            # Every command line is built here, so an error means a bug on one side or the
            # other, never a reason to fail whichever request happens to be waiting.
            self._emit("protocol_error", message.get("message", text))
        # A newer helper may send messages this library does not know; they are not errors.

    def _on_end(self, session: _Session, returncode: int) -> None:
        if returncode < 0:
            try:
                signal_name: Optional[str] = signal.Signals(-returncode).name
            except ValueError:
                signal_name = f"signal {-returncode}"
            code: Optional[int] = None
        else:
            signal_name, code = None, returncode
        exit_text = f"exited ({_describe_exit(code, signal_name)})"
        events: List[tuple] = []
        with self._lock:
            session.ended = True
            was_ready = session.ready.done() and session.ready.exception() is None
            if not session.ready.done():
                tail = "; its last error output: " + " | ".join(session.stderr_tail) \
                    if session.stderr_tail else ""
                session.ready.set_exception(
                    HelperExitedError(f"shield-helper {exit_text} before it was ready{tail}"))
            if session is not self._session:
                return
            self._session = None
            pending, self._pending = self._pending, {}
            for command, future in pending.values():
                future.set_exception(
                    HelperExitedError(f'shield-helper {exit_text} before answering "{command}"'))
            if self._state == "closing":
                self._state = "closed"
                self._exit_code = code
                self._changed.notify_all()
                events.append(("exit", ExitInfo(code, signal_name, False)))
            elif self._state == "starting":
                events.append(("exit", ExitInfo(code, signal_name, False)))
            elif self._state in ("running", "restarting"):
                events.extend(self._supervise(was_ready, session.ready_timed_out, code,
                                              signal_name, exit_text))
            for event, value in events:
                self._emit(event, value)

    def _supervise(self, was_ready: bool, ready_timed_out: bool, code: Optional[int],
                   signal_name: Optional[str], exit_text: str) -> list:
        """Decides whether to restart after an unexpected exit; the caller holds the lock and
        emits the returned events. While a block is active the helper is given up only when it
        cannot be started at all: killing it, however often, must not lift the block."""
        policy = self._restart
        if policy is None:
            return self._give_up(code, signal_name, HelperExitedError(
                f"shield-helper {exit_text}; restarting is off"))
        now = time.monotonic()
        self._exit_times = [t for t in self._exit_times if now - t < policy.window]
        self._exit_times.append(now)
        # A start failed when the helper ended by itself before it was ready (or could not be
        # spawned, or stayed silent). One killed by a signal before it was ready may just have
        # been killed by someone, so it neither counts nor breaks a run of failed starts.
        if was_ready:
            self._failed_starts = 0
        elif signal_name is None or ready_timed_out:
            self._failed_starts += 1
        block = self._block
        ends_at = block.get("endsAt") if block else None
        block_active = block is not None and (ends_at is None or ends_at > time.time() * 1000.0)
        if self._failed_starts >= max(policy.max_restarts, 1):
            reason: Optional[str] = (f"{self._failed_starts} restarts in a row ended before it "
                                     "was ready")
        elif not block_active and len(self._exit_times) > policy.max_restarts:
            reason = (f"it ended {len(self._exit_times)} times within {policy.window:g} s while "
                      "no block was active")
        else:
            reason = None
        if reason is not None:
            return self._give_up(code, signal_name, HelperExitedError(
                f"shield-helper {exit_text}; {reason}, so it is not restarted again"))
        self._state = "restarting"
        doublings = min(len(self._exit_times) - 1, 30)
        delay = min(policy.backoff * 2 ** doublings, policy.max_backoff)
        self._restart_timer = threading.Timer(delay, self._restart_now)
        self._restart_timer.daemon = True
        self._restart_timer.start()
        return [("exit", ExitInfo(code, signal_name, True))]

    def _give_up(self, code: Optional[int], signal_name: Optional[str],
                 error: Exception) -> list:
        self._state = "failed"
        self._fatal_error = error
        self._changed.notify_all()
        return [("exit", ExitInfo(code, signal_name, False)), ("fatal", error)]

    def _restart_now(self) -> None:
        with self._lock:
            self._restart_timer = None
            if self._state != "restarting":
                return
            try:
                binary = resolve_binary(self._binary_path)
            except BinaryNotFoundError as error:
                self._state = "failed"
                self._fatal_error = error
                self._changed.notify_all()
                fatal: Optional[Exception] = error
            else:
                fatal = None
                session = self._spawn(binary)
                if session.process is None:
                    # Starting failed outright: supervised like any other exit.
                    for event, value in self._supervise(False, False, None, None,
                                                        "could not be started"):
                        self._emit(event, value)
                    return
            if fatal is not None:
                self._emit("fatal", fatal)
                return
        try:
            status = self._await_ready(session, binary)
            with self._lock:
                if session is not self._session or self._state != "restarting":
                    return
                block = self._block
                ends_at = block.get("endsAt") if block else None
                if block is not None and (ends_at is None or ends_at > time.time() * 1000.0):
                    future = self._send(session, "start", block)
                else:
                    self._block = future = None
            if future is not None:
                status = self._wait_reply(future, "start")
        except ShieldHelperError:
            # The new helper ended (its exit is being supervised) or did not answer: ending it
            # hands it to the same supervision.
            if session.process is not None and not session.ended:
                session.process.kill()
            return
        with self._lock:
            if session is not self._session or self._state != "restarting":
                return
            self._state = "running"
            self._changed.notify_all()
            self._emit("restarted", status)
