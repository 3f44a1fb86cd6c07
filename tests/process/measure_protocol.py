"""Measures the real helper from a host's side (headless): start-up to "ready", the round trip
of one command, and pipelined command throughput. Not a test; run it by hand:

    SHIELD_HELPER=build-release/shield-helper python3 tests/process/measure_protocol.py
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import helper_process as hp  # noqa: E402

STARTS = 20
ROUND_TRIPS = 2000
PIPELINED = 20000


def main():
    starts = []
    for _ in range(STARTS):
        began = time.perf_counter()
        helper = hp.Helper()
        helper.read_message()
        starts.append(time.perf_counter() - began)
        helper.close()

    helper = hp.Helper()
    helper.read_message()
    trips = []
    for i in range(ROUND_TRIPS):
        began = time.perf_counter()
        helper.request("permission-status", i)
        trips.append(time.perf_counter() - began)

    data = b"".join(
        hp.line({"command": "permission-status", "requestId": i}) for i in range(PIPELINED)
    )
    began = time.perf_counter()
    helper.write(data)
    helper.reply_to(PIPELINED - 1, timeout=120)
    elapsed = time.perf_counter() - began
    helper.close()

    trips.sort()
    print(f"start-up to ready: median {statistics.median(starts) * 1e3:.1f} ms ({STARTS} starts)")
    print(
        f"round trip of one command: median {statistics.median(trips) * 1e6:.0f} us, "
        f"99th percentile {trips[int(len(trips) * 0.99)] * 1e6:.0f} us ({ROUND_TRIPS} commands)"
    )
    print(f"pipelined: {PIPELINED / elapsed:,.0f} commands/s ({PIPELINED} commands)")


if __name__ == "__main__":
    main()
