#!/usr/bin/env python3
"""A host for the Ctrl-C tests: starts the helper named by $SHIELD_HELPER headless, blocks, and
writes the helper's pid as a JSON line. With the argument "handle" it answers SIGINT as a host
cleaning up would, ending the block and closing the helper, and writes the helper's exits and
what stop() and close() gave; with "die" SIGINT ends it as it ends any program."""

import json
import os
import signal
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import shield_helper  # noqa: E402

for name in ("DISPLAY", "WAYLAND_DISPLAY"):
    os.environ.pop(name, None)
lock = threading.Lock()


def say(message):
    with lock:
        sys.stdout.write(json.dumps(message) + "\n")
        sys.stdout.flush()


if sys.argv[1] == "die":
    signal.signal(signal.SIGINT, signal.SIG_DFL)
helper = shield_helper.ShieldHelper(os.environ["SHIELD_HELPER"],
                                    restart=shield_helper.RestartPolicy(backoff=0.02))
# Set once the helper's last exit has been reported: callbacks run on a thread of their own.
ended = threading.Event()


def on_exit(exit_info):
    say({"event": "exit", "code": exit_info.code, "signal": exit_info.signal,
         "will_restart": exit_info.will_restart})
    if not exit_info.will_restart:
        ended.set()


helper.on("exit", on_exit)
helper.start()
helper.block([shield_helper.Target("ed", "Text Editor", "org.example.TextEditor")])
try:
    # The pid is said inside the try: the test's Ctrl-C may come as soon as it is read.
    say({"pid": helper.pid})
    threading.Event().wait()
except KeyboardInterrupt:
    try:
        helper.stop()
        say({"stopped": True})
    except shield_helper.ShieldHelperError as error:
        say({"stopped": str(error)})
    closed = helper.close()
    ended.wait(5)
    say({"closed": closed})
