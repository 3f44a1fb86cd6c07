#!/usr/bin/env python3
"""A stand-in for shield-helper that ends on cue, for the exits the real binary cannot produce
on demand. It writes "ready", answers every command with a status reply, and:
  FAKE_EXIT_ON=<command>  exits with status 7 on that command, without answering it;
  FAKE_RUNS=<file>        counts its runs in that file, and from the second run on exits with
                          status 3 before writing "ready";
  FAKE_STDERR=<text>      writes that line to standard error first."""

import json
import os
import sys

if os.environ.get("FAKE_STDERR"):
    sys.stderr.write(os.environ["FAKE_STDERR"] + "\n")
    sys.stderr.flush()
runs_file = os.environ.get("FAKE_RUNS")
if runs_file:
    try:
        with open(runs_file) as f:
            runs = int(f.read() or 0)
    except FileNotFoundError:
        runs = 0
    with open(runs_file, "w") as f:
        f.write(str(runs + 1))
    if runs >= 1:
        sys.exit(3)

STATUS = {"watcherRunning": False, "shieldCount": 0, "eligibleWindowCount": 0,
          "coveredWindowCount": 0, "uncoveredWindowCount": 0, "permission": "unknown"}


def say(message):
    sys.stdout.write(json.dumps(message) + "\n")
    sys.stdout.flush()


say({"type": "ready", **STATUS})
for line in sys.stdin:
    command = json.loads(line)
    if command["command"] == "shutdown":
        sys.exit(0)
    if command["command"] == os.environ.get("FAKE_EXIT_ON"):
        sys.exit(7)
    say({"type": "status", "requestId": command.get("requestId"), **STATUS})
