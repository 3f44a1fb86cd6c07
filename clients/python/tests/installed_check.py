"""Checks an installed shield_helper package as a host uses it; run by the Python of the
environment it is installed in (scripts/test-clients runs it in fresh virtual environments).
The module must be the installed one and find its helper where that installation puts it
(packed in the package by the wheel, or shield-helper on $PATH after the sdist); a block then
runs from start to a clean exit through both interfaces headless, and with --x11 also covers
an xterm on a virtual display (Xvfb and openbox, as the X11 tests start them).

Usage: PYTHON installed_check.py --expect packed|path [--x11]
"""

import argparse
import asyncio
import os
import shutil
import subprocess
import sys
import time

import shield_helper

REPOSITORY_SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                  "scripts")
TERMINAL = shield_helper.Target("term", "Terminal", "XTerm")
PERMISSION_REQUIRED = (
    "Accessibility permission is required to track and shield blocked app windows.")
DEADLINE = 10.0


def check(condition, what):
    if not condition:
        raise SystemExit(f"installed_check: {what}")


def wait_until(probe, what):
    deadline = time.monotonic() + DEADLINE
    while not (result := probe()):
        check(time.monotonic() < deadline, f"not within {DEADLINE:g} s: {what}")
        time.sleep(0.025)
    return result


def check_installation(expect):
    package = os.path.dirname(os.path.abspath(shield_helper.__file__))
    check(package.startswith(os.path.realpath(sys.prefix) + os.sep) or
          package.startswith(sys.prefix + os.sep),
          f"shield_helper comes from {package}, not from the environment at {sys.prefix}")
    binary = shield_helper.resolve_binary()
    if expect == "packed":
        check(binary.startswith(os.path.join(package, "bin") + os.sep),
              f"the binary found is {binary}, not the one packed in {package}")
        check(os.access(binary, os.X_OK), f"the packed binary {binary} is not executable")
    else:
        check(binary == os.path.abspath(shutil.which("shield-helper") or ""),
              f"the binary found is {binary}, not shield-helper on $PATH")
    print(f"checked: shield_helper {shield_helper.__version__} from {package} finds {binary}")


def check_threaded_headless():
    helper = shield_helper.ShieldHelper()
    states, warnings = [], []
    helper.on("state", states.append)
    helper.on("warning", warnings.append)
    ready = helper.start()
    check(ready.type == "ready" and ready.version == shield_helper.__version__,
          f"ready: {ready}")
    reply = helper.block([TERMINAL], ends_at=time.time() + 60)
    check(isinstance(reply.request_id, int) and reply.error == PERMISSION_REQUIRED,
          f"a headless block's reply: {reply}")
    check(helper.stop().error is None, "the block ended")
    check(helper.close() == 0, "the helper exited with status 0")
    wait_until(lambda: states[-1:] == ["closed"], "the state 'closed'")
    check(states == ["starting", "running", "closing", "closed"], f"states: {states}")
    check(not warnings, f"warnings: {warnings}")
    print("checked: ShieldHelper, headless: ready, block, stop, exit status 0")


async def check_asyncio_headless():
    helper = shield_helper.AsyncShieldHelper()
    events = helper.events("state", "warning")
    ready = await helper.start()
    check(ready.version == shield_helper.__version__, f"ready: {ready}")
    check((await helper.block([TERMINAL])).error == PERMISSION_REQUIRED, "the block's reply")
    check((await helper.stop()).error is None, "the block ended")
    check(await helper.close() == 0, "the helper exited with status 0")
    seen = [(event.kind, event.value) async for event in events]
    check(seen == [("state", s) for s in ("starting", "running", "closing", "closed")],
          f"events: {seen}")
    print("checked: AsyncShieldHelper, headless: ready, block, stop, exit status 0")


def check_x11():
    tools = ("Xvfb", "openbox", "xterm", "xdotool")
    missing = [tool for tool in tools if not shutil.which(tool)]
    if missing:
        print(f"skipped: the X11 run needs {', '.join(missing)}")
        return
    sys.path.insert(0, REPOSITORY_SCRIPTS)
    import xsession

    processes = xsession.Processes()
    try:
        server, number = xsession.start_xvfb(
            processes, ["-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"])
        check(number, "Xvfb reported no display")
        os.environ["DISPLAY"] = f":{number}"
        os.environ.pop("XAUTHORITY", None)

        def x(*argv):
            result = subprocess.run(argv, capture_output=True, text=True, timeout=10)
            return result.stdout.strip() if result.returncode == 0 else ""

        processes.start(["openbox", "--sm-disable"], dict(os.environ))
        wait_until(lambda: "window id" in x("xprop", "-root", "_NET_SUPPORTING_WM_CHECK"),
                   "openbox to claim the screen")
        processes.start(["xterm", "-geometry", "80x24+100+100", "-e", "sleep", "600"],
                        dict(os.environ))
        wait_until(lambda: x("xdotool", "search", "--onlyvisible", "--class", "XTerm"),
                   "the xterm window")
        with shield_helper.ShieldHelper() as helper:
            check(helper.block([TERMINAL], time.time() + 60).permission == "granted",
                  "the X display grants the permission")

            def covered():
                status = helper.permission_status()
                return status.shield_count == 1 and status.covered_window_count == 1
            wait_until(covered, "the xterm to be covered")
            wait_until(lambda: x("xdotool", "search", "--onlyvisible", "--class", "ShieldHelper"),
                       "the shield to be shown")
            check(helper.stop().shield_count == 0, "the shield was taken down")
            code = helper.close()
        check(code == 0, f"the helper exited with status {code}")
        print(f"checked: ShieldHelper on Xvfb :{number}: the xterm covered, then uncovered, "
              "exit status 0")
    finally:
        processes.end_all()
        os.environ.pop("DISPLAY", None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--expect", choices=("packed", "path"), required=True)
    parser.add_argument("--x11", action="store_true")
    options = parser.parse_args()
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "SHIELD_HELPER_PATH"):
        os.environ.pop(name, None)
    check_installation(options.expect)
    check_threaded_headless()
    asyncio.run(check_asyncio_headless())
    if options.x11:
        check_x11()


if __name__ == "__main__":
    main()
