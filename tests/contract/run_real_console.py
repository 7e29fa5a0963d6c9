#!/usr/bin/env python3
"""The RealConsole contract cases on Wine's real console.

Wine started inside a tmux pane (tests/wine/console_pane.py) gives the
program a true console. The cases type into it themselves
(WriteConsoleInputW), so nothing is sent from here: this only starts the
program in a pane with the Wine environment and nothing else of the Linux
one, waits for it to end and hands on its status. The pane's screen is
printed either way, the test's own report among it.

Usage: run_real_console.py --program PATH
Exit status: the program's (0 all passed); 1 when the cases did not run on
a console, did not end in time, or tmux is missing.
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from console_pane import Failure, Pane, exit_status  # noqa: E402
from wine_env import WINE  # noqa: E402

TIMEOUT = 120.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    if shutil.which("tmux") is None:
        print("tmux not found (apt-get install tmux): the real-console contract cases cannot run")
        return 1

    workdir = tempfile.mkdtemp(prefix="wr-real-console-")
    pane = Pane("contract", workdir, command=[WINE, os.path.abspath(args.program), "--gtest_filter=RealConsole.*"],
                width=160, height=50)
    try:
        pane.start()
        try:
            screen = pane.wait_for("the cases to end", lambda text: exit_status(text) is not None, TIMEOUT)
        except Failure as e:
            print(e)
            return 1
        print(screen.rstrip("\n"))
        # The cases skip where they find no console; here one is meant to be.
        if "[  SKIPPED ]" in screen:
            print("the console cases skipped: the pane gave the program no console")
            return 1
        return exit_status(screen)
    finally:
        pane.stop()
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
