"""Drives the helper binary as a host does: a child process spoken to over stdin/stdout.

The helper is started without DISPLAY, so it runs on the headless desktop. Every wait has a
deadline and is a wait on the helper's output, never a fixed sleep.
"""

import json
import os
import selectors
import subprocess
import tempfile
import threading
import time
import unittest

HELPER = os.environ.get("SHIELD_HELPER")

INVALID_COMMAND = "Native helper received an invalid command."
UNKNOWN_COMMAND = "Unknown native helper command."
PERMISSION_REQUIRED = (
    "Accessibility permission is required to track and shield blocked app windows."
)

# The seven keys every status message carries.
STATUS_KEYS = {
    "type",
    "watcherRunning",
    "shieldCount",
    "eligibleWindowCount",
    "coveredWindowCount",
    "uncoveredWindowCount",
    "permission",
}

DEFAULT_TIMEOUT = 20.0


def now_ms():
    return time.time() * 1000.0


def headless_environment():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def line(obj):
    """One command line: compact JSON and LF."""
    return (json.dumps(obj, separators=(",", ":")) + "\n").encode()


class HelperTimeout(AssertionError):
    pass


class Helper:
    """A running helper: write bytes to it, read its messages with deadlines."""

    def __init__(self, preexec_fn=None, extra_environment=None):
        if not HELPER:
            raise unittest.SkipTest("SHIELD_HELPER is not set")
        self.stderr = tempfile.TemporaryFile()
        env = headless_environment()
        env.update(extra_environment or {})
        self.proc = subprocess.Popen(
            [HELPER],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=self.stderr,
            env=env,
            preexec_fn=preexec_fn,
        )
        self._out = self.proc.stdout.fileno()
        self._in = self.proc.stdin.fileno()
        os.set_blocking(self._out, False)
        os.set_blocking(self._in, False)
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._out, selectors.EVENT_READ, "out")
        self._buffer = b""
        self._pending = b""  # Bytes still to be written to the helper's stdin.
        self._eof = False
        self._output_closed_by_host = False
        self._stdin_open = True
        self.raw_lines = []  # Every complete line the helper wrote, LF included.

    # Plumbing -------------------------------------------------------------------------------

    def _pump(self, timeout):
        """Moves bytes once in either direction, waiting at most `timeout` seconds."""
        if self._pending and self._stdin_open:
            try:
                self._selector.register(self._in, selectors.EVENT_WRITE, "in")
            except KeyError:
                pass
        for key, _ in self._selector.select(max(timeout, 0)):
            if key.data == "out":
                try:
                    chunk = os.read(self._out, 1 << 20)
                except BlockingIOError:
                    continue
                if not chunk:
                    self._eof = True
                    self._selector.unregister(self._out)
                else:
                    self._buffer += chunk
            elif key.data == "in":
                try:
                    written = os.write(self._in, self._pending[: 1 << 20])
                    self._pending = self._pending[written:]
                except BlockingIOError:
                    pass
                except BrokenPipeError:
                    self._pending = b""
                if not self._pending:
                    self._selector.unregister(self._in)

    def _take_line(self):
        newline = self._buffer.find(b"\n")
        if newline < 0:
            return None
        raw, self._buffer = self._buffer[: newline + 1], self._buffer[newline + 1 :]
        self.raw_lines.append(raw)
        return raw

    def _deadline(self, timeout):
        return time.monotonic() + (DEFAULT_TIMEOUT if timeout is None else timeout)

    def describe(self):
        self.stderr.seek(0)
        err = self.stderr.read().decode(errors="replace")
        return f"lines so far: {self.raw_lines[-10:]!r}; stderr: {err[-4000:]}"

    # Writing --------------------------------------------------------------------------------

    def write(self, data, timeout=None):
        """Writes all of `data`, reading the helper's output meanwhile so neither side blocks."""
        self._pending += data
        deadline = self._deadline(timeout)
        while self._pending:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise HelperTimeout("could not write to the helper; " + self.describe())
            if self._eof and not self._output_closed_by_host:
                raise AssertionError("the helper closed its output; " + self.describe())
            self._pump(remaining)

    def send(self, **fields):
        self.write(line(fields))

    def close_stdin(self):
        self.write(b"")
        self._stdin_open = False
        self.proc.stdin.close()

    def close_stdout(self):
        """Stops reading: the host closes its end of the helper's output."""
        if not self._eof:
            self._selector.unregister(self._out)
        self._output_closed_by_host = True
        self.proc.stdout.close()

    # Reading --------------------------------------------------------------------------------

    def read_raw_line(self, timeout=None):
        """The next line the helper writes, as bytes with its LF; None at end of output."""
        deadline = self._deadline(timeout)
        while True:
            raw = self._take_line()
            if raw is not None:
                return raw
            if self._eof:
                if self._buffer:
                    raise AssertionError(f"output ended inside a line: {self._buffer[:200]!r}")
                return None
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise HelperTimeout("no line from the helper in time; " + self.describe())
            self._pump(remaining)

    def read_message(self, timeout=None):
        """The next message, checked to be one compact JSON object on one line."""
        raw = self.read_raw_line(timeout)
        if raw is None:
            raise AssertionError("the helper ended its output; " + self.describe())
        return parse_message(raw)

    def read_until(self, predicate, timeout=None):
        """Reads messages until one satisfies `predicate`; returns (earlier ones, that one)."""
        deadline = self._deadline(timeout)
        earlier = []
        while True:
            message = self.read_message(max(deadline - time.monotonic(), 0.001))
            if predicate(message):
                return earlier, message
            earlier.append(message)

    def reply_to(self, request_id, timeout=None):
        """Reads up to the reply carrying `request_id`; returns (earlier messages, reply)."""
        return self.read_until(lambda m: m.get("requestId") == request_id, timeout)

    def request(self, command, request_id, **fields):
        """Sends one command and returns (messages before its reply, the reply)."""
        self.send(command=command, requestId=request_id, **fields)
        return self.reply_to(request_id)

    def expect_silence(self, seconds):
        """Asserts that the helper writes nothing for `seconds` (a negative check)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not self._eof:
            self._pump(deadline - time.monotonic())
            if self._buffer:
                raise AssertionError(f"unexpected output: {self._buffer[:500]!r}")

    def read_to_end(self, timeout=None):
        """Every remaining message up to the end of output."""
        deadline = self._deadline(timeout)
        messages = []
        while True:
            raw = self.read_raw_line(max(deadline - time.monotonic(), 0.001))
            if raw is None:
                return messages
            messages.append(parse_message(raw))

    def wait_exit(self, timeout=None):
        """Reads to the end of output and returns (remaining messages, exit status)."""
        messages = self.read_to_end(timeout)
        try:
            status = self.proc.wait(timeout=DEFAULT_TIMEOUT if timeout is None else timeout)
        except subprocess.TimeoutExpired:
            raise HelperTimeout("the helper did not exit; " + self.describe())
        return messages, status

    def alive(self):
        return self.proc.poll() is None

    def errors(self):
        """What the helper wrote to standard error so far."""
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def memory_kib(self):
        """The helper's resident memory now and at its peak (VmRSS, VmHWM), in KiB."""
        fields = {}
        with open(f"/proc/{self.proc.pid}/status") as status_file:
            for entry in status_file:
                key, _, value = entry.partition(":")
                fields[key] = value.split()[0] if value.split() else ""
        return int(fields["VmRSS"]), int(fields["VmHWM"])

    def write_without_reading(self, data):
        """Writes `data` as a host that never reads would: blocking, on a thread of its own,
        while nothing drains the helper's output. Returns the thread and a progress counter."""
        fd = os.dup(self._in)
        os.set_blocking(fd, True)
        progress = {"written": 0}

        def run():
            view = memoryview(data)
            try:
                while view:
                    count = os.write(fd, view[: 1 << 16])
                    progress["written"] += count
                    view = view[count:]
            except OSError:
                pass
            finally:
                os.close(fd)

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return thread, progress

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._selector.close()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass
        self.stderr.close()


