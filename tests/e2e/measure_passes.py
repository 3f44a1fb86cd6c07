"""Measures the X11 desktop under the real helper: CPU use while idle with 20 shields up, and
the round-trip time of a command that runs a full reconciliation pass over 20 windows.

    SHIELD_HELPER=... LOGCLIENT=... XPROBE=... python3 measure_passes.py [--no-wm]
"""

import os
import statistics
import sys
import time

from xharness import (SHIELD_CLASS, Display, Helper, Probe, Processes, client_windows,
                      coverage_problem, new_log_file, wait_until)

WINDOWS = 20
IDLE_SECONDS = 10
PASSES = 200


def cpu_seconds(pid):
    # Nanoseconds on the CPU, all threads; finer than the clock ticks of /proc/PID/stat.
    total = 0
    for thread in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{thread}/schedstat") as stat:
            total += int(stat.read().split()[0])
    return total / 1e9


def main():
    with_wm = "--no-wm" not in sys.argv
    display = Display()
    display.start()
    processes = Processes()
    log = new_log_file(None)
    try:
        if with_wm:
            display.start_wm()
        geometries = []
        for i in range(WINDOWS):
            geometries += ["--geometry", f"200x150+{20 + (i % 5) * 240}+{20 + (i // 5) * 190}"]
        processes.start([os.environ["LOGCLIENT"], "--log", log, *geometries], display.env)
        wait_until(lambda: len(client_windows(display.state(), "LogClient")) == WINDOWS,
                   "the windows")
        helper = Helper(processes, display.env)
        helper.request("start", targets=[{"id": "l", "name": "Log", "bundleId": "logclient"}])

        def covered():
            state = display.state()
            problem = coverage_problem(state, ["LogClient"])
            n = len(client_windows(state, SHIELD_CLASS))
            return Probe(problem or f"{n} shields") if problem or n != WINDOWS else True

        wait_until(covered, "20 shields", timeout=30)

        before = cpu_seconds(helper.process.pid)
        start = time.monotonic()
        time.sleep(IDLE_SECONDS)  # the measurement window itself, not a wait for state
        idle = cpu_seconds(helper.process.pid) - before
        elapsed = time.monotonic() - start

        times = []
        for _ in range(PASSES):
            t0 = time.perf_counter()
            reply = helper.status()
            times.append(time.perf_counter() - t0)
            assert reply["coveredWindowCount"] == WINDOWS, reply
        times.sort()
        mode = "openbox" if with_wm else "no window manager"
        print(f"{mode}: idle CPU with {WINDOWS} shields: {idle * 1000:.1f} ms over "
              f"{elapsed:.1f} s ({idle / elapsed * 100:.3f}% of one core)")
        print(f"{mode}: command + full pass over {WINDOWS} windows, {PASSES} runs: "
              f"median {statistics.median(times) * 1000:.2f} ms, "
              f"p95 {times[int(PASSES * 0.95)] * 1000:.2f} ms, max {times[-1] * 1000:.2f} ms")
    finally:
        processes.end_all()
        display.stop()
        os.unlink(log)


if __name__ == "__main__":
    main()
