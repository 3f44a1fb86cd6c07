"""A host's side of shield-helper: finds the binary, starts it as a child process, speaks its
line protocol (one JSON object per line each way), matches replies to requests, and keeps the
helper running by restarting it and replaying the block when it ends unexpectedly.

Standard library only. ShieldHelper is the threaded interface: every method may be called from
any thread, and callbacks run one at a time, in the order of the events, on a thread of their
own. AsyncShieldHelper (in _aio.py) is the asyncio interface to the same machinery.
"""

from __future__ import annotations

import errno
import json
import os
import platform
import queue
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback
import warnings
from collections import deque
from concurrent.futures import Future
from concurrent.futures import TimeoutError as FutureTimeout
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

__version__ = "0.1.0"

__all__ = [
    "AccessAttempt",
    "AsyncShieldHelper",
    "BinaryNotFoundError",
    "EVENTS",
    "ExitInfo",
    "HelperEvent",
    "HelperExitedError",
    "HelperNotRunningError",
    "RequestTimeoutError",
    "RestartPolicy",
    "STATES",
    "ShieldHelper",
    "ShieldHelperError",
    "ShieldHelperWarning",
    "Status",
    "Target",
    "resolve_binary",
]

DEFAULT_REQUEST_TIMEOUT = 5.0
DEFAULT_CLOSE_TIMEOUT = 5.0

EVENTS = ("status", "access_attempt", "protocol_error", "stderr", "exit", "restarted", "fatal",
          "state", "warning")

# The states a ShieldHelper passes through, as its `state` attribute and "state" events name
# them: idle -> starting -> running; running <-> restarting after an unexpected exit; failed when
# supervision gives up; closing -> closed after close(). reset() leads from failed or closed back
# to idle.
STATES = ("idle", "starting", "running", "restarting", "closing", "closed", "failed")


class ShieldHelperError(Exception):
    """Base class of this module's errors."""


class BinaryNotFoundError(ShieldHelperError, FileNotFoundError):
    """No helper binary where the module looked; the message says where that was."""


class RequestTimeoutError(ShieldHelperError, TimeoutError):
    """The helper did not answer a request in time."""


class HelperExitedError(ShieldHelperError):
    """The helper ended (or could not be started) before answering."""


class HelperNotRunningError(ShieldHelperError):
    """A request was made while no helper can take it: before start(), after close(), or
    after supervision gave up."""


class ShieldHelperWarning(UserWarning):
    """Issued through the warnings module for a "warning" event that no callback listens to,
    such as a helper of another version than this module's."""


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
    # With the permission "denied" where no user grants it (Linux): why nothing can be shielded,
    # for example "no-display" or "companion-missing" (docs/protocol.md lists the codes).
    reason: Optional[str] = None
    # Said in "ready" only; None from a helper older than the version field.
    version: Optional[str] = None

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
            reason=message.get("reason"),
            version=message.get("version"),
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


# Finding the binary ---------------------------------------------------------------------------

def _machine() -> str:
    """The architecture in the names the packed binaries use (those of Node: x64, arm64)."""
    machine = platform.machine().lower()
    return {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "arm64": "arm64"}.get(
        machine, machine)


def _platform_arch() -> str:
    """The running platform in the names the packed binaries use, those of Node: linux-x64,
    darwin-arm64, win32-x64 (sys.platform is "win32" on 64-bit Windows too, and
    platform.machine() "AMD64" there)."""
    return f"{sys.platform}-{_machine()}"


def _windows() -> bool:
    return sys.platform == "win32"


def _packed_binary() -> str:
    """Where a wheel built for this platform carries the helper, inside this package."""
    name = "shield-helper.exe" if _windows() else "shield-helper"
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin", _platform_arch(),
                        name)


def _has_extension(path: str) -> bool:
    """Whether the file name has an extension as Windows reads one: a dot with something
    after it."""
    base = os.path.basename(path)
    dot = base.find(".")
    return 0 <= dot < len(base) - 1


