#!/usr/bin/env python3
"""Wine starts this suite's processes through its preloader.

Debian's Wine loader sits at 0x7d000000 and, with address randomisation on,
the kernel starts its heap anywhere in the 1 GiB above, which holds the
shared user data page at 0x7ffe0000. When the heap is on that page a new
Wine process dies during set-up and the CreateProcessW that started it fails
with 1359. The preloader (/usr/lib/wine/wine64-preloader, Debian package
wine64-preloader) reserves the page before anything else is mapped, and the
loader runs through it by itself whenever it is installed.

This runs wine_start_probe.exe with the given launcher (the build's
emulator, as CTest starts every Windows program), lets it start a child with
CreateProcessW and, while both run, reads from /proc which program each of
their Linux processes runs. Every one must be the preloader.

Usage: check_wine_start.py --probe PATH -- LAUNCHER...
Exit status: 0 every Wine process of the probe runs under the preloader,
1 otherwise (with the reason).
"""

import argparse
import os
import select
import subprocess
import sys
import time

PRELOADER = "/usr/lib/wine/wine64-preloader"
# Marks the probe's processes: Wine hands the Linux environment on to the
# processes a Windows program starts.
MARK = "WR_WINE_START_CHECK"
READY_TIMEOUT = 120.0

HINT = """\
  Without the preloader, Wine process starts fail now and then with error
  1359 (the loader's heap over the shared user data page at 0x7ffe0000).
  Install the wine64-preloader package (scripts/install_deps.sh does) and
  start Windows programs with /usr/lib/wine/wine64, which runs through
  /usr/lib/wine/wine64-preloader by itself."""


def fail(message):
    print("check_wine_start: " + message, file=sys.stderr)
    print(HINT, file=sys.stderr)
    return 1


def marked_processes(token):
    """[(pid, program)] of Wine processes whose environment holds the mark."""
    wanted = ("%s=%s" % (MARK, token)).encode()
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                if wanted not in f.read().split(b"\0"):
                    continue
            program = os.path.realpath("/proc/%s/exe" % name)
        except OSError:
            continue  # gone meanwhile, or not ours to read
        base = os.path.basename(program)
        # The server, should the probe have started one, runs no Windows
        # code; launchers in front of Wine (setarch, a shell) are not Wine.
        if base.startswith("wine") and not base.startswith("wineserver"):
            found.append((int(name), program))
    return found


def read_line(stream, timeout):
    deadline = time.monotonic() + timeout
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            return None
        chunk = os.read(stream.fileno(), 1)
        if not chunk:
            return line.decode(errors="replace")
        line += chunk
    return line.decode(errors="replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("launcher", nargs="+")
    args = parser.parse_args()

    if not os.access(PRELOADER, os.X_OK):
        return fail("%s is missing" % PRELOADER)
    preloader = os.path.realpath(PRELOADER)

    token = "%d-%d" % (os.getpid(), time.time_ns())
    env = dict(os.environ)
    env[MARK] = token
    probe = subprocess.Popen(args.launcher + [args.probe, "hold"], env=env,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        line = read_line(probe.stdout, READY_TIMEOUT)
        if line is None or line.strip() != "ready":
            return fail("the probe did not start its child (it said %r)" % line)
        processes = marked_processes(token)
    finally:
        probe.stdin.close()
        try:
            probe.wait(timeout=60)
        except subprocess.TimeoutExpired:
            probe.kill()
            probe.wait()

    command = " ".join(args.launcher + [args.probe, "hold"])
    if len(processes) < 2:
        return fail("found %d Wine process(es) of `%s`, expected the probe and its child"
                    % (len(processes), command))
    without = [(pid, program) for pid, program in processes if program != preloader]
    if without:
        listed = "\n".join("  pid %d runs %s" % p for p in without)
        return fail("Wine processes of `%s` run without %s:\n%s" % (command, PRELOADER, listed))
    print("check_wine_start: %d Wine processes of `%s` (the probe and the child it started"
          " with CreateProcessW) run under %s" % (len(processes), command, preloader))
    return 0


if __name__ == "__main__":
    sys.exit(main())
