#!/usr/bin/env python3
"""Pictures of winrepair.exe's window, taken from the real program.

Each moment runs the program on Wine's console inside a tmux pane 80 columns
wide, in a fresh directory beside the stand-in tools (as the console tests
do), and reads the screen, the cursor and the window title from tmux:

  start          stage 1 running: the DISM stand-in has printed its line and
                 waits, so the program waits for it
  success        both tools exit 0
  tool-failed    DISM exits 5
  restart        DISM exits 3017: a restart is needed, said in place of the
                 reinstall line
  reinstall      sfc exits 2
  launch-failed  no sfc.exe beside the program, and none that Wine could find

With --out the pictures are written as <moment>.svg. With --check the
pictures already in the directory are read back and each fails, by name,
when the program's screen no longer shows the text it shows.

Usage: take_screenshots.py --winrepair PATH --standin PATH (--out DIR | --check DIR)
Exit status: 0 done (or all pictures current), 1 a picture is stale or a
moment could not be taken, 77 tmux is missing.
"""

import argparse
import difflib
import os
import re
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "console"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "wine"))

import console_svg  # noqa: E402
from console_pane import EXIT_LINE, Failure, Pane, exit_status  # noqa: E402
from run_console_tests import START_TIMEOUT, screen_lines, unready_status  # noqa: E402

ICON = os.path.join(HERE, "..", "..", "..", "resources", "winrepair.svg")
SKIPPED = 77
PANE_HEIGHT = 40
# Milliseconds the DISM stand-in of "start" waits after its line; the moment
# is taken long before, and the pane is then closed with it still waiting.
RUNNING_DELAY = 120000
# A screen that differs from the committed picture is taken once it has not
# changed for this long after the last tool started.
QUIET = 2.0
# How long a screen taken in the final pause must then stay as it is.
STILL_WAITING = 1.0
POLL = 0.2


class Moment:
    def __init__(self, name, tools, runs, running=False, no_sfc_anywhere=False):
        self.name = name
        self.tools = tools      # file name beside the program -> exit code
        self.runs = runs        # the stand-ins the program starts, in order
        self.running = running  # taken while the last of them runs
        self.no_sfc_anywhere = no_sfc_anywhere

    @property
    def last_tool(self):
        return self.runs[-1]


MOMENTS = [
    Moment("start", {"DISM.exe": 0, "sfc.exe": 0}, ("DISM",), running=True),
    Moment("success", {"DISM.exe": 0, "sfc.exe": 0}, ("DISM", "sfc")),
    Moment("tool-failed", {"DISM.exe": 5, "sfc.exe": 0}, ("DISM",)),
    Moment("restart", {"DISM.exe": 3017, "sfc.exe": 0}, ("DISM",)),
    Moment("reinstall", {"DISM.exe": 0, "sfc.exe": 2}, ("DISM", "sfc")),
    Moment("launch-failed", {"DISM.exe": 0}, ("DISM",), no_sfc_anywhere=True),
]


def stand_in_line(tool):
    """What the stand-in prints under a tool's name (tests/tools/standin.cpp)."""
    return "stand-in %s ran" % tool


class Run:
    """One run of the program in a fresh directory with a moment's tools."""

    def __init__(self, moment, args):
        self.moment = moment
        self.dir = tempfile.mkdtemp(prefix="wrshot-%s-" % moment.name)
        shutil.copy(args.winrepair, os.path.join(self.dir, "winrepair.exe"))
        for file_name, code in moment.tools.items():
            shutil.copy(args.standin, os.path.join(self.dir, file_name))
            self.write(os.path.splitext(file_name)[0] + ".exitcode", "%d\n" % code)
        if moment.running:
            self.write(moment.last_tool + ".delay", "%d\n" % RUNNING_DELAY)
        if moment.no_sfc_anywhere:
            # Asks the DISM stand-in to write down the environment it gets,
            # which is the program's: its PATH is where the program searches.
            self.write("DISM.env", "")
        self.pane = Pane("shot-" + moment.name, self.dir, width=console_svg.COLUMNS, height=PANE_HEIGHT)

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w") as f:
            f.write(text)

    def ran(self, tool):
        return os.path.exists(os.path.join(self.dir, tool + ".log"))

    def close(self):
        self.pane.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def snapshot(self):
        """(screen text, cursor cell, title) as tmux shows them now."""
        text = self.pane.tmux("capture-pane", "-p", "-e", "-S", "-", "-E", "-", "-t", "main")
        history, y, x = self.pane.tmux("display", "-p", "-t", "main",
                                       "#{history_size} #{cursor_y} #{cursor_x}").split()
        return text, (int(history) + int(y), int(x)), self.pane.title()

    def wait(self, what, ready):
        """The first snapshot that `ready` accepts and that the one before it
        equals, so that nothing was still being drawn."""
        deadline = time.monotonic() + START_TIMEOUT
        before, since = None, time.monotonic()
        while True:
            now = self.snapshot()
            if now != before:
                before, since = now, time.monotonic()
            elif ready(now[0], time.monotonic() - since):
                return now
            if exit_status(now[0]) is not None:
                raise Failure("the program ended (status %s) before %s; the screen was:\n%s"
                              % (exit_status(now[0]), what, now[0].rstrip()))
            if time.monotonic() > deadline:
                raise Failure("timed out after %.0f s waiting for %s; the screen was:\n%s"
                              % (START_TIMEOUT, what, now[0].rstrip()))
            time.sleep(POLL)

    def take(self, known):
        """The moment's Screen. `known` is the Screen its picture shows now,
        if there is one: reaching it ends the wait early."""
        moment = self.moment
        self.pane.start()
        if moment.running:
            marker = stand_in_line(moment.last_tool)
            text, cursor, title = self.wait("the %s stand-in to run" % moment.last_tool,
                                            lambda text, quiet: marker in text)
        else:
            expected = None if known is None else trimmed(known.rows)

            def final(text, quiet):
                return (screen_lines(text) == expected
                        or self.ran(moment.last_tool) and quiet >= QUIET)

            text, cursor, title = self.wait("the final pause", final)
            # Still the same a moment later, and still waiting. The pane is
            # then closed rather than the pause ended by Enter: as the program
            # ends, Wine's console may start a desktop process that waits ten
            # seconds for a service (seen here), which would make each moment
            # that slow. The console cases check how the pause ends.
            time.sleep(STILL_WAITING)
            if self.snapshot() != (text, cursor, title):
                raise Failure("the screen changed during the final pause")
        ran = tuple(tool for tool in ("DISM", "sfc") if self.ran(tool))
        if ran != moment.runs:
            raise Failure("the stand-ins that ran were %s, not %s" % (ran, moment.runs))
        if moment.no_sfc_anywhere:
            # Wine's own dism.exe shows that the search looks where the
            # program does.
            if not reachable(self.dir, "dism.exe"):
                raise Failure("the search for another sfc.exe does not even find Wine's dism.exe")
            found = reachable(self.dir, "sfc.exe")
            if found:
                raise Failure("an sfc.exe the program could start lies at %s, so this is no launch "
                              "failure; run with a Wine prefix that has none" % ", ".join(found))
        return screen_from(text, cursor, title)


