"""Figures for a helper under unlucky conditions, printed one per line (not a test):

- how late a one-hour block ends after the wall clock is set two hours forward (libfaketime);
- the helper's resident memory while 1,000,000 commands wait unread by the host, and whether
  every one of them is answered once the host reads;
- the resident memory left after one legal 60 MiB line.

Usage: SHIELD_HELPER=build-release/shield-helper python3 tests/process/measure_reliability.py
"""

import glob
import os
import tempfile
import time

from helper_process import Helper, line, now_ms

TARGETS = [{"id": "t1", "name": "Editor", "bundleId": "org.example.Editor"}]


def lateness_after_clock_jump():
    faketime = sorted(glob.glob("/usr/lib/*/faketime/libfaketimeMT.so.1"))
    if not faketime:
        return "libfaketime is not installed"
    with tempfile.TemporaryDirectory() as directory:
        offset = os.path.join(directory, "offset")
        with open(offset, "w") as f:
            f.write("+0\n")
        helper = Helper(
            extra_environment={
                "LD_PRELOAD": faketime[0],
                "FAKETIME_TIMESTAMP_FILE": offset,
                "FAKETIME_NO_CACHE": "1",
                "DONT_FAKE_MONOTONIC": "1",
            }
        )
        try:
            helper.read_message()
            helper.request("start", 1, targets=TARGETS, endsAt=now_ms() + 3600 * 1000)
            with open(offset + ".new", "w") as f:
                f.write("+2h\n")
            os.replace(offset + ".new", offset)
            jumped = time.monotonic()
            try:
                helper.read_message(timeout=60)
                return f"{time.monotonic() - jumped:.2f} s"
            except AssertionError:
                return "not within 60 s"
        finally:
            helper.close()


def memory_under_flood(count=1_000_000):
    helper = Helper()
    try:
        helper.read_message()
        before, _ = helper.memory_kib()
        data = b"".join(line({"command": "permission-status", "requestId": i}) for i in range(count))
        thread, progress = helper.write_without_reading(data)
        last, since = -1, time.monotonic()
        while thread.is_alive() and time.monotonic() - since < 2:
            if progress["written"] != last:
                last, since = progress["written"], time.monotonic()
            time.sleep(0.05)
        rss, peak = helper.memory_kib()
        answered = 0
        for _ in range(count):
            helper.read_message(timeout=60)
            answered += 1
        return (
            f"VmRSS {before / 1024:.1f} MiB at start, {rss / 1024:.1f} MiB while unread "
            f"(peak {peak / 1024:.1f} MiB); {answered} of {count} answered after reading"
        )
    finally:
        helper.close()


def memory_after_huge_line():
    helper = Helper()
    try:
        helper.read_message()
        before, _ = helper.memory_kib()
        thread, _ = helper.write_without_reading(
            line({"command": "stop", "requestId": 1, "padding": "x" * (60 << 20)})
        )
        helper.reply_to(1, timeout=60)
        thread.join()
        # The input thread hands the memory back just after it posts the command.
        deadline = time.monotonic() + 2
        rss, peak = helper.memory_kib()
        while time.monotonic() < deadline and rss > before + 16 * 1024:
            time.sleep(0.05)
            rss, peak = helper.memory_kib()
        return f"VmRSS {before / 1024:.1f} MiB before, {rss / 1024:.1f} MiB after (peak {peak / 1024:.1f} MiB)"
    finally:
        helper.close()


if __name__ == "__main__":
    print("Block end after a +2 h clock jump, one-hour block:", lateness_after_clock_jump())
    print("1,000,000 unread commands:", memory_under_flood())
    print("One 60 MiB line:", memory_after_huge_line())
