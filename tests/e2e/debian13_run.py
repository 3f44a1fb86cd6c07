"""Runs the end-to-end tests that need the Debian 13 root inside it, for ctest (e2e-debian13):
the root's smoke test (debian13_smoke.py), the GNOME tests (wayland_gnome.py) on its GNOME
Shell 48, the KDE tests (wayland_kde.py) on its KWin 6.3, and the build's helper, unchanged, in
the headless protocol tests and one X11 test (debian13_portable.py), each in a fresh root
through scripts/debian13-root; and, when named, the Windows build's helper under the root's
Wine 10 (wine_windows.py), which scripts/check-windows runs right after it built that helper.

    python3 debian13_run.py [MODULE...]      (default: the four Linux modules)

Where the root cannot be had it prints one SKIPPED line with the reason and exits with 77,
which ctest shows as a skipped test: not root, no mount or PID namespaces, or no cached root and
no way to the Debian mirror to build one. Once the root is there, a module that fails or skips
inside it fails this test: the root is made to have everything those modules need. The programs
of the build (SHIELD_HELPER, BUSPROBE, KWININPUT) must lie inside the repository or the folders
this script binds into the root, their own folders. The Windows programs (SHIELD_HELPER_EXE,
WINPROBE, BLOCKME, OTHERAPP) default to those of build-windows/, which scripts/check-windows
makes; wine_windows named without them fails."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
ROOT_SCRIPT = os.path.join(REPO, "scripts", "debian13-root")
MODULES = ("debian13_smoke", "wayland_gnome", "wayland_kde", "debian13_portable")
# Not among the defaults: ctest's run comes before scripts/check-windows builds the Windows
# programs, and would otherwise test whatever an earlier build left in build-windows/.
WINDOWS_MODULE = "wine_windows"
# Programs of the build the modules read from the environment; the root passes on only the
# SHIELD_* variables by itself.
PROGRAMS = ("BUSPROBE", "KWININPUT", "LOGCLIENT", "XPROBE")
SKIPPED = 77


def skip(reason):
    print(f"SKIPPED e2e-debian13: {reason}", flush=True)
    sys.exit(SKIPPED)


def mirror():
    """The Debian mirror debian13-root builds from: the first one this machine's apt sources
    name outside the security archive, as that script reads them."""
    paths = ["/etc/apt/sources.list"]
    folder = "/etc/apt/sources.list.d"
    if os.path.isdir(folder):
        paths += sorted(os.path.join(folder, name) for name in os.listdir(folder))
    for path in paths:
        try:
            with open(path) as sources:
                lines = sources.read().splitlines()
        except OSError:
            continue
        for line in lines:
            if not line.startswith(("deb ", "URIs:")) or "security" in line:
                continue
            for word in line.split():
                if word.startswith(("http://", "https://", "file://")):
                    return word
    return None


def mirror_reason():
    """Why the mirror cannot serve a build of the root, or None."""
    uri = mirror()
    if uri is None:
        return "no Debian mirror in this machine's apt sources to build the root from"
    release = uri.rstrip("/") + "/dists/trixie/Release"
    try:
        with urllib.request.urlopen(urllib.request.Request(release, method="HEAD"), timeout=15):
            return None
    except (urllib.error.URLError, OSError, ValueError) as error:
        return f"no cached root and the Debian mirror is out of reach ({release}: {error})"


def namespace_reason():
    """Why debian13-root's mounts and namespaces cannot be had here, or None: the same kinds of
    mount it makes, tried in a throw-away mount and PID namespace."""
    if not shutil.which("unshare"):
        return "no unshare (util-linux) for the root's namespaces"
    folder = tempfile.mkdtemp(prefix="shield-ns-")
    try:
        probe = subprocess.run(
            ["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
             "--kill-child", "sh", "-c",
             'mkdir "$1/t" "$1/p" && mount -t tmpfs tmpfs "$1/t" && mount -t proc proc "$1/p"',
             "probe", folder], capture_output=True, text=True, timeout=30)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    if probe.returncode != 0:
        # In a chroot (as /work/shared/tools/fresh-debian runs the tests) "/" is no mount
        # point, and a mount namespace cannot be made private to keep the root's mounts in.
        where = "" if os.path.ismount("/") else " (\"/\" is no mount point: a chroot?)"
        return (f"no private mount and PID namespaces for the root here{where}: "
                + (probe.stderr.strip().splitlines() or ["unshare failed"])[-1])
    return None


def overlay_note():
    with open("/proc/filesystems") as filesystems:
        if "overlay" not in filesystems.read():
            print("e2e-debian13: no overlayfs here; each run copies the whole root instead",
                  flush=True)


def windows_programs():
    """The Windows build's programs wine_windows runs, by their variables, with the defaults of
    its harness filled in."""
    import winharness
    return {name: winharness.program(name) for name in winharness.DEFAULTS}


def binds():
    """Folders of the build's programs outside the repository (the repository is always there)."""
    folders = []
    paths = [os.environ.get(name) for name in ("SHIELD_HELPER", "SHIELD_ARTIFACT_DIR") + PROGRAMS]
    # A Windows program that is missing binds nothing: wine_windows does not run then.
    windows = [path for path in windows_programs().values() if os.path.exists(path)]
    for path in paths + windows:
        if not path:
            continue
        folder = path if os.path.isdir(path) else os.path.dirname(path)
        folder = os.path.realpath(folder)
        if os.path.commonpath([folder, os.path.realpath(REPO)]) != os.path.realpath(REPO) \
                and folder not in folders:
            folders.append(folder)
    return [arg for folder in folders for arg in ("--bind", folder)]