def trimmed(rows):
    rows = list(rows)
    while rows and not rows[-1]:
        rows.pop()
    return rows


def screen_from(text, cursor, title):
    if "\x1b" in text:
        raise Failure("the console shows colours or other attributes, which the pictures do not "
                      "draw (they draw the console's default colours):\n%r" % text)
    if EXIT_LINE.search(text):
        raise Failure("the shell's EXIT line is on the screen:\n" + text.rstrip())
    if not title:
        raise Failure("the program set no window title")
    rows = screen_lines(text)
    rows += [""] * (cursor[0] + 1 - len(rows))
    screen = console_svg.Screen(title, tuple(rows), cursor)
    problems = console_svg.screen_problems(screen)
    if problems:
        raise Failure("the screen cannot be drawn: " + "; ".join(problems))
    return screen


def windows_to_unix(path, prefix):
    """Where a Windows path of the Wine prefix lies on Linux, or None."""
    if not re.match(r"^[A-Za-z]:", path):
        return None
    drive = os.path.join(prefix, "dosdevices", path[:2].lower())
    if not os.path.exists(drive):
        return None
    parts = [p for p in re.split(r"[\\/]", path[2:]) if p]
    return os.path.join(os.path.realpath(drive), *parts)


def reachable(run_dir, program):
    """Where `program` lies in a directory the program searches after its
    own: the system directory, the Windows directory and each entry of its
    PATH (from the environment the DISM stand-in recorded)."""
    with open(os.path.join(run_dir, "DISM.env"), encoding="utf-8") as f:
        env = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line[1:])
    env = {name.upper(): value for name, value in env.items()}
    windows = env.get("WINDIR") or env.get("SYSTEMROOT")
    if not windows or "PATH" not in env:
        raise Failure("the DISM stand-in recorded no WINDIR or PATH: %r" % sorted(env))
    places = [windows + "\\system32", windows] + [p.strip('"') for p in env["PATH"].split(";") if p]
    places = list({place.lower(): place for place in places}.values())
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    found = []
    for place in places:
        directory = windows_to_unix(place, prefix)
        if directory and os.path.isdir(directory):
            found += ["%s\\%s (%s)" % (place, entry, os.path.join(directory, entry))
                      for entry in sorted(os.listdir(directory)) if entry.lower() == program]
    return found


def describe(screen):
    """The screen as lines for a diff: the title, the rows, the cursor."""
    return (["title: " + screen.title] + ["| " + row for row in screen.rows]
            + ["cursor at row %d, column %d" % (screen.cursor[0] + 1, screen.cursor[1] + 1)])


def committed(path):
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return console_svg.read(f.read())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--winrepair", required=True)
    parser.add_argument("--standin", required=True)
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--out", metavar="DIR", help="write the pictures into DIR")
    mode.add_argument("--check", metavar="DIR", help="check the pictures in DIR against the program")
    args = parser.parse_args()
    unready = unready_status(args.winrepair, args.standin)
    if unready is not None:
        return unready
    with open(ICON, encoding="utf-8") as f:
        icon = f.read()
    directory = args.out or args.check
    failed = 0
    for moment in MOMENTS:
        picture = os.path.join(directory, moment.name + ".svg")
        known = committed(picture)
        run = Run(moment, args)
        try:
            screen = run.take(known)
        except Failure as why:
            failed += 1
            print("FAIL %s: the moment could not be taken: %s" % (picture, why))
            continue
        finally:
            run.close()
        if args.out:
            os.makedirs(directory, exist_ok=True)
            with open(picture, "w", encoding="utf-8", newline="\n") as f:
                f.write(console_svg.render(screen, icon))
            print("wrote %s" % picture)
        elif known is None:
            failed += 1
            print("FAIL %s: no such picture; make it with scripts/dev/screenshots.sh" % picture)
        elif known != screen:
            failed += 1
            print("FAIL %s: the program's window no longer shows what this picture shows; make it "
                  "again with scripts/dev/screenshots.sh. Picture against program:\n%s"
                  % (picture, "\n".join(difflib.unified_diff(describe(known), describe(screen),
                                                             "expected (%s)" % picture,
                                                             "actual (the program's window)",
                                                             lineterm=""))))
        else:
            print("PASS %s" % picture)
        sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
