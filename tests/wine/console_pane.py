"""A Windows program on a real console: Wine started inside a tmux pane.

Wine given a terminal gives the program a true console whose output tmux
renders, so capture-pane shows the screen as a user would see it and
send-keys types on the user's keyboard. Each Pane is its own tmux server
(its own socket) with one pane of a fixed size; the program runs in a
folder of the caller's, with only the environment tests/wine/wine_env.py
gives (and the pane's TERM where asked), and when it ends the shell prints
"EXIT:<status>" and keeps the pane open, so its last screen can be read.

Wine hands a Linux exit status the low 8 bits of the Windows exit code.
"""

import os
import re
import signal
import subprocess
import termios
import time

from wine_env import WINE
from wine_env import environment as wine_environment

PANE_WIDTH = 120
PANE_HEIGHT = 50
# Passed on as the pane has it, for a case that keeps TERM.
PANE_TERM = object()


class Failure(Exception):
    pass


class Pane:
    """One tmux server with one pane that runs the program in `workdir`
    (a path inside it, or an absolute one) under Wine; or, given, another
    command. Wine starts with `environment`, or else wine_environment()."""

    def __init__(self, case, workdir, term=None, program="winrepair.exe", width=PANE_WIDTH,
                 height=PANE_HEIGHT, command=None, environment=None):
        self.socket = "wrtmux-%d-%s" % (os.getpid(), case)
        self.workdir = workdir
        self.term = term
        self.program = program
        self.command = command or [WINE, program if os.path.isabs(program) else "./" + program]
        self.environment = environment
        self.width = width
        self.height = height
        self.env = dict(os.environ)
        self.env.pop("TMUX", None)
        self.env.pop("TMUX_PANE", None)
        self.pane_pid = None
        self.pane_tty = None
        self.socket_path = None

    def tmux(self, *args, check=True):
        done = subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", *args],
                              env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=30)
        if check and done.returncode != 0:
            raise Failure("tmux %s failed: %s" % (args[0], done.stderr.strip()))
        return done.stdout

    def start(self):
        # Ctrl+Z must reach the program instead of stopping the job, and the
        # pane must outlive the program so its last screen can be read.
        # `env -i` keeps the pane's own variables (TERM, TMUX, PATH...) away
        # from Wine and so from the program. The pane's title starts empty
        # (tmux would show the host name), so any title is the program's.
        script = os.path.join(self.workdir, "run.sh")
        env = " ".join(shquote("%s=%s" % item)
                       for item in sorted((self.environment or wine_environment()).items()))
        if self.term is PANE_TERM:
            env += ' TERM="$TERM"'
        with open(script, "w") as f:
            f.write("stty susp undef\n"
                    "cd %s || exit 1\n"
                    "printf %%s \"$TERM\" >pane-term\n"
                    "printf '\\033]2;\\033\\\\'\n"
                    "env -i %s %s\n"
                    "echo \"EXIT:$?\"\n"
                    "exec sleep 3600\n" % (shquote(self.workdir), env,
                                           " ".join(shquote(word) for word in self.command)))
        self.tmux("new-session", "-d", "-s", "main", "-x", str(self.width),
                  "-y", str(self.height), "bash --norc --noprofile " + shquote(script))
        pid, self.pane_tty, self.socket_path = self.tmux(
            "display", "-p", "-t", "main",
            "#{pane_pid} #{pane_tty} #{socket_path}").rstrip("\n").split(" ", 2)
        self.pane_pid = int(pid)

    def stop(self):
        self.tmux("kill-server", check=False)
        # The pane's shell runs without job control, so the program, Wine's
        # loader and the tools it started share the shell's process group;
        # whatever outlived the hang-up goes now.
        if self.pane_pid:
            try:
                os.killpg(self.pane_pid, signal.SIGKILL)
            except OSError:
                pass
        # A server that goes down with its last pane leaves its socket file.
        if self.socket_path:
            try:
                os.unlink(self.socket_path)
            except OSError:
                pass

    def capture(self):
        return self.tmux("capture-pane", "-p", "-J", "-S", "-", "-E", "-", "-t", "main")

    def line_mode(self):
        """Whether the pane's terminal is in line mode (canonical input),
        as the shell leaves it; None when it cannot be read."""
        try:
            fd = os.open(self.pane_tty, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        except (OSError, TypeError):
            return None
        try:
            return bool(termios.tcgetattr(fd)[3] & termios.ICANON)
        except termios.error:
            return None
        finally:
            os.close(fd)

    def title(self):
        return self.tmux("display", "-p", "-t", "main", "#{pane_title}").rstrip("\n")

    def keys(self, *keys):
        self.tmux("send-keys", "-t", "main", *keys)

    def wait_for(self, what, predicate, timeout):
        deadline = time.monotonic() + timeout
        while True:
            text = self.capture()
            if predicate(text):
                return text
            if time.monotonic() > deadline:
                raise Failure("timed out after %.0f s waiting for %s; the screen was:\n%s"
                              % (timeout, what, text.rstrip()))
            time.sleep(0.2)


def shquote(text):
    return "'" + text.replace("'", "'\\''") + "'"


EXIT_LINE = re.compile(r"^EXIT:(\d+)$", re.M)


def exit_status(text):
    """The program's exit status from the shell's EXIT line; None before it ends."""
    found = EXIT_LINE.search(text)
    return None if found is None else int(found.group(1))