def main(modules):
    if os.geteuid() != 0:
        skip("the Debian 13 root needs root (debootstrap, chroot, mounts)")
    reason = namespace_reason()
    if reason:
        skip(reason)
    tarball = subprocess.run([ROOT_SCRIPT, "path"], capture_output=True, text=True).stdout.strip()
    if not tarball or not os.path.exists(tarball):
        reason = mirror_reason()
        if reason:
            skip(reason)
    overlay_note()
    began = time.monotonic()
    # Built (or found cached) once here, so that a failed build shows as itself.
    if subprocess.run([ROOT_SCRIPT, "build"]).returncode != 0:
        print("e2e-debian13: the root could not be built", flush=True)
        return 1
    programs = [f"{name}={os.environ[name]}" for name in PROGRAMS if os.environ.get(name)]
    programs += [f"{name}={path}" for name, path in windows_programs().items()]
    failed = []
    for module in modules:
        if module == WINDOWS_MODULE:
            absent = [path for path in windows_programs().values() if not os.path.exists(path)]
            if absent:
                print(f"== {module}: no Windows build ({', '.join(absent)} missing; "
                      "scripts/check-windows builds it)", flush=True)
                failed.append(f"{module} (no Windows build)")
                continue
        start = time.monotonic()
        print(f"== {module} inside the Debian 13 root", flush=True)
        rc = subprocess.run([ROOT_SCRIPT, "run", *binds(), "--", "env", *programs, "python3",
                             "run_optional.py", module], cwd=HERE,
                            env=dict(os.environ, PWD=HERE)).returncode
        print(f"== {module}: exit {rc} after {time.monotonic() - start:.1f} s", flush=True)
        if rc != 0:
            # A skip inside the root is a fault of the root: it is made to have what each
            # module needs.
            failed.append(f"{module} ({'skipped' if rc == SKIPPED else f'exit {rc}'})")
    print(f"e2e-debian13: {len(modules) - len(failed)} of {len(modules)} modules passed in "
          f"{time.monotonic() - began:.1f} s" + (f"; failed: {', '.join(failed)}" if failed
                                                   else ""), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or list(MODULES)))
