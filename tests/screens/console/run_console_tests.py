#!/usr/bin/env python3
"""What a user sees: winrepair.exe on a real console.

Wine started inside a tmux pane gives the program a true console whose
output tmux renders, so capture-pane shows the screen as the user would see
it and send-keys types on the user's keyboard. Every case runs in its own
tmux server (its own socket), with a fixed pane size, in a fresh directory
holding a copy of the program and of the tools standing in for DISM and sfc.

Wine copies the whole Linux environment into the Windows one, and the pane
has TERM set, which alone would decide that the title goes out as an escape
sequence. So Wine starts with only what it needs (see wine_environment) and
without TERM: the program's own probe of the console decides. One case keeps
the pane's TERM.

Wine hands a Linux exit status the low 8 bits of the Windows exit code, so
a status of 0 still means 0, 29 is what is left of 0xC000001D and 9 of
0xC0000409.

Usage: run_console_tests.py --winrepair PATH --standin PATH
           [--slow-tool PATH] [--no-vt-console PATH] [--keep] CASE...
Exit status: 0 all passed, 1 a case failed, 77 every case skipped.
"""

import argparse
import difflib
import os
import re
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "wine"))
from console_pane import EXIT_LINE, PANE_TERM, Failure, Pane, exit_status  # noqa: E402
from wine_env import WINE  # noqa: E402
from wine_env import environment as wine_environment  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import expected_screens  # noqa: E402

SKIPPED = 77


# How long Wine may take to bring the program's first text up (a cold
# wineserver on a loaded machine is slow), and how long anything after that
# may take.
START_TIMEOUT = 90.0
STEP_TIMEOUT = 30.0
# How long the program must stay in its final pause to count as waiting.
STILL_WAITING = 1.5


# The program's screen texts (tests/screens/expected_screens.json and the
# publisher's name), composed the way it prints them.
EXPECTED = expected_screens.texts()
PUBLISHER = EXPECTED["publisher_text"]
TITLE = EXPECTED["title_prefix"] + PUBLISHER
BANNER = ("\n"
          "    ." + "-" * 58 + ".\n"
          "    |" + " " * 58 + "|\n"
          "    |    " + TITLE + "    |\n"
          "    |   " + EXPECTED["banner_slogan"] + "   |\n"
          "    |" + " " * 58 + "|\n"
          "    '" + "-" * 58 + "'\n"
          "    \n")
ESC_HINT = EXPECTED["esc_hint"]
STAGE1 = EXPECTED["stage1_header"] + EXPECTED["dism_command_text"] + "`\n\n    " + ESC_HINT + "\n\n"
STAGE2 = EXPECTED["stage2_header"] + EXPECTED["sfc_command_text"] + "`\n\n    " + ESC_HINT + "\n\n"
REINSTALL = EXPECTED["reinstall_text"]
TOOL_FAILED_LINE = "\n    " + EXPECTED["tool_failed_text"] + "!\n"
TOOL_FAILED = TOOL_FAILED_LINE + "\n    " + REINSTALL + "!\n"
REINSTALL_ONLY = "\n    " + REINSTALL + "\n"
LAUNCH_FAILED = ("\n    " + EXPECTED["launch_failed_text"] + ":\n"
                 "program not found\n\n    " + REINSTALL + "!\n")
SUCCESS = EXPECTED["success_text"]


def advice(cause, action):
    """A cause and what to do, each on a line of its own."""
    return "\n    " + EXPECTED[cause] + "\n    " + EXPECTED[action] + "\n"


# DISM's codes with advice: succeeded, a restart finishes it (no tool-failed
# line), and a disk that cannot be read (the tool-failed line above).
RESTART_TO_FINISH = advice("restart_to_finish_cause", "restart_action")
DISK_ERRORS = TOOL_FAILED_LINE + advice("disk_error_cause", "disk_error_action")


def tool_line(name):
    """What the stand-in prints when it runs under the given name."""
    return "stand-in %s ran\n" % name


class Skip(Exception):
    pass


def screen_lines(text):
    """Lines as tmux shows them: trailing blanks and blank tail dropped."""
    lines = [line.rstrip() for line in text.split("\n")]
    while lines and not lines[-1]:
        lines.pop()
    return lines


