#!/usr/bin/env python3
"""A stand-in for shield-helper, for what the real binary cannot do on demand: exits on cue,
another version, and a log of the lines it was sent. It writes "ready", answers every command
with a status reply, and:
  FAKE_EXIT_ON=<command>  exits with status 7 on that command, without answering it;
  FAKE_RUNS=<file>        counts its runs in that file, and from the second run on exits with
                          status 3 before writing "ready";
  FAKE_STDERR=<text>      writes that line to standard error first;
  FAKE_LOG=<file>         appends every line it reads to that file, for tests of what the
                          library sends;
  FAKE_VERSION=<text>     says that version in "ready" (by default the library's own), or no
                          version at all when set but empty, as a helper older than the field."""

import json
import os
import re
import sys

# Read rather than imported: the stand-in starts many times, and the package pulls in asyncio.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "shield_helper",
                       "__init__.py")) as source:
    __version__ = re.search(r'^__version__ = "([^"]+)"', source.read(), re.M).group(1)

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


version = os.environ.get("FAKE_VERSION", __version__)
say({"type": "ready", **STATUS, **({"version": version} if version else {})})
for line in sys.stdin:
    if os.environ.get("FAKE_LOG"):
        with open(os.environ["FAKE_LOG"], "a") as log:
            log.write(line)
    command = json.loads(line)
    if command["command"] == "shutdown":
        sys.exit(0)
    if command["command"] == os.environ.get("FAKE_EXIT_ON"):
        sys.exit(7)
    say({"type": "status", "requestId": command.get("requestId"), **STATUS})