def is_compact(text):
    """True when no whitespace stands between JSON tokens (only inside strings)."""
    in_string = escaped = False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in " \t\r\n":
            return False
    return True


def parse_message(raw):
    assert raw.endswith(b"\n") and raw.count(b"\n") == 1, f"not one line: {raw[:200]!r}"
    text = raw[:-1].decode("utf-8")
    message = json.loads(text)
    assert isinstance(message, dict), f"not an object: {text[:200]}"
    assert "type" in message, f"no type: {text[:200]}"
    assert is_compact(text), f"not compact: {text[:200]}"
    return message


def project_version():
    """The version the build gives the helper: the project version in CMakeLists.txt."""
    import re
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    with open(top) as cmake:
        return re.search(r"project\(shield-helper VERSION ([0-9.]+)", cmake.read()).group(1)


VERSION = project_version()


def status(permission, request_id=None, error=False, **overrides):
    """The status message expected from a headless helper (nothing is ever shielded)."""
    expected = {
        "type": "status",
        "watcherRunning": False,
        "shieldCount": 0,
        "eligibleWindowCount": 0,
        "coveredWindowCount": 0,
        "uncoveredWindowCount": 0,
        "permission": permission,
    }
    if permission == "denied":
        # The headless desktop says why it has nothing to shield on.
        expected["reason"] = "no-display"
    if request_id is not None:
        expected["requestId"] = request_id
    if error:
        expected["error"] = PERMISSION_REQUIRED
    expected.update(overrides)
    return expected


def ready():
    """The first line, as every helper of this build writes it."""
    return dict(status("unknown"), type="ready", version=VERSION)


def error(text):
    return {"type": "error", "message": text}


class HelperTestCase(unittest.TestCase):
    """Starts a fresh helper per test and checks "ready" comes first."""

    maxDiff = None

    def start_helper(self, **kwargs):
        helper = Helper(**kwargs)
        self.addCleanup(helper.close)
        return helper

    def setUp(self):
        self.helper = self.start_helper()
        self.assertEqual(self.helper.read_message(), ready())