# Where the expected screens are written, for a failing case to name.
EXPECTED_SOURCE = "%s, laid out by %s" % (
    expected_screens.SOURCE,
    os.path.relpath(os.path.abspath(__file__), os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")))


def diff(expected, actual):
    """The differing lines with three of context, as text."""
    return "\n".join(difflib.unified_diff(expected, actual, "expected screen (%s)" % EXPECTED_SOURCE,
                                          "actual screen", lineterm=""))


STATUS_NAMES = {29: "what a fatal stop 0xC000001D leaves",
                9: "what a fail-fast 0xC0000409 leaves"}


def expect_status_zero(text):
    status = exit_status(text)
    if status != 0:
        raise Failure("the program ended with status %s (%s), expected 0; the screen was:\n%s"
                      % (status, STATUS_NAMES.get(status, "low 8 bits of its exit code"),
                         text.rstrip()))


def program_text(text):
    """The screen up to the shell's EXIT line."""
    found = EXIT_LINE.search(text)
    return text if found is None else text[:found.start()]


def check_clean_screen(text):
    """Cyrillic must arrive as Cyrillic and control sequences must not show."""
    shown = program_text(text)
    for marker, meaning in (("]0;", "the title sequence printed as text"),
                            ("\x1b", "a raw ESC"), ("^[", "an ESC shown as ^["),
                            ("\x07", "a raw BEL"), ("\ufffd", "a replacement character"),
                            ("?", "a question mark (an unconvertible character)")):
        if marker in shown:
            raise Failure("the screen shows %s:\n%s" % (meaning, shown.rstrip()))
    for ch in shown:
        if ord(ch) > 0x7E and not 0x0400 <= ord(ch) <= 0x04FF:
            raise Failure("the screen shows U+%04X %r, which none of the texts holds "
                          "(mojibake?):\n%s" % (ord(ch), ch, shown.rstrip()))


class Settled:
    """Ready to compare: the last expected line is shown, the program has
    ended, or it waits in its final pause showing something else.

    The sign of the final pause: Wine's console leaves the terminal in line
    mode until a program first reads console input (or flushes or peeks at
    it), and then switches it to raw mode for good. In these cases only the
    program reads input, and only in its final pause, after the verdict is
    printed. So once the terminal has turned from line mode (a new terminal
    starts in it, and the first look comes before Wine has started) to raw
    mode, and the screen has stopped changing for a moment (tmux draws what
    Wine wrote), the screen is final. The whole run may take less than one
    look at the screen, so the sighting of line mode cannot wait for the
    program's text. A case whose tool reads console input must not rely on
    this.

    Where the switch is never seen (another Wine, an unreadable terminal), a
    screen at least as long as expected that has not changed for a while is
    taken as final too; a shorter one waits for the timeout."""

    QUIET = 5.0
    # How long the screen must stay as it is once the pause has begun.
    PAUSE_QUIET = 0.5

    def __init__(self, expected, pane):
        self.expected = expected
        self.pane = pane
        self.seen = None
        self.since = 0.0
        self.line_mode_seen = False
        self.paused = False

    def __call__(self, text):
        if self.expected[-1] in text or exit_status(text) is not None:
            return True
        now = time.monotonic()
        if not self.paused:
            line_mode = self.pane.line_mode()
            if line_mode:
                self.line_mode_seen = True
            elif line_mode is False and self.line_mode_seen and text.strip():
                # The screen may still be drawing what came just before.
                self.paused, self.seen, self.since = True, text, now
                return False
        if text != self.seen:
            self.seen, self.since = text, now
            return False
        if self.paused:
            return now - self.since >= self.PAUSE_QUIET
        return len(screen_lines(text)) >= len(self.expected) and now - self.since >= self.QUIET


class Case:
    """A fresh directory with the program and the tools one case needs.
    With a starter, the pane runs that (copied beside the program), and the
    starter runs the program."""

    def __init__(self, name, args, term=None, starter=None):
        self.name = name
        self.args = args
        self.dir = tempfile.mkdtemp(prefix="wrtmux-%s-" % name)
        shutil.copy(args.winrepair, os.path.join(self.dir, "winrepair.exe"))
        program = "winrepair.exe"
        if starter:
            program = os.path.basename(starter)
            shutil.copy(starter, os.path.join(self.dir, program))
        self.pane = Pane(name, self.dir, term, program)

    def tool(self, file_name, exit_code=None, source=None):
        shutil.copy(source or self.args.standin, os.path.join(self.dir, file_name))
        if exit_code is not None:
            base = os.path.splitext(file_name)[0]
            with open(os.path.join(self.dir, base + ".exitcode"), "w") as f:
                f.write("%d\n" % exit_code)

    def ran(self, tool_name):
        return os.path.exists(os.path.join(self.dir, tool_name + ".log"))

    def record_environment(self, tool_name):
        """Asks the stand-in to write down the environment it is given,
        which is the program's own: the program passes its environment on."""
        open(os.path.join(self.dir, tool_name + ".env"), "w").close()

    def windows_environment(self, tool_name):
        with open(os.path.join(self.dir, tool_name + ".env"), encoding="utf-8") as f:
            entries = [line.rstrip("\r\n") for line in f if line.strip()]
        if not entries:
            raise Failure("%s did not record its environment" % tool_name)
        return dict(entry.split("=", 1) for entry in entries if "=" in entry[1:])

    def record_console_mode(self, tool_name):
        open(os.path.join(self.dir, tool_name + ".console"), "w").close()

    def console_record(self, tool_name):
        """The stand-in's record of the console it shared with the program:
        {"mode": ..., "title": ...} as it wrote them."""
        with open(os.path.join(self.dir, tool_name + ".console"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        record = dict(line.split("=", 1) for line in lines if "=" in line)
        if "mode" not in record or "title" not in record:
            raise Failure("%s did not record the console's mode and title: %r" % (tool_name, lines))
        return record

    def console_mode(self, tool_name):
        """The output mode of the console the stand-in shared with the
        program, or None when it had no console."""
        mode = self.console_record(tool_name)["mode"]
        return None if mode == "none" else int(mode, 16)

    def console_title(self, tool_name):
        """The console's title as GetConsoleTitleW gave it to the stand-in,
        or None when the call failed."""
        title = self.console_record(tool_name)["title"]
        return None if title == "none" else title

    def pane_term(self):
        with open(os.path.join(self.dir, "pane-term")) as f:
            return f.read()

    def close(self):
        self.pane.stop()
        if self.args.keep:
            print("  kept %s" % self.dir)
        else:
            shutil.rmtree(self.dir, ignore_errors=True)

    # The program's whole run up to the final pause, compared line by line.
    def run_to_pause(self, expected_text):
        expected = screen_lines(expected_text)
        last = expected[-1]
        self.pane.start()
        text = self.pane.wait_for(repr(last), Settled(expected, self.pane), START_TIMEOUT)
        if exit_status(text) is not None:
            raise Failure("the program ended without waiting for a key (status %s):\n%s"
                          % (exit_status(text), text.rstrip()))
        actual = screen_lines(text)
        if actual != expected:
            raise Failure("the screen differs from the program's texts:\n"
                          + diff(expected, actual))
        check_clean_screen(text)
        # Still in the final pause a moment later (and by then surely inside
        # its console read, so the key that follows is not typed ahead).
        time.sleep(STILL_WAITING)
        text = self.pane.capture()
        if exit_status(text) is not None:
            raise Failure("the program did not wait for a key (status %s):\n%s"
                          % (exit_status(text), text.rstrip()))
        if screen_lines(text) != expected:
            raise Failure("the screen changed during the final pause:\n"
                          + diff(expected, screen_lines(text)))

    def end_with(self, *keys):
        self.pane.keys(*keys)
        text = self.pane.wait_for("the program to end after %s" % "+".join(keys),
                                  lambda t: exit_status(t) is not None, STEP_TIMEOUT)
        expect_status_zero(text)


# --- the cases --------------------------------------------------------------

def verdict_case(tools, expected, not_run=()):
    """The run with the given tools present, ended by Enter."""
    def run(case):
        for file_name, code in tools:
            case.tool(file_name, code)
        case.run_to_pause(expected)
        for tool_name in not_run:
            if case.ran(tool_name):
                raise Failure("%s ran, though the verdict was already given" % tool_name)
        case.end_with("Enter")
    return run


SUCCESS_SCREEN = BANNER + STAGE1 + tool_line("DISM") + STAGE2 + tool_line("sfc") + SUCCESS


def check_environment(case, tool_name, term):
    """The program saw TERM only as the case meant (None: not at all), and
    no other variable of the Linux side: none of the test runner's own, nor
    of the pane's, except those Wine is deliberately started with."""
    seen = {name.upper(): value for name, value in case.windows_environment(tool_name).items()}
    if seen.get("TERM") != term:
        raise Failure("the program saw TERM=%r, expected %s"
                      % (seen.get("TERM"), "no TERM" if term is None else repr(term)))
    passed = set(wine_environment())
    linux = dict(os.environ)
    for name in ("TERM", "TMUX", "TMUX_PANE", "SHLVL", "PWD", "OLDPWD", "_"):
        linux.setdefault(name, None)
    leaked = sorted(name for name, value in linux.items()
                    if name not in passed and name != "TERM" and name.upper() in seen
                    and (value is None or seen[name.upper()] == value))
    if leaked:
        raise Failure("Linux variables reached the program: " + ", ".join(leaked))


def success_in_clean_environment(case):
    # Also the check that nothing of the Linux environment comes through.
    case.tool("DISM.exe", 0)
    case.tool("sfc.exe", 0)
    case.record_environment("DISM")
    case.run_to_pause(SUCCESS_SCREEN)
    check_environment(case, "DISM", None)
    case.end_with("Enter")


def ctrl_z_ends_pause(case):
    # The read asks the console to end a line read at Ctrl+Z itself, so Ctrl+Z
    # alone must end the pause; a plain line read would wait for Enter.
    case.tool("DISM.exe", 0)
    case.tool("sfc.exe", 0)
    case.run_to_pause(SUCCESS_SCREEN)
    case.end_with("C-z")


ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004


def window_title(case):
    # Without TERM the program's probe of the console alone decides how the
    # title goes out. Wine's console shows both forms the same way (it hands
    # SetConsoleTitleW on to the terminal as OSC 0 too, and tmux keeps it as
    # the pane title), so the decision is read from the console itself: the
    # probe leaves virtual-terminal processing on exactly when it succeeded,
    # and the tool that runs next shares that console.
    case.tool("DISM.exe", 0)
    case.tool("sfc.exe", 0)
    case.record_environment("DISM")
    case.record_console_mode("DISM")
    case.run_to_pause(SUCCESS_SCREEN)
    title = case.pane.title()
    if title != TITLE:
        raise Failure("pane title is %r, expected %r" % (title, TITLE))
    check_environment(case, "DISM", None if case.pane.term is None else case.pane_term())
    mode = case.console_mode("DISM")
    if mode is None or not mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING:
        raise Failure("the console is not in virtual-terminal mode (mode %s): the program's probe "
                      "did not choose the escape form" % (None if mode is None else hex(mode)))
    case.end_with("Enter")


def window_title_without_vt(case):
    # A console that refuses virtual-terminal mode (Windows 7 and 8, or a
    # legacy console) gets the title through SetConsoleTitleW. Wine's console
    # takes every mode, so no_vt_console starts the program with its
    # SetConsoleMode refusing that mode, as such a console does; the program
    # itself is the same file. Without TERM the refusal alone decides. The
    # tool that runs next shares the console: it finds no virtual-terminal
    # mode there, and the console's own title, as GetConsoleTitleW gives it
    # to the tool, is the program's title; Wine also hands it to the
    # terminal, so the pane shows it. No escape may reach the screen.
    if not case.args.no_vt_console:
        raise Skip("no --no-vt-console given")
    case.tool("DISM.exe", 0)
    case.tool("sfc.exe", 0)
    case.record_environment("DISM")
    case.record_console_mode("DISM")
    case.run_to_pause(SUCCESS_SCREEN)
    check_environment(case, "DISM", None)
    mode = case.console_mode("DISM")
    if mode is None:
        raise Failure("the tool found no console")
    if mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING:
        raise Failure("the console is in virtual-terminal mode (mode %s): the refusal did not take"
                      % hex(mode))
    title = case.console_title("DISM")
    if title != TITLE:
        raise Failure("GetConsoleTitleW gave %r after the program's run, expected %r" % (title, TITLE))
    title = case.pane.title()
    if title != TITLE:
        raise Failure("pane title is %r, expected %r" % (title, TITLE))
    case.end_with("Enter")


WAITING_EVENTS = re.compile(r"slow tool done, input events waiting: (\d+|no console)")


def enter_typed_while_tool_runs(case):
    # People press Enter while a tool seems stuck. That key must not end the
    # final pause the instant the verdict appears: the program discards what
    # was typed before its read, so only a second Enter ends the wait.
    #
    # What this can show under Wine: Wine's console moves keys from the
    # terminal into its input buffer only once some program has read or
    # peeked at console input; before that an Enter stays in the terminal's
    # line editing (echoed there) and later reaches the console as a line
    # feed, which does not end a line. Wine alone would then keep an unfixed
    # program waiting too, and the case would prove nothing. So the slow tool
    # peeks at the console input when it starts (reading nothing), and when
    # it ends prints how many input events wait: a non-zero count means the
    # Enter sat in the console's input buffer as key records when the verdict
    # came, as on Windows, and the program's wait for a second Enter is its
    # own doing (an unfixed program ends at once here). A zero count means
    # Wine kept the key elsewhere, and the case is skipped rather than passing
    # for the wrong reason. What it cannot show: the behaviour of a Windows
    # console (its line editing, its input queue, the flush's access check);
    # the fake's unit tests hold what Windows documents.
    if not case.args.slow_tool:
        raise Skip("no --slow-tool given")
    case.tool("DISM.exe", 0)
    case.tool("sfc.exe", source=case.args.slow_tool)
    pane = case.pane
    pane.start()
    pane.wait_for("the slow tool to start", lambda t: "slow tool started" in t, START_TIMEOUT)
    pane.keys("Enter")
    text = pane.wait_for("the success text", lambda t: SUCCESS.strip() in t, STEP_TIMEOUT)
    found = WAITING_EVENTS.search(text)
    if found is None:
        raise Failure("the success text came before the slow tool finished:\n" + text.rstrip())
    time.sleep(STILL_WAITING)
    text = pane.capture()
    if exit_status(text) is not None:
        raise Failure("the Enter typed while the tool ran ended the final pause (status %s); "
                      "the verdict was on screen for no time:\n%s" % (exit_status(text), text.rstrip()))
    case.end_with("Enter")
    if found.group(1) in ("0", "no console"):
        raise Skip("Wine did not hold the Enter in the console's input buffer (input events "
                   "waiting: %s), so the wait shows nothing; a second Enter ended it with 0"
                   % found.group(1))


def wrong_screen_fails_fast(case):
    # The driver's own check: a case whose expected screen is wrong fails as
    # soon as the program waits in its final pause, by the screens'
    # difference, and does not sit out the start timeout. The expectation
    # here goes on to sfc while DISM's restart code ends the run after stage
    # 1: longer than the screen, and its last line never shows, so only the
    # sign of the final pause can end the wait before the timeout.
    case.tool("DISM.exe", 3017)
    case.tool("sfc.exe", 0)
    started = time.monotonic()
    try:
        case.run_to_pause(SUCCESS_SCREEN)
    except Failure as why:
        if not str(why).startswith("the screen differs"):
            raise Failure("a wrong expectation failed otherwise than by the screens' difference: %s"
                          % why)
    else:
        raise Failure("a wrong expectation passed")
    note = "the wrong screen failed %.1f s after the start" % (time.monotonic() - started)
    if case.ran("sfc"):
        raise Failure("sfc ran after DISM's restart code")
    case.end_with("Enter")
    return note


CASES = {
    "success": success_in_clean_environment,
    # Above 0x7FFFFFFF on purpose: the code is compared unsigned.
    "dism_fails": verdict_case([("DISM.exe", 0x80070005), ("sfc.exe", 0)],
                               BANNER + STAGE1 + tool_line("DISM") + TOOL_FAILED,
                               not_run=["sfc"]),
    "sfc_reinstall": verdict_case([("DISM.exe", 0), ("sfc.exe", 2)],
                                  BANNER + STAGE1 + tool_line("DISM") + STAGE2
                                  + tool_line("sfc") + REINSTALL_ONLY),
    "sfc_tool_failed": verdict_case([("DISM.exe", 0), ("sfc.exe", 3)],
                                    BANNER + STAGE1 + tool_line("DISM") + STAGE2
                                    + tool_line("sfc") + TOOL_FAILED),
    # ERROR_SUCCESS_REBOOT_REQUIRED: sfc waits for the restart.
    "dism_restart_to_finish": verdict_case([("DISM.exe", 3010), ("sfc.exe", 0)],
                                           BANNER + STAGE1 + tool_line("DISM") + RESTART_TO_FINISH,
                                           not_run=["sfc"]),
    # ERROR_FILE_CORRUPT: the longest advice lines, whole in 80 columns.
    "dism_disk_errors": verdict_case([("DISM.exe", 1392), ("sfc.exe", 0)],
                                     BANNER + STAGE1 + tool_line("DISM") + DISK_ERRORS,
                                     not_run=["sfc"]),
    # Wine's system directory holds a dism.exe but no sfc.exe.
    "sfc_missing": verdict_case([("DISM.exe", 0)],
                                BANNER + STAGE1 + tool_line("DISM") + STAGE2 + LAUNCH_FAILED),
    "ctrl_z": ctrl_z_ends_pause,
    "title": window_title,
    # The same with the pane's TERM passed on to the program.
    "title_term": window_title,
    # The console refuses virtual-terminal mode: SetConsoleTitleW.
    "title_no_vt": window_title_without_vt,
    "type_ahead": enter_typed_while_tool_runs,
    "wrong_screen_fails_fast": wrong_screen_fails_fast,
}

# Cases that run with TERM set on the Windows side; every other has none.
CASE_TERM = {"title_term": PANE_TERM}
# Cases whose pane starts the program through a starter, by option name.
CASE_STARTER = {"title_no_vt": "no_vt_console"}


def unready_status(*programs):
    """The exit status to end with, said on a line, when tmux or one of
    `programs` (or Wine) is missing; None when all are there."""
    if shutil.which("tmux") is None:
        print("SKIP: tmux is not installed")
        return SKIPPED
    for path in (*programs, WINE):
        if not os.path.isfile(path):
            print("FAIL: %s does not exist" % path)
            return 1
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--winrepair", required=True)
    parser.add_argument("--standin", required=True)
    parser.add_argument("--slow-tool")
    parser.add_argument("--no-vt-console",
                        help="test-only starter whose program finds virtual-terminal mode refused")
    parser.add_argument("--keep", action="store_true", help="keep the case directories")
    parser.add_argument("cases", nargs="*", help="cases to run (all when none): "
                        + ", ".join(CASES))
    args = parser.parse_args()
    names = args.cases or list(CASES)
    unknown = [n for n in names if n not in CASES]
    if unknown:
        parser.error("unknown case(s): " + ", ".join(unknown))
    unready = unready_status(args.winrepair, args.standin)
    if unready is not None:
        return unready

    failed = skipped = 0
    for name in names:
        starter = getattr(args, CASE_STARTER[name]) if name in CASE_STARTER else None
        case = Case(name, args, CASE_TERM.get(name), starter)
        try:
            note = CASES[name](case)
            print("PASS %s%s" % (name, ": " + note if note else ""))
        except Skip as why:
            skipped += 1
            print("SKIP %s: %s" % (name, why))
        except Failure as why:
            failed += 1
            print("FAIL %s: %s" % (name, why))
        finally:
            case.close()
        sys.stdout.flush()
    if failed:
        return 1
    return SKIPPED if skipped == len(names) else 0


if __name__ == "__main__":
    sys.exit(main())
