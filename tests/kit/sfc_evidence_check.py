"""The kit's opt-in sfc-evidence.cmd under Wine, for check_kit.py.

Wine has no sfc.exe: the kit's stand-in goes into the test prefix's system
folder as sfc.exe for these runs only, answering /verifyonly and /scannow
each with its own output (UTF-16LE with carriage-return progress lines, as
sfc writes when its output is redirected) and its own exit code. A second
copy lies beside the script, where it must never be the one run. The
confirmations are typed into the script's standard input one at a time, each
after its question appeared, as a person answers them; the helper that asks
reads one line of a pipe and no more. The elevation probes are stand-ins
that fail as on a prompt that is not elevated, for the runs that need it.

Then once in Wine's real console (a tmux pane): keys typed while the
stand-in sfc runs must not answer the question that follows it.
"""

import os
import re
import shutil
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "screens", "console"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import run_console_tests as console  # noqa: E402
from console_pane import Failure, Pane, exit_status  # noqa: E402
from wine_env import WINE, wine_command  # noqa: E402
PROMPT = b"Type 1 and press Enter"
CLOSE = b"Press Enter to close this window."
RUN_TIMEOUT = 300

# Each run's output in sfc's own texts (support.microsoft.com/help/929833):
# the lines before its progress line, the progress line, the closing line.
# One run in English, one in Russian, to see the conversion keep Cyrillic.
VERIFY = (["Beginning system scan.  This process will take some time.",
           "Beginning verification phase of system scan."],
          "Verification {}% complete.",
          "Windows Resource Protection found corrupt files but was unable to fix some of them.")
SCAN = (["Начато сканирование системы. Этот процесс может занять некоторое время.",
         "Начало стадии проверки при сканировании системы."],
        "Проверка {}% завершена.",
        "Защита ресурсов Windows обнаружила поврежденные файлы и успешно их восстановила.")
VERIFY_CODE = 2
SCAN_CODE = 0x800B0100


def sfc_output(run):
    """What sfc writes to a file: UTF-16LE, no byte-order mark, CR LF, and
    the progress line rewritten in place after carriage returns, padded."""
    head, progress, last = run
    text = "\r\n" + head[0] + "\r\n\r\n" + "\r\n".join(head[1:]) + "\r\n"
    text += "".join("\r%s  " % progress.format(step) for step in range(0, 101, 20))
    text += "\r\n\r\n" + last + "\r\n"
    return text.encode("utf-16-le")


def section(option, run, code):
    """The lines sfc-evidence.txt must hold for one run, its times aside:
    each progress line only in its last state."""
    head, progress, last = run
    lines = head + [progress.format(100), last]
    signed = code - (1 << 32) if code >= 1 << 31 else code
    return ["sfc " + option,
            "  output: %d bytes, UTF-16LE; its last %d of %d lines:" % (len(sfc_output(run)), len(lines),
                                                                        len(lines))] + \
        ["    " + line for line in lines] + \
        ["  exit code: %d (0x%08X; %%ERRORLEVEL%% %d)" % (code, code, signed)]