def _named_file(place: str, given: str) -> str:
    """The file a host named itself. A name that holds no file is an error rather than a reason
    to look elsewhere: the host asked for that binary, and quietly starting another one (of
    another version, perhaps) would hide the mistake. On Windows a name without an extension
    means the .exe of that name, as cmd.exe and Node's library read it."""
    path = os.path.abspath(given)
    if _windows() and not _has_extension(path) and os.path.isfile(path + ".exe"):
        return path + ".exe"
    if os.path.isfile(path):
        return path
    what = "a directory, not the helper binary" if os.path.isdir(path) else "no such file"
    raise BinaryNotFoundError(
        f"shield-helper binary not found: {place} names {path} ({what}). When {place} is set, "
        "no other place is looked at.")


def resolve_binary(binary_path: Optional[str] = None) -> str:
    """Where start() finds the binary: `binary_path` when given, else $SHIELD_HELPER_PATH when
    set (either one that names no file raises BinaryNotFoundError), else the binary packed in
    this package for the running platform and architecture (bin/win32-x64/shield-helper.exe on
    64-bit Windows), else `shield-helper` on $PATH (where the Debian package installs it;
    shield-helper.exe on Windows). Raises BinaryNotFoundError naming every place it looked
    when none holds the binary."""
    if binary_path is not None:
        return _named_file("binary_path", os.fspath(binary_path))
    from_environment = os.environ.get("SHIELD_HELPER_PATH")
    # An empty value counts as unset, as a shell's "SHIELD_HELPER_PATH= host" means it.
    if from_environment:
        return _named_file("$SHIELD_HELPER_PATH", from_environment)
    packed = _packed_binary()
    if os.path.isfile(packed):
        return packed
    # On Windows, which() tries the name with each extension of $PATHEXT, and so finds
    # shield-helper.exe.
    on_path = shutil.which("shield-helper")
    if on_path:
        return os.path.abspath(on_path)
    raise BinaryNotFoundError("shield-helper binary not found. Looked at:\n  " + "\n  ".join([
        "binary_path: not set",
        "$SHIELD_HELPER_PATH: not set",
        f"the binary packed for {_platform_arch()}: {packed} (no such file)",
        "$PATH: no executable shield-helper in any of its directories",
    ]))


def _spawn_failure(binary: str, cwd: Optional[str], error: OSError) -> HelperExitedError:
    """The error for a helper that could not be started, with a hint at the usual causes."""
    hint = ""
    if cwd is not None and not os.path.isdir(cwd):
        hint = f" (cwd {cwd} is no directory)"
    elif error.errno == errno.EACCES and _windows():
        # Windows has no execute permission; access is denied by the file's ACL, by a policy
        # such as AppLocker, or while another program holds the file open for writing.
        hint = (" (Windows denied starting the file: this user may not execute it, a policy "
                "blocks it, or it is still being written)")
    elif error.errno == errno.EACCES:
        if os.path.isfile(binary) and not os.access(binary, os.X_OK):
            hint = f" (the file is not executable: chmod +x {shlex.quote(binary)})"
        else:
            hint = (" (the file may not be executed here: on a file system mounted noexec, or "
                    "below a directory this user may not enter)")
    elif error.errno == errno.ENOEXEC:
        hint = (" (the file is not a program for this machine: built for another system or "
                "architecture?)")
    return HelperExitedError(f"shield-helper could not be started: {error}{hint}")


# Building command lines -----------------------------------------------------------------------

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


def _targets_fields(targets: Any) -> List[Dict[str, str]]:
    if isinstance(targets, (str, bytes)) or not isinstance(targets, Sequence):
        raise TypeError("targets must be a sequence of targets")
    return [_target_fields(t, i) for i, t in enumerate(targets)]


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


# Process creation flags of Windows (subprocess defines them only there).
_DETACHED_PROCESS = 0x00000008
_CREATE_NEW_PROCESS_GROUP = 0x00000200


