"""The helper's partners stop answering: a host that no longer reads the helper's output must
not hold up the shields (they follow their windows and go when the block ends, on time), and an
X server that no longer answers must not keep the helper from ending when the host says so."""

import fcntl
import json
import os
import signal
import struct
import termios
import threading
import time
import unittest

from xharness import (SHIELD_CLASS, DisplayCase, Helper, Probe, Processes, client_windows,
                      coverage_problem, new_log_file, wait_until)

TARGETS = [{"id": "log", "name": "Log Client", "bundleId": "LOGCLIENT"}]
TARGET_CLASSES = ["LogClient"]
# How soon a shield follows a move that its window's own events announce.
FOLLOW = 2.0
# How soon after the block's end time its shields are gone.
ON_TIME = 1.0
# How long the helper may take to end once told to, with its display stopped.
BOUNDED_END = 6.0


def covered(display, extra=None, timeout=FOLLOW * 5):
    """Waits until the one LogClient window has exactly one shield directly above it at
    exactly its outer rectangle, and no other shield exists."""

    def probe():
        state = display.state()
        if len(client_windows(state, "LogClient")) != 1:
            return Probe("the LogClient window is not up")
        problem = coverage_problem(state, TARGET_CLASSES) or (extra(state) if extra else None)
        return Probe(problem) if problem else state

    return wait_until(probe, "the covered window", timeout)


def shield_windows(display):
    state = display.state()
    return [c for t in state["toplevels"] for c in t["clients"] if c["class"] == SHIELD_CLASS]


class StallingHost(Helper):
    """A host that can stop reading the helper's output. While it does not read, the lines stay
    in the pipe (and, up to one read's worth, in this process's buffer); any line that is not
    one whole JSON object is kept aside as a fault."""

    def __init__(self, processes, env):
        self.reading = threading.Event()
        self.reading.set()
        self.bad_lines = []
        super().__init__(processes, env)

    def _read(self):
        stream = self.process.stdout
        while True:
            self.reading.wait()
            line = stream.readline()
            if not line:
                break
            try:
                message = json.loads(line)
                if not line.endswith(b"\n") or not isinstance(message, dict):
                    raise ValueError("not a whole object")
            except ValueError:
                message = None
            with self.lock:
                if message is None:
                    self.bad_lines.append(line[:200])
                else:
                    self.messages.append(message)
                self.lock.notify_all()
        with self.lock:
            self.messages.append({"type": "<end of output>"})
            self.lock.notify_all()

    def unread_bytes(self):
        """How much of the helper's output waits in the pipe."""
        count = fcntl.ioctl(self.process.stdout.fileno(), termios.FIONREAD, struct.pack("i", 0))
        return struct.unpack("i", count)[0]

    def send_many(self, command, count):
        """Sends `count` commands from a thread of their own (the helper may stop reading its
        input while its output is not read), and returns that thread and their request ids."""
        first = self.next_request
        self.next_request += count
        data = b"".join(json.dumps({"command": command, "requestId": first + i},
                                   separators=(",", ":")).encode() + b"\n"
                        for i in range(count))

        def write():
            try:
                self.process.stdin.write(data)
                self.process.stdin.flush()
            except (BrokenPipeError, ValueError):
                pass

        writer = threading.Thread(target=write, daemon=True)
        writer.start()
        return writer, list(range(first, first + count))