def run_script(folder, environment, answers):
    """Runs sfc-evidence.cmd, typing each answer after the next question or
    the wait before the window closes. Returns the exit status, the screen's
    text and how many questions came (waits() counts the waits)."""
    command = wine_command(environment, "cmd", "/c", "sfc-evidence.cmd")
    child = subprocess.Popen(command, cwd=folder, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
    screen = bytearray()

    def read():
        while True:
            chunk = child.stdout.read1(4096)
            if not chunk:
                return
            screen.extend(chunk)

    reader = threading.Thread(target=read)
    reader.start()
    deadline = time.monotonic() + RUN_TIMEOUT
    def asked():
        return screen.count(PROMPT) + screen.count(CLOSE)

    for number, answer in enumerate(answers, 1):
        while asked() < number and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if asked() < number:
            break
        child.stdin.write(answer.encode("utf-8") + b"\r\n")
        child.stdin.flush()
    child.stdin.close()
    try:
        status = child.wait(max(1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        child.kill()
        status = child.wait()
    reader.join()
    text = screen.decode("utf-8", "replace").replace("\r\n", "\n")
    return status, text, screen.count(PROMPT)


def runs_of(log_path):
    """The command lines a stand-in recorded, one per run."""
    if not os.path.exists(log_path):
        return []
    with open(log_path, "rb") as f:
        return [line.strip() for line in f.read().decode("utf-8").split("\n")
                if line.strip() and not line.startswith("stdhandles=")]


def read_evidence(path, check):
    """sfc-evidence.txt as its lines, after checking its form: one UTF-8
    byte-order mark, CR LF only, no NUL left of UTF-16."""
    with open(path, "rb") as f:
        data = f.read()
    check(data.startswith(b"\xef\xbb\xbf") and data.count(b"\xef\xbb\xbf") == 1,
          "sfc-evidence.txt does not start with one UTF-8 byte-order mark: %r" % data[:8])
    check(b"\n" not in data.replace(b"\r\n", b"") and b"\r" not in data.replace(b"\r\n", b""),
          "sfc-evidence.txt has a line end other than CR LF")
    check(b"\0" not in data, "sfc-evidence.txt holds NUL bytes (raw UTF-16?)")
    check(data.endswith(b"\r\n"), "sfc-evidence.txt does not end with a line end")
    return data[3:].decode("utf-8").split("\r\n")


def waits(text):
    return text.encode("utf-8").count(CLOSE)


def records_in(lines):
    """The record each run of the script added, in order, from its heading."""
    records = []
    for line in lines:
        if line == "winrepair: sfc evidence":
            records.append([])
        if records:
            records[-1].append(line)
    return records


def runs_in(lines):
    """The lines from the first run on, without the runs' start and end
    times (which each run must have)."""
    runs = lines[lines.index("sfc /verifyonly"):] if "sfc /verifyonly" in lines else []
    return [line for line in runs if not re.match(r"  (started|ended): \S", line)]


def times_in(lines):
    return [line.split(":")[0] for line in lines if re.match(r"  (started|ended): \S", line)]


def windows_path(path):
    """A Linux path as the Windows side of Wine names it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# How cmd.exe was started, as %cmdcmdline% shows it, and whether the script
# must wait for Enter before its window closes. Explorer starts a batch file
# with "cmd.exe /c" and the file alone: a double-click as the system's
# CreateProcess does it, "Run as administrator" by the runas verb's command
# for batch files ("%SystemRoot%\System32\cmd.exe /C "%1" %*"). Wine's
# cmd.exe leaves %cmdcmdline% empty, and a variable of that name in the
# environment takes its place, on Windows too; so these runs set it.
STARTS = [
    ("double-click", 'C:\\windows\\system32\\cmd.exe /c ""{self}" "', True),
    ("Run as administrator", 'C:\\windows\\System32\\cmd.exe /C "{self}"', True),
    ("a command prompt", '"C:\\windows\\system32\\cmd.exe" ', False),
    ("another script started from Explorer", 'C:\\windows\\system32\\cmd.exe /c ""C:\\kit\\start.cmd" "', False),
]


def started(folder, how):
    line = [start for name, start, _ in STARTS if name == how][0]
    return {"cmdcmdline": line.format(self=windows_path(os.path.join(folder, "sfc-evidence.cmd")))}


def check_explorer_starts(folder, environment, check):
    """With no sfc.exe in the system folder the script refuses at once; its
    window waits for Enter exactly when Explorer started it."""
    for how, _, waits_for_enter in STARTS:
        status, out, _ = run_script(folder, environment(started(folder, how)), [""])
        check(status == 2 and "no sfc.exe in the system folder" in out and waits(out) == int(waits_for_enter),
              "started from %s, the refusal %s:\n%s" % (how, "did not wait for Enter" if waits_for_enter
                                                         else "waited for Enter", out))


def check_elevation(folder, prefix, environment, check, probes):
    """The elevation check with probes that fail as they do on a prompt that
    is not elevated; fltMC alone succeeding (the Server service stopped)
    counts as elevated, and the script goes on to its next refusal."""
    with probes(prefix, net=2, fltmc=1) as ran:
        status, out, _ = run_script(folder, environment(), ["1"])
        print("sfc-evidence, not elevated: %r; exit status %d" % (out.strip(), status))
        check(status == 2 and out.strip().startswith("sfc-evidence: not started:") and "administrator" in out
              and "\n" not in out.strip(),
              "sfc-evidence.cmd did not refuse an unelevated prompt in one line naming the administrator:\n"
              + out)
        check(ran() == ["net", "fltMC"], "the elevation probes that ran: %s" % ran())
    with probes(prefix, net=2, fltmc=0):
        status, out, prompts = run_script(folder, environment(), ["1"])
        check(status == 2 and prompts == 0 and "no sfc.exe in the system folder" in out,
              "with fltMC answering as an administrator, sfc-evidence.cmd did not go on:\n" + out)


# The helper's reading of an answer from a pipe: the line, exit status 0
# for yes. On the Russian layout the Y key types "н", the first letter of
# "нет": never yes.
ANSWERS = [("1", 0), ("y", 0), ("Y", 0), (" yes ", 0), ("YES", 0), ("да", 0), ("Д", 0),
           ("н", 1), ("Н", 1), ("нет", 1), ("n", 1), ("", 1), ("2", 1), ("11", 1), ("1 2", 1),
           ("yes please", 1), ("1" * 100, 1)]


def check_answers(folder, environment, check):
    writer = os.path.join(folder, "tests", "evidence_writer.exe")
    wine = wine_command(environment())
    for text, expected in ANSWERS + [(None, 1)]:
        # None: the input ends with no line at all.
        given = b"" if text is None else text.encode("utf-8") + b"\r\n"
        done = subprocess.run(wine + [writer, "ask", "verifyonly"], cwd=folder, input=given,
                              capture_output=True, timeout=60)
        check(done.returncode == expected and PROMPT in done.stdout,
              "the answer %r: exit status %d, expected %d (%s)" % (text, done.returncode, expected,
                                                                   "yes" if expected == 0 else "no"))


def check_script(folder, prefix, environment, check, probes):
    system32 = os.path.join(prefix, "drive_c", "windows", "system32")
    evidence = os.path.join(folder, "sfc-evidence.txt")
    system_log = os.path.join(system32, "sfc.log")
    stray_log = os.path.join(folder, "sfc.log")
    standin = os.path.join(folder, "tests", "standin.exe")
    check(not os.path.exists(os.path.join(system32, "sfc.exe")),
          "the test prefix has an sfc.exe of its own; the stand-in would not be the one run")
    # The stray copy: found first by any bare "sfc" run from this folder.
    shutil.copy(standin, os.path.join(folder, "sfc.exe"))

    check_elevation(folder, prefix, environment, check, probes)

    status, out, prompts = run_script(folder, environment(), ["1"])
    print("sfc-evidence, no sfc in the system folder: %r; exit status %d" % (out.strip(), status))
    check(status == 2 and prompts == 0 and "no sfc.exe in the system folder" in out and waits(out) == 0,
          "with no sfc.exe in the system folder, sfc-evidence.cmd did not refuse:\n" + out)
    check_explorer_starts(folder, environment, check)

    placed = []
    try:
        for name, data in (("sfc.verifyonly.output", sfc_output(VERIFY)),
                           ("sfc.verifyonly.exitcode", b"%d\n" % VERIFY_CODE),
                           ("sfc.scannow.output", sfc_output(SCAN)),
                           ("sfc.scannow.exitcode", b"0x%X\n" % SCAN_CODE)):
            placed.append(os.path.join(system32, name))
            with open(placed[-1], "wb") as f:
                f.write(data)
        placed += [os.path.join(system32, "sfc.exe"), system_log]
        shutil.copy(standin, placed[-2])
        verify = section("/verifyonly", VERIFY, VERIFY_CODE)
        scan = section("/scannow", SCAN, SCAN_CODE)

        status, out, prompts = run_script(folder, environment(), ["н"])
        check(status == 2 and prompts == 1 and "not confirmed" in out and not os.path.exists(evidence)
              and not runs_of(system_log),
              "answering \"н\" to the first question still ran sfc or wrote the file (status %d):\n%s"
              % (status, out))

        # Started by a double-click: the window waits for Enter at the end.
        status, out, prompts = run_script(folder, environment(started(folder, "double-click")), ["1", "1", ""])
        print("sfc-evidence, both runs: exit status %d" % status)
        check(status == 0 and prompts == 2 and waits(out) == 1 and out.index("Written: ") < out.index(CLOSE.decode()),
              "sfc-evidence.cmd ended with status %d after %d questions and %d waits for Enter:\n%s"
              % (status, prompts, waits(out), out))
        sfc_path = r"C:\windows\System32\sfc.exe"
        check(runs_of(system_log) == ['"%s" /verifyonly' % sfc_path, '"%s" /scannow' % sfc_path],
              "the system folder's sfc ran as %r" % runs_of(system_log))
        check(SCAN[-1] in out and "0x800B0100" in out, "the screen did not show sfc's last line and code")
        check(not [name for name in os.listdir(folder) if name.startswith("sfc-") and "-output-" in name],
              "sfc's own output was left beside the script after its lines were written")
        first = None
        if check(os.path.isfile(evidence), "no sfc-evidence.txt after both runs"):
            with open(evidence, "rb") as f:
                print("sfc-evidence.txt, first bytes: %s" % f.read(48).hex(" "))
            lines = read_evidence(evidence, check)
            print("sfc-evidence.txt:\n" + "\n".join(lines))
            check(lines[0] == "winrepair: sfc evidence", "sfc-evidence.txt starts with %r" % lines[0])
            check(any(re.match(r"Windows: .*\d+\.\d+\.\d+", line) for line in lines),
                  "sfc-evidence.txt gives no Windows version with its build number")
            check(any(re.match(r"Registry: ProductName=.+; .*CurrentBuild=\d+;", line) for line in lines),
                  "sfc-evidence.txt gives no version from the registry")
            check("sfc: " + sfc_path in lines, "sfc-evidence.txt does not name the sfc it ran")
            check(times_in(lines) == ["  started", "  ended"] * 2, "the runs' start and end times are missing")
            body = runs_in(lines)
            check(body == verify + [""] + scan + [""],
                  "the runs in sfc-evidence.txt are\n%s\nexpected\n%s" % ("\n".join(body),
                                                                          "\n".join(verify + [""] + scan)))
            first = lines[:-1]

        # A second run that declines /scannow adds its record after the first.
        status, out, prompts = run_script(folder, environment(), ["1", "Н"])
        lines = read_evidence(evidence, check) if os.path.isfile(evidence) else []
        records = records_in(lines)
        body = runs_in(records[-1]) if records else []
        check(status == 0 and prompts == 2 and body == verify + ["", "sfc /scannow: not run (not confirmed)", ""],
              "declining the second question: status %d, the runs written\n%s" % (status, "\n".join(body)))
        check(len(records) == 2 and first is not None and lines[:len(first)] == first
              and lines[len(first)] == "",
              "the second run did not keep the first run's record before its own:\n" + "\n".join(lines))
        check(runs_of(system_log)[2:] == ['"%s" /verifyonly' % sfc_path],
              "declining the second question still ran %r" % runs_of(system_log)[2:])

        check_kept_output(folder, environment, check)
        check_type_ahead(folder, system32, environment, check)
    finally:
        for path in placed:
            if os.path.exists(path):
                os.remove(path)
    check(not os.path.exists(stray_log), "the sfc.exe beside sfc-evidence.cmd ran")
    os.remove(os.path.join(folder, "sfc.exe"))


def check_kept_output(folder, environment, check):
    """When sfc's lines cannot be added (here sfc-evidence.txt is a folder),
    sfc's own output stays beside the script, under a name no earlier file
    has, and the script ends with status 1."""
    evidence = os.path.join(folder, "sfc-evidence.txt")
    earlier = os.path.join(folder, "sfc-verifyonly-output-1.txt")
    os.rename(evidence, evidence + ".done")
    os.mkdir(evidence)
    with open(earlier, "wb") as f:
        f.write(b"an earlier run's output")
    try:
        status, out, prompts = run_script(folder, environment(), ["1", "1"])
        kept = {"sfc-verifyonly-output-2.txt": sfc_output(VERIFY), "sfc-scannow-output-1.txt": sfc_output(SCAN),
                "sfc-verifyonly-output-1.txt": b"an earlier run's output"}
        for name, data in kept.items():
            path = os.path.join(folder, name)
            same = os.path.isfile(path) and open(path, "rb").read() == data
            check(same, "%s does not hold %s" % (name, "the earlier file" if name.endswith("-1.txt")
                                                 and "verify" in name else "sfc's own output"))
        check(status == 1 and prompts == 2 and "sfc-scannow-output-1.txt" in out,
              "with its lines unwritable, the script ended with status %d and did not name the kept output:\n%s"
              % (status, out))
    finally:
        for name in os.listdir(folder):
            if name.startswith("sfc-") and "-output-" in name:
                os.remove(os.path.join(folder, name))
        os.rmdir(evidence)
        os.rename(evidence + ".done", evidence)


def check_type_ahead(folder, system32, environment, check):
    """In Wine's real console: "1" and Enter typed while the stand-in sfc
    runs /verifyonly must not answer the question about /scannow. The
    stand-in records how many input events wait in the console when it ends:
    a count above zero shows the keys were there to be read, as on Windows
    (Wine's console collects keys once a program has read console input, as
    the helper did for the first question). Then "н" and Enter decline."""
    delay = os.path.join(system32, "sfc.verifyonly.delay")
    record = os.path.join(system32, "sfc.console")
    log = os.path.join(system32, "sfc.log")
    for path, text in ((delay, "4000\n"), (record, "")):
        with open(path, "w") as f:
            f.write(text)
    done_before = len(runs_of(log))
    pane = Pane("sfc-evidence", folder, command=[WINE, "cmd", "/c", "sfc-evidence.cmd"],
                        environment=environment())
    transcript = ""
    try:
        pane.start()
        pane.wait_for("the first question", lambda t: PROMPT.decode() in t, console.START_TIMEOUT)
        pane.keys("1", "Enter")
        pane.wait_for("the stand-in sfc to start", lambda t: len(runs_of(log)) > done_before, console.STEP_TIMEOUT)
        pane.keys("1", "Enter")
        text = pane.wait_for("the second question", lambda t: t.count(PROMPT.decode()) == 2, console.STEP_TIMEOUT)
        time.sleep(console.STILL_WAITING)
        text = pane.capture()
        check(runs_of(log)[done_before:] == [runs_of(log)[done_before]] and "/verifyonly" in runs_of(log)[-1],
              "keys typed while sfc /verifyonly ran answered the next question: sfc ran %r"
              % runs_of(log)[done_before:])
        with open(record, encoding="utf-8") as f:
            waiting = dict(line.split("=", 1) for line in f.read().split("\n") if "=" in line).get("input")
        print("input events waiting in the console when the stand-in sfc ended: %s" % waiting)
        check(waiting not in (None, "none", "0"),
              "no keys waited in the console when sfc ended (input=%s): the check shows nothing" % waiting)
        pane.keys("н", "Enter")
        text = pane.wait_for("the script to end", lambda t: exit_status(t) is not None,
                             console.STEP_TIMEOUT)
        transcript = text
        check(exit_status(text) == 0 and "Written: " in text and len(runs_of(log)) == done_before + 1,
              "after \"н\" the script did not end declining /scannow:\n" + text)
    except Failure as why:
        check(False, "in the console: %s" % why)
        transcript = pane.capture()
    finally:
        pane.stop()
        for path in (delay, record, os.path.join(folder, "run.sh"), os.path.join(folder, "pane-term")):
            if os.path.exists(path):
                os.remove(path)
    print("sfc-evidence.cmd in Wine's console (tmux), keys typed while sfc ran:\n" + transcript.rstrip())



# evidence_writer's reading of sfc's output beyond what the script's runs
# show: name, the capture's bytes, the lines it must append.
WRITER_CASES = [
    ("byte-order mark", b"\xff\xfe" + "a\r\nb\r\n".encode("utf-16-le"),
     ["  output: 14 bytes, UTF-16LE with byte-order mark; its last 2 of 2 lines:", "    a", "    b"]),
    ("empty", b"", ["  output: 0 bytes"]),
    ("8-bit", b"one\r\n\r\ntwo\r\n",
     [re.compile(r"  output: 12 bytes, no zero byte, so read in code page \d+; its last 2 of 2 lines:$"),
      "    one", "    two"]),
    ("only the last lines", "".join("line %d\r\n" % n for n in range(1, 16)).encode("utf-16-le"),
     ["  output: 252 bytes, UTF-16LE; its last 12 of 15 lines:"] + ["    line %d" % n for n in range(4, 16)]),
    # Cut off mid-progress: no line end after the last state, blank and
    # space-only lines, a backspace, and an odd byte at the end.
    ("cut off", "x\r\n  \r\n\r\n5%\r\b6% \r".encode("utf-16-le") + b"\x00",
     ["  output: 35 bytes, UTF-16LE; its last 2 of 2 lines:", "    x", "    6%"]),
]


def check_writer(folder, environment, check):
    writer = os.path.join(folder, "tests", "evidence_writer.exe")
    scratch = os.path.join(folder, "writer-cases")
    os.makedirs(scratch, exist_ok=True)
    wine = wine_command(environment())
    for name, capture, expected in WRITER_CASES:
        capture_path = os.path.join(scratch, "capture.bin")
        out_path = os.path.join(scratch, "out.txt")
        with open(capture_path, "wb") as f:
            f.write(capture)
        if os.path.exists(out_path):
            os.remove(out_path)
        # Paths relative to the folder: Wine takes no Linux path in an argument.
        done = subprocess.run(wine + [writer, "output", "out.txt", "capture.bin"], cwd=scratch,
                              capture_output=True, timeout=60)
        got = read_evidence(out_path, check)[:-1] if os.path.exists(out_path) else []
        matches = len(got) == len(expected) and all(
            want.match(line) if hasattr(want, "match") else want == line for want, line in zip(expected, got))
        check(done.returncode == 0 and matches,
              "evidence_writer, %s: status %d, wrote %r, expected %r" % (name, done.returncode, got, expected))
    shutil.rmtree(scratch)


def check_sfc_evidence(folder, prefix, environment, check, probes):
    """environment(extra=None) gives the Windows side's environment;
    probes(prefix, net=N, fltmc=N) puts stand-ins for the elevation probes in
    place, failing with those exit codes, and gives what ran."""
    check_writer(folder, environment, check)
    check_answers(folder, environment, check)
    check_script(folder, prefix, environment, check, probes)