def _popen_options() -> Dict[str, Any]:
    """How the helper is started apart from the host's terminal, so that a Ctrl-C meant for the
    host does not kill it in the middle of the host's own clean-up. On Linux and macOS: in a
    session (and process group) of its own, out of reach of the signals a terminal sends to the
    host's foreground group. On Windows: without a console (DETACHED_PROCESS, in a process group
    of its own), so that a Ctrl-C in the host's console does not reach it and Windows opens no
    console window for it when the host has none; its standard streams are the pipes all the
    same. Node's library starts it with the same flags."""
    if _windows():
        return {"creationflags": _DETACHED_PROCESS | _CREATE_NEW_PROCESS_GROUP}
    return {"start_new_session": True}


def _exit_status(returncode: int, killed: bool) -> Tuple[Optional[int], Optional[str]]:
    """The exit code and the signal's name of an ended helper, one of them None. Popen gives
    a signal as a negative returncode. Windows has no signals: Popen.kill() is TerminateProcess
    there, which leaves exit status 1, and a helper this library killed is reported as killed by
    SIGKILL, as on Linux and as Node reports it (so close() returns None for it everywhere). A
    helper ended from outside (Task Manager, taskkill /F) cannot be told from one that exited
    with status 1."""
    if returncode < 0:
        try:
            return None, signal.Signals(-returncode).name
        except ValueError:
            return None, f"signal {-returncode}"
    if killed and _windows() and returncode == 1:
        return None, "SIGKILL"
    return returncode, None


def _describe_exit(code: Optional[int], signal_name: Optional[str]) -> str:
    if signal_name:
        return f"killed by {signal_name}"
    return f"exit code {code}"


# The child process and the requests to it -----------------------------------------------------

class _Session:
    """One child process and what is known about it."""

    def __init__(self, process: Optional[subprocess.Popen]):
        self.process = process
        self.ready: Future = Future()
        self.ended = process is None
        # The library killed it because it wrote no "ready" line in time.
        self.ready_timed_out = False
        # The library killed it (for any reason), which on Windows its exit status cannot say.
        self.killed = False
        self.stderr_tail: deque = deque(maxlen=10)
        self.stderr_reader: Optional[threading.Thread] = None
        # Lines to write, in order; None closes the helper's input. A thread of the session's
        # own writes them, so that no caller (an event loop least of all) ever waits on a pipe
        # that a hung helper has stopped reading.
        self.outbox: queue.SimpleQueue = queue.SimpleQueue()
        self.input_closed = False
        if process is not None:
            threading.Thread(target=self._write_all, daemon=True,
                             name="shield-helper stdin").start()

    def kill(self) -> None:
        """Kills the helper: SIGKILL, or TerminateProcess on Windows."""
        self.killed = True
        self.process.kill()

    def write(self, text: str) -> None:
        if not self.input_closed:
            self.outbox.put(text.encode())

    def close_input(self) -> None:
        """Closes the helper's input once everything written before has gone out."""
        if not self.input_closed:
            self.input_closed = True
            self.outbox.put(None)

    def _write_all(self) -> None:
        broken = False
        while True:
            data = self.outbox.get()
            if data is None:
                break
            if broken:
                continue
            try:
                self.process.stdin.write(data)
                self.process.stdin.flush()
            except (BrokenPipeError, OSError, ValueError):
                # The helper is gone; its exit is handled by the reader, not here.
                broken = True
        try:
            self.process.stdin.close()
        except (BrokenPipeError, OSError):
            pass


