#!/usr/bin/env python3
"""The RealConsole contract cases on Wine's real console.

Wine started inside a tmux pane gives the program a true console. The cases
type into it themselves (WriteConsoleInputW), so nothing is sent from here:
this only starts the program in a pane with the Wine environment and
nothing else of the Linux one, waits for it to end and hands on its status.
The pane's screen is printed either way, the test's own report among it.

Usage: run_real_console.py --program PATH
Exit status: the program's (0 all passed), 77 when tmux is missing.
"""

import argparse
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from wine_env import WINE  # noqa: E402
from wine_env import environment as wine_environment  # noqa: E402

TIMEOUT = 120.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    if shutil.which("tmux") is None:
        print("tmux not found: the real-console contract cases did not run")
        return 77

    workdir = tempfile.mkdtemp(prefix="wr-real-console-")
    socket = "wrcontract-%d" % os.getpid()
    env = dict(os.environ)
    env.pop("TMUX", None)
    env.pop("TMUX_PANE", None)

    def tmux(*words, check=True):
        done = subprocess.run(["tmux", "-L", socket, "-f", "/dev/null", *words], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=30)
        if check and done.returncode != 0:
            raise RuntimeError("tmux %s: %s" % (words[0], done.stderr.strip()))
        return done.stdout

    status_file = os.path.join(workdir, "status")
    wine_env = wine_environment()
    script = os.path.join(workdir, "run.sh")
    with open(script, "w") as f:
        f.write("stty susp undef\n"
                "env -i %s %s %s --gtest_filter='RealConsole.*'\n"
                "echo $? >%s.tmp && mv %s.tmp %s\n"
                "exec sleep 3600\n" % (
                    " ".join(shlex.quote("%s=%s" % item) for item in sorted(wine_env.items())),
                    shlex.quote(WINE), shlex.quote(args.program),
                    shlex.quote(status_file), shlex.quote(status_file), shlex.quote(status_file)))
    pane_pid = None
    try:
        tmux("new-session", "-d", "-s", "main", "-x", "160", "-y", "50",
             "bash --norc --noprofile " + shlex.quote(script))
        pane_pid = int(tmux("display", "-p", "-t", "main", "#{pane_pid}").strip())
        deadline = time.monotonic() + TIMEOUT
        while not os.path.exists(status_file) and time.monotonic() < deadline:
            time.sleep(0.2)
        screen = tmux("capture-pane", "-p", "-J", "-S", "-", "-E", "-", "-t", "main", check=False)
        print(screen.rstrip("\n"))
        if not os.path.exists(status_file):
            print("the program did not end within %d s" % TIMEOUT)
            return 1
        # The cases skip where they find no console; here one is meant to be.
        if "[  SKIPPED ]" in screen:
            print("the console cases skipped: the pane gave the program no console")
            return 1
        with open(status_file) as f:
            return int(f.read().strip() or "1")
    finally:
        tmux("kill-server", check=False)
        if pane_pid:
            try:
                os.killpg(pane_pid, signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
