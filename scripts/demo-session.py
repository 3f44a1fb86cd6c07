"""The demo's host session: drives shield-helper as a host does and prints the transcript ("> "
host lines, "< " helper lines, "# " what the demo does meanwhile).

    demo-session.py ROOT BUILD_DIR [--virtual] [WM_CLASS]

On a reachable display of the user's own ($DISPLAY, unless --virtual) it blocks WM_CLASS
(default XTerm) there for ten seconds and starts nothing else. Otherwise it starts a virtual
desktop (Xvfb, openbox, xcompmgr when installed) with two terminals to block and a clock left
alone, shows the block, a click on a shield, a window that moves, writes a screenshot and lets
the block run out.
"""

import os
import subprocess
import sys
import time

from xsession import (SHIELD_CLASS, Desktop, Helper, Processes, build_xprobe, end_on_signals,
                      say, wait_until)

TERMINAL = {"id": "terminal", "name": "Terminal", "bundleId": "XTerm"}
BLOCK_SECONDS = 10


def note(text):
    say("# " + text)


def now_ms():
    return int(time.time() * 1000)


def wait_covered(helper, count):
    """Asks for the status until the helper reports `count` covered windows; each reply shows
    the state after every earlier command."""
    return wait_until(lambda: helper.request("permission-status")["coveredWindowCount"] == count,
                      f"the helper to report {count} covered windows")


def own_display(build_dir, wm_class):
    processes = Processes()
    try:
        helper = Helper(processes, os.path.join(build_dir, "shield-helper"), os.environ, echo=True)
        target = {"id": "demo", "name": wm_class, "bundleId": wm_class}
        ends_at = now_ms() + BLOCK_SECONDS * 1000
        reply = helper.request("start", targets=[target], endsAt=ends_at)
        if reply["eligibleWindowCount"] == 0:
            note(f"no window of class {wm_class} is open; open one in the next {BLOCK_SECONDS} s "
                 f"(for example: xterm &) and watch it get covered")
        note(f"the block ends by itself in {BLOCK_SECONDS} s")
        start = helper.mark()
        helper.wait_for(lambda m: m.get("type") == "status" and "requestId" not in m
                        and not m["watcherRunning"], "the end of the block",
                        timeout=BLOCK_SECONDS + 10, start=start)
        status = helper.shutdown()
        say(f"helper exited with status {status}")
    finally:
        processes.end_all()


def virtual_display(root, build_dir, screenshot):
    processes = Processes()
    try:
        xprobe = build_xprobe(root, build_dir)
        desktop = Desktop(processes, xprobe)
        desktop.start_virtual(compositor=True)
        env = desktop.env
        note(f"virtual display {env['DISPLAY']}: Xvfb, openbox"
             + (", xcompmgr" if desktop.compositor else " (no compositor: the veil is opaque)"))
        font = ["-fa", "DejaVu Sans Mono", "-fs", "11"]
        report = ("printf '%s\\n' 'quarterly-report.md' '' '# Q3 figures' '' "
                  "'- revenue up 12 %' '- two new regions' '- hiring plan: see below' ''; "
                  "exec cat")
        shell = ("printf '%s\\n' '$ make test' 'running 214 tests' "
                 "'..........................................' 'all passed' '$ '; exec cat")
        processes.start(["xterm", *font, "-T", "Report draft", "-geometry", "64x18+60+70",
                         "-bg", "#fdf6e3", "-fg", "#333333", "-e", "sh", "-c", report], env)
        processes.start(["xterm", *font, "-T", "Build shell", "-geometry", "70x16+560+330",
                         "-e", "sh", "-c", shell], env)
        processes.start(["xclock", "-geometry", "180x180+1040+40", "-update", "1"], env)
        wait_until(lambda: len(desktop.windows_of("XTerm")) == 2
                   and len(desktop.windows_of("XClock")) == 1, "the terminals and the clock")
        note("two xterm windows (class XTerm, to be blocked) and xclock (left alone) are up")

        helper = Helper(processes, os.path.join(build_dir, "shield-helper"), env, echo=True)
        ends_at = now_ms() + BLOCK_SECONDS * 1000
        helper.request("start", targets=[TERMINAL], endsAt=ends_at)
        wait_covered(helper, 2)
        wait_until(lambda: desktop.shields_in_place({"XTerm"}, 2),
                   "both shields mapped over the terminals")
        note("X shows a shield mapped exactly over each terminal frame")

        # The state is complete; the pause only lets the compositor and the clock finish
        # painting before the picture is taken.
        time.sleep(0.5)
        subprocess.run(["import", "-window", "root", screenshot], env=env, check=True)
        note(f"screenshot: {screenshot}")

        shield = desktop.windows_of(SHIELD_CLASS)[-1]
        note("clicking on a shield (real input through XTEST)")
        start = helper.mark()
        subprocess.run(["xdotool", "mousemove", str(shield["x"] + shield["w"] // 2),
                        str(shield["y"] + shield["h"] // 2), "click", "1"], env=env, check=True)
        helper.wait_for(lambda m: m.get("type") == "accessAttempt", "the access attempt",
                        start=start)

        build_shell = max(desktop.windows_of("XTerm"), key=lambda t: t["x"])

        def followed():
            frame = next((t for t in desktop.windows_of("XTerm")
                          if t["frame"] == build_shell["frame"]), None)
            return (frame is not None and (frame["x"], frame["y"]) != (build_shell["x"],
                                                                       build_shell["y"])
                    and desktop.shields_in_place({"XTerm"}, 2))

        note("moving the build shell with xdotool windowmove")
        moved_at = time.monotonic()
        subprocess.run(["xdotool", "search", "--name", "^Build shell$", "windowmove", "480",
                        "420"], env=env, check=True, stdout=subprocess.DEVNULL)
        wait_until(followed, "the shield to follow the window")
        note(f"X shows the shield over the moved window {(time.monotonic() - moved_at) * 1000:.0f}"
             " ms after the move")

        remaining = (ends_at - now_ms()) / 1000
        note(f"waiting for the end time, {max(remaining, 0):.1f} s from now")
        # The only unsolicited status without a running watcher is the one the end time brings.
        helper.wait_for(lambda m: m.get("type") == "status" and "requestId" not in m
                        and not m["watcherRunning"], "the end of the block",
                        timeout=max(remaining, 0) + 10)
        wait_until(lambda: not desktop.windows_of(SHIELD_CLASS), "the shields to close")
        note("the block has ended and no shield is left on the display")
        status = helper.shutdown()
        say(f"helper exited with status {status}")
    finally:
        processes.end_all()


def main():
    end_on_signals()
    root, build_dir, *args = sys.argv[1:]
    virtual = "--virtual" in args
    args = [a for a in args if a != "--virtual"]
    wm_class = args[0] if args else os.environ.get("SHIELD_DEMO_CLASS", "XTerm")
    screenshot = os.path.abspath(os.environ.get("SHIELD_DEMO_SCREENSHOT",
                                                os.path.join(build_dir, "demo.png")))
    display = os.environ.get("DISPLAY")
    reachable = bool(display) and subprocess.run(
        ["xdpyinfo"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
    if reachable and not virtual:
        say(f"Host session with {build_dir}/shield-helper on your display {display}: "
              f"blocking {wm_class} for {BLOCK_SECONDS} s")
        own_display(build_dir, wm_class)
    else:
        say(f"Host session with {build_dir}/shield-helper on a virtual display")
        virtual_display(root, build_dir, screenshot)


if __name__ == "__main__":
    main()