class _Request:
    """One request from the host. `sent` is done once the line is written (or fails with the
    reason it never will be, when the helper stops for good while the request waits for a
    restart); `reply` then holds the helper's answer or the exit that prevented it. Both
    interfaces submit requests the same way and differ only in how they wait for these."""

    __slots__ = ("command", "fields", "id", "sent", "reply")

    def __init__(self, command: str, fields: Dict[str, Any]):
        self.command = command
        self.fields = fields
        self.id: Optional[int] = None
        self.sent: Future = Future()
        self.reply: Future = Future()


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
    - "state" (str): the `state` attribute changed to this value (one of STATES)
    - "warning" (str): something works but is not as it should be, such as a helper of another
      version than this module's
    """

    def __init__(self, binary_path: Optional[str] = None,
                 request_timeout: float = DEFAULT_REQUEST_TIMEOUT,
                 restart: Union[RestartPolicy, bool] = True, *,
                 env: Optional[Mapping[str, str]] = None,
                 cwd: Optional[str] = None):
        if not request_timeout > 0:
            raise ValueError("request_timeout must be positive")
        if binary_path is not None:
            binary_path = os.fspath(binary_path)
            if not binary_path:
                raise ValueError("binary_path must name the helper binary when given")
        if env is not None:
            # Checked here rather than by the spawn, which would fail with a TypeError in the
            # middle of a restart; copied, so that later changes to the host's mapping do not
            # reach the helpers started after them.
            if not all(isinstance(k, str) and isinstance(v, str) for k, v in env.items()):
                raise TypeError("env must map strings to strings")
            env = dict(env)
        self._binary_path = binary_path
        self._request_timeout = request_timeout
        self._env: Optional[Dict[str, str]] = env
        self._cwd = None if cwd is None else os.fspath(cwd)
        if restart is True:
            restart = RestartPolicy()
        self._restart: Optional[RestartPolicy] = restart or None
        self._lock = threading.RLock()
        self._state = "idle"
        self._session: Optional[_Session] = None
        self._next_request_id = 1
        self._pending: Dict[int, _Request] = {}
        # Requests made while the helper restarts, sent in order once it runs again.
        self._deferred: List[_Request] = []
        self._block: Optional[Dict[str, Any]] = None
        self._last_status: Optional[Status] = None
        self._exit_times: List[float] = []
        self._failed_starts = 0
        self._restart_timer: Optional[threading.Timer] = None
        self._fatal_error: Optional[Exception] = None
        self._exit_code: Optional[int] = None
        self._closed: Optional[Future] = None
        # The helper version last warned about, so that each restart of the same mismatched
        # binary does not warn again.
        self._warned_version: Tuple[bool, Optional[str]] = (False, None)
        self._listeners: Dict[str, List[Callable[[Any], None]]] = {name: [] for name in EVENTS}
        self._dispatcher: Optional[Tuple[threading.Thread, queue.SimpleQueue]] = None
        self._last_dispatcher: Optional[threading.Thread] = None

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

    def _has_listeners(self, event: str) -> bool:
        with self._lock:
            return bool(self._listeners[event])

    def _emit(self, event: str, value: Any) -> None:
        """Queues an event for the callbacks. It never blocks, so it may be called under the
        lock, which keeps the events in the order of the changes they report."""
        with self._lock:
            if self._dispatcher is None:
                # Each dispatcher has a queue of its own and first waits for the one before it
                # (stopped by close()) to finish, so that a restart after reset() cannot run
                # callbacks beside the last ones of the run before.
                events: queue.SimpleQueue = queue.SimpleQueue()
                thread = threading.Thread(target=self._dispatch,
                                          args=(events, self._last_dispatcher),
                                          daemon=True, name="shield-helper events")
                self._dispatcher = (thread, events)
                thread.start()
            self._dispatcher[1].put((event, value))

    def _stop_dispatcher(self) -> None:
        """Lets the callback thread end once it has delivered every event queued so far."""
        with self._lock:
            if self._dispatcher is not None:
                thread, events = self._dispatcher
                events.put(None)
                self._last_dispatcher = thread
                self._dispatcher = None

    def _dispatch(self, events: queue.SimpleQueue, previous: Optional[threading.Thread]) -> None:
        if previous is not None and previous is not threading.current_thread():
            previous.join()
        while True:
            item = events.get()
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

    def _set_state(self, state: str) -> None:
        """Moves to `state` and reports it; the caller holds the lock. Requests that wait for a
        restart go out when the helper runs again, and fail when it stops for good instead."""
        previous = self._state
        if state == previous:
            return
        self._state = state
        self._emit("state", state)
        if state == "running":
            deferred, self._deferred = self._deferred, []
            for request in deferred:
                self._write_request(self._session, request)
        elif previous == "restarting":
            deferred, self._deferred = self._deferred, []
            reason = self._not_running_reason()
            for request in deferred:
                request.sent.set_exception(
                    HelperNotRunningError(f'cannot send "{request.command}": {reason}'))
        if state == "closed" and self._closed is not None and not self._closed.done():
            self._closed.set_result(self._exit_code)

    def _check_version(self, ready: Status, binary: str) -> None:
        """Warns when the helper is not of this module's version. A warning rather than an
        error: the protocol has stayed compatible so far, and a host whose helper comes from
        elsewhere (the Debian package, $SHIELD_HELPER_PATH) should not stop working because one
        of the two was upgraded first. Without a "warning" callback it goes to the warnings
        module, so that it is not lost."""
        version = ready.version
        if version == __version__:
            return
        with self._lock:
            if self._warned_version == (True, version):
                return
            self._warned_version = (True, version)
            if version is None:
                message = (f"shield-helper ({binary}) reported no version: it is older than this "
                           f"library ({__version__}); use the helper of the same version")
            else:
                message = (f"shield-helper ({binary}) is version {version}, but this library is "
                           f"{__version__}; use the helper of the same version")
            listened = self._has_listeners("warning")
            self._emit("warning", message)
        if not listened:
            warnings.warn(message, ShieldHelperWarning, stacklevel=4)

    # Public operations ------------------------------------------------------------------------

    @property
    def state(self) -> str:
        """One of STATES; each change is also a "state" event."""
        with self._lock:
            return self._state

    @property
    def last_status(self) -> Optional[Status]:
        """The last status the helper reported: ready, a reply or an unsolicited one. None
        before the first and after the helper ended: its shields end with its process."""
        with self._lock:
            return self._last_status

    @property
    def pid(self) -> Optional[int]:
        """The process id of the helper now running, if any."""
        with self._lock:
            session = self._session
            return session.process.pid if session and session.process else None

    def start(self) -> Status:
        """Starts the helper and returns its "ready" message."""
        session, binary = self._begin_start()
        try:
            ready = self._await_ready(session, binary)
        except BaseException:
            self._start_failed(session)
            raise
        return self._start_succeeded(ready, binary)

    def block(self, targets: Sequence[Union[Target, Mapping[str, Any]]],
              ends_at: Union[datetime, float, int, None] = None) -> Status:
        """Blocks `targets` until `ends_at` (no end without it): the "start" command."""
        return self._wait(self._submit_block("start", targets, ends_at))

    def update(self, targets: Optional[Sequence[Union[Target, Mapping[str, Any]]]] = None,
               ends_at: Union[datetime, float, int, None] = None) -> Status:
        """Changes the block: the "update" command. Without `targets` the block keeps the
        targets it has; `ends_at` replaces the end time (no end without it)."""
        return self._wait(self._submit_block("update", targets, ends_at))

    def stop(self) -> Status:
        """Ends the block."""
        return self._wait(self._submit_stop())

    def permission_status(self) -> Status:
        return self._wait(self._submit("permission-status", {}))

    def request_permission(self, prompt: Optional[bool] = None) -> Status:
        return self._wait(self._submit_request_permission(prompt))

    def close(self, timeout: float = DEFAULT_CLOSE_TIMEOUT) -> Optional[int]:
        """Ends the helper with "shutdown", kills it when it has not exited after `timeout`
        seconds, and returns its exit code (None when it was killed or never ran)."""
        closed = self._begin_close()
        try:
            code = closed.result(timeout)
        except FutureTimeout:
            self._kill_for_close()
            code = closed.result()
        self._stop_dispatcher()
        return code

    def reset(self) -> None:
        """Makes a helper that failed (after "fatal") or was closed startable again: back to
        "idle", with no block, no restart history and no last status. Nothing is replayed: the
        host blocks again after start() if it wants to."""
        with self._lock:
            if self._state == "idle":
                return
            if self._state not in ("failed", "closed"):
                raise ShieldHelperError(f"reset() cannot be called now: the helper is {self._state}"
                                        "; only a failed or closed helper can be reset")
            self._block = None
            self._fatal_error = None
            self._exit_times = []
            self._failed_starts = 0
            self._last_status = None
            self._exit_code = None
            self._closed = None
            self._warned_version = (False, None)
            self._set_state("idle")

    def __enter__(self) -> "ShieldHelper":
        self.start()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # Starting and closing, in steps both interfaces share -------------------------------------

    def _begin_start(self) -> Tuple[_Session, str]:
        with self._lock:
            if self._state != "idle":
                raise ShieldHelperError(
                    f"start() cannot be called now: the helper is {self._state}")
            binary = resolve_binary(self._binary_path)
            self._set_state("starting")
            return self._spawn(binary), binary

    def _ready_timed_out(self, session: _Session, binary: str) -> HelperExitedError:
        session.ready_timed_out = True
        session.kill()
        return HelperExitedError(f'shield-helper ({binary}) wrote no "ready" line within '
                                 f"{self._request_timeout:g} s")

    def _await_ready(self, session: _Session, binary: str) -> Status:
        try:
            return session.ready.result(self._request_timeout)
        except FutureTimeout:
            raise self._ready_timed_out(session, binary) from None

    def _start_failed(self, session: _Session) -> None:
        with self._lock:
            # A start that was interrupted (a KeyboardInterrupt, a cancelled task) leaves no
            # helper behind that nobody would close.
            if not session.ended:
                session.kill()
            if self._state == "starting":
                self._set_state("idle")

    def _start_succeeded(self, ready: Status, binary: str) -> Status:
        with self._lock:
            if self._state == "starting":
                self._set_state("running")
        self._check_version(ready, binary)
        return ready

    def _begin_close(self) -> Future:
        """Asks the helper to end; returns a future of its exit code, done once it is closed."""
        with self._lock:
            if self._restart_timer is not None:
                self._restart_timer.cancel()
                self._restart_timer = None
            if self._closed is None:
                self._closed = Future()
            if self._state in ("closing", "closed"):
                return self._closed
            session = self._session
            if session is None or session.ended:
                self._exit_code = None
                self._set_state("closed")
                return self._closed
            self._set_state("closing")
            session.write('{"command":"shutdown"}\n')
            session.close_input()
            return self._closed

    def _kill_for_close(self) -> None:
        with self._lock:
            session = self._session
            if session is not None and not session.ended:
                session.kill()

    # Requests ---------------------------------------------------------------------------------

    def _submit(self, command: str, fields: Dict[str, Any]) -> _Request:
        """Writes a request, or keeps it for after the restart under way; never blocks."""
        with self._lock:
            request = _Request(command, fields)
            if self._state == "running":
                self._write_request(self._session, request)
            elif self._state == "restarting":
                self._deferred.append(request)
            else:
                raise HelperNotRunningError(
                    f'cannot send "{command}": {self._not_running_reason()}')
            return request

    def _submit_block(self, command: str, targets: Any, ends_at: Any) -> _Request:
        given = None if targets is None else _targets_fields(targets)
        ms = _ends_at_ms(ends_at)
        with self._lock:
            if self._state not in ("running", "restarting"):
                return self._submit(command, {})  # Raises the reason.
            if given is None:
                if self._block is None:
                    raise ShieldHelperError(
                        f'"{command}" without targets keeps the targets of the block, but there '
                        "is no block (none was started, or stop() ended it): give the targets")
                given = self._block["targets"]
            fields: Dict[str, Any] = {"targets": given}
            if ms is not None:
                fields["endsAt"] = ms
            # Recorded with the targets always spelled out, so that a replay after a restart
            # sends the whole block to a helper that knows nothing of it.
            self._block = fields
            return self._submit(command, fields)

    def _submit_stop(self) -> _Request:
        with self._lock:
            if self._state in ("running", "restarting"):
                self._block = None
            return self._submit("stop", {})

    def _submit_request_permission(self, prompt: Optional[bool]) -> _Request:
        fields = {} if prompt is None else {"permissionPrompt": bool(prompt)}
        return self._submit("request-permission", fields)

    def _not_running_reason(self) -> str:
        if self._state == "idle":
            return "start() has not been called"
        if self._state == "starting":
            return "start() has not returned yet"
        if self._state == "failed":
            return str(self._fatal_error or "the helper failed")
        return "the helper was closed"

    def _write_request(self, session: _Session, request: _Request) -> None:
        """Writes one request; the caller holds the lock, so requests leave in id order."""
        request.id = self._next_request_id
        self._next_request_id += 1
        self._pending[request.id] = request
        # ASCII with escapes: a string the host holds can always be written that way.
        message = {"command": request.command, "requestId": request.id, **request.fields}
        session.write(json.dumps(message, separators=(",", ":")) + "\n")
        request.sent.set_result(None)

    def _abandon(self, request: _Request) -> None:
        """Forgets a request nobody waits for any more (timed out or cancelled): a reply that
        still comes reaches nobody, and a request still waiting for a restart is not sent."""
        with self._lock:
            if request in self._deferred:
                self._deferred.remove(request)
            if request.id is not None and self._pending.get(request.id) is request:
                del self._pending[request.id]

    def _timeout_error(self, request: _Request) -> RequestTimeoutError:
        return RequestTimeoutError(f'shield-helper did not answer "{request.command}" within '
                                   f"{self._request_timeout:g} s")

    def _wait(self, request: _Request) -> Status:
        # The time allowed for the answer runs from the moment the request is written: one that
        # waits for a restart waits for the restart first.
        request.sent.result()
        try:
            return request.reply.result(self._request_timeout)
        except FutureTimeout:
            self._abandon(request)
            if request.reply.done():
                return request.reply.result()
            raise self._timeout_error(request) from None

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
            # Apart from the host's terminal (_popen_options), and without a shell in between on
            # any system. It still ends with the host, at the end of its standard input.
            process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, close_fds=True, env=self._env,
                                       cwd=self._cwd, **_popen_options())
        except OSError as error:
            session = _Session(None)
            session.ready.set_exception(_spawn_failure(binary, self._cwd, error))
            return session
        session = _Session(process)
        self._session = session
        session.stderr_reader = threading.Thread(target=self._read_stderr, args=(session,),
                                                 daemon=True, name="shield-helper stderr")
        session.stderr_reader.start()
        threading.Thread(target=self._read_stdout, args=(session,), daemon=True,
                         name="shield-helper stdout").start()
        return session

    def _read_stdout(self, session: _Session) -> None:
        for raw in session.process.stdout:
            self._on_line(session, raw.decode("utf-8", errors="replace").rstrip("\n"))
        session.process.stdout.close()
        # Everything the helper wrote to standard error is passed on before its exit is.
        session.stderr_reader.join()
        code = session.process.wait()
        session.close_input()
        self._on_end(session, code)

    def _read_stderr(self, session: _Session) -> None:
        for raw in session.process.stderr:
            line = raw.decode("utf-8", errors="replace").rstrip("\n")
            session.stderr_tail.append(line)
            with self._lock:
                if session is self._session:
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
            if pending is not None:
                # A reply that comes after its request timed out has nobody waiting for it.
                pending.reply.set_result(status)
        elif kind == "accessAttempt":
            self._emit("access_attempt", AccessAttempt(message["targetId"], message["appName"],
                                                       message["occurredAt"]))
        elif kind == "error":
            # Every command line is built here, so an error means a bug on one side or the
            # other, never a reason to fail whichever request happens to be waiting.
            self._emit("protocol_error", message.get("message", text))
        # A newer helper may send messages this library does not know; they are not errors.

    def _on_end(self, session: _Session, returncode: int) -> None:
        code, signal_name = _exit_status(returncode, session.killed)
        exit_text = f"exited ({_describe_exit(code, signal_name)})"
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
            # The helper's shields went with its process: what it last reported no longer holds.
            self._last_status = None
            pending, self._pending = self._pending, {}
            for request in pending.values():
                request.reply.set_exception(HelperExitedError(
                    f'shield-helper {exit_text} before answering "{request.command}"'))
            if self._state == "closing":
                self._exit_code = code
                self._emit("exit", ExitInfo(code, signal_name, False))
                self._set_state("closed")
            elif self._state == "starting":
                self._emit("exit", ExitInfo(code, signal_name, False))
            elif self._state in ("running", "restarting"):
                self._supervise(was_ready, session.ready_timed_out, code, signal_name, exit_text)

    def _supervise(self, was_ready: bool, ready_timed_out: bool, code: Optional[int],
                   signal_name: Optional[str], exit_text: str) -> None:
        """Decides whether to restart after an unexpected exit; the caller holds the lock.
        While a block is active the helper is given up only when it cannot be started at all:
        killing it, however often, must not lift the block."""
        policy = self._restart
        if policy is None:
            self._give_up(code, signal_name, HelperExitedError(
                f"shield-helper {exit_text}; restarting is off"))
            return
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
            self._give_up(code, signal_name, HelperExitedError(
                f"shield-helper {exit_text}; {reason}, so it is not restarted again"))
            return
        self._emit("exit", ExitInfo(code, signal_name, True))
        self._set_state("restarting")
        doublings = min(len(self._exit_times) - 1, 30)
        delay = min(policy.backoff * 2 ** doublings, policy.max_backoff)
        self._restart_timer = threading.Timer(delay, self._restart_now)
        self._restart_timer.daemon = True
        self._restart_timer.start()

    def _give_up(self, code: Optional[int], signal_name: Optional[str], error: Exception) -> None:
        self._fatal_error = error
        self._emit("exit", ExitInfo(code, signal_name, False))
        self._set_state("failed")
        self._emit("fatal", error)

    def _restart_now(self) -> None:
        with self._lock:
            self._restart_timer = None
            if self._state != "restarting":
                return
            try:
                binary = resolve_binary(self._binary_path)
            except BinaryNotFoundError as error:
                self._fatal_error = error
                self._set_state("failed")
                self._emit("fatal", error)
                return
            session = self._spawn(binary)
            if session.process is None:
                # Starting failed outright: supervised like any other exit.
                self._supervise(False, False, None, None, "could not be started")
                return
        try:
            status = self._await_ready(session, binary)
            with self._lock:
                if session is not self._session or self._state != "restarting":
                    return
                block = self._block
                ends_at = block.get("endsAt") if block else None
                if block is not None and (ends_at is None or ends_at > time.time() * 1000.0):
                    replay: Optional[_Request] = _Request("start", block)
                    self._write_request(session, replay)
                else:
                    self._block = replay = None
            self._check_version(status, binary)
            if replay is not None:
                status = self._wait(replay)
        except ShieldHelperError:
            # The new helper ended (its exit is being supervised) or did not answer: ending it
            # hands it to the same supervision.
            if not session.ended:
                session.kill()
            return
        with self._lock:
            if session is not self._session or self._state != "restarting":
                return
            self._set_state("running")
            self._emit("restarted", status)


from ._aio import AsyncShieldHelper, HelperEvent  # noqa: E402  (it builds on the classes above)