class HostStopsReading(DisplayCase, unittest.TestCase):
    """The host stops reading while the helper has much to say: its output pipe fills. The
    shield still follows its window, and goes when the block ends; when the host reads again,
    every reply is there, whole and in order, and so is the status that ends the block."""

    # Far more output than a pipe holds.
    FLOOD = 5000
    BLOCK = 8.0

    def test_shields_do_not_wait_for_the_host(self):
        processes = Processes()
        self.addCleanup(processes.end_all)
        log = new_log_file(None)
        self.addCleanup(os.unlink, log)
        processes.start([os.environ["LOGCLIENT"], "--log", log, "--class", "LogClient",
                         "--geometry", "320x240+100+100"], self.display.env)
        wait_until(lambda: client_windows(self.display.state(), "LogClient"), "the window")
        (_, _, client), = client_windows(self.display.state(), "LogClient")
        window = client["id"]

        host = StallingHost(processes, self.display.env)
        ends_at = time.time() + self.BLOCK
        reply = host.request("start", targets=TARGETS, endsAt=ends_at * 1000)
        self.assertTrue(reply["watcherRunning"])
        covered(self.display)
        start_mark = host.mark()

        host.reading.clear()
        writer, request_ids = host.send_many("permission-status", self.FLOOD)
        # Full: less room left than one more reply would need.
        pipe_full = 65536 - 4096
        wait_until(lambda: host.unread_bytes() >= pipe_full or
                   Probe(f"{host.unread_bytes()} bytes in the pipe"), "the output pipe to fill")

        moves = 0
        for x, y in [(500, 300), (150, 420), (700, 120), (300, 200), (600, 400)]:
            if time.time() > ends_at - FOLLOW - 0.5:
                break
            self.display.xdotool("windowmove", window, x, y)

            def moved(state, x=x, y=y):
                (_, toplevel, _), = client_windows(state, "LogClient")
                return None if (toplevel["x"], toplevel["y"]) == (x, y) else "not moved yet"

            covered(self.display, moved, FOLLOW)
            moves += 1
        self.assertGreater(moves, 0, "no time was left to move the window before the end")
        self.assertGreaterEqual(host.unread_bytes(), pipe_full)

        wait_until(lambda: not shield_windows(self.display),
                   "the shield to go at the end time", max(0.0, ends_at + ON_TIME - time.time()))
        self.assertLessEqual(time.time(), ends_at + ON_TIME + 0.5)
        # The host still has not read.
        self.assertGreaterEqual(host.unread_bytes(), pipe_full)

        host.reading.set()
        host.wait_for(lambda m: m.get("requestId") == request_ids[-1], "the last reply",
                      timeout=30)
        writer.join(10)
        with host.lock:
            later = host.messages[start_mark:]
            self.assertEqual(host.bad_lines, [])
        replies = [m["requestId"] for m in later if "requestId" in m]
        self.assertEqual(replies, request_ids)
        ends = [m for m in later if m.get("type") == "status" and "requestId" not in m and
                not m["watcherRunning"]]
        self.assertEqual(len(ends), 1, "one status that ends the block")
        self.assertEqual((ends[0]["shieldCount"], ends[0]["coveredWindowCount"]), (0, 0))


class DisplayStops(DisplayCase, unittest.TestCase):
    """With the X server stopped, the helper cannot finish anything that waits on it; told to
    end, it still ends within a bounded time, and its shields go with it."""

    # how the host ends the helper
    ENDINGS = [
        ("end of input", lambda host: host.process.stdin.close()),
        ("shutdown", lambda host: host.send({"command": "shutdown"})),
    ]

    def test_helper_ends_while_the_display_does_not_answer(self):
        for name, finish in self.ENDINGS:
            with self.subTest(name):
                self.check_bounded_end(finish)

    def check_bounded_end(self, finish):
        processes = Processes()
        log = new_log_file(None)
        try:
            processes.start([os.environ["LOGCLIENT"], "--log", log, "--class", "LogClient",
                             "--geometry", "320x240+100+100"], self.display.env)
            wait_until(lambda: client_windows(self.display.state(), "LogClient"), "the window")
            host = Helper(processes, self.display.env)
            host.request("start", targets=TARGETS)
            covered(self.display)

            server = self.display.server.pid
            os.kill(server, signal.SIGSTOP)
            try:
                # A pass over the windows: the main thread now waits for the server's replies.
                host.send({"command": "update", "targets": TARGETS, "requestId": 0})
                finish(host)
                wait_until(lambda: host.process.poll() is not None, "the helper to end",
                           BOUNDED_END)
            finally:
                os.kill(server, signal.SIGCONT)
            wait_until(lambda: not shield_windows(self.display), "the shield to go")
        finally:
            processes.end_all()
            os.unlink(log)
            wait_until(lambda: not client_windows(self.display.state()), "the windows to go")

if __name__ == "__main__":
    unittest.main()
