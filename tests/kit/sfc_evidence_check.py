"""The kit's opt-in sfc-evidence.cmd under Wine, for check_kit.py.

Wine has no sfc.exe: the kit's stand-in goes into the test prefix's system
folder as sfc.exe for these runs only, answering /verifyonly and /scannow
each with its own output (UTF-16LE with carriage-return progress lines, as
sfc writes when its output is redirected) and its own exit code. A second
copy lies beside the script, where it must never be the one run. The
confirmations are typed into the script's standard input one at a time, each
after its prompt appeared, as a person answers them (Wine's cmd.exe reads
all that is waiting for one "set /p").
"""

import os
import re
import shutil
import subprocess
import threading
import time

WINE = "/usr/lib/wine/wine64"
PROMPT = b"Type Y and press Enter"
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
    """Runs sfc-evidence.cmd, typing each answer after the next prompt.
    Returns the exit status, the screen's text and how many prompts came."""
    command = ["env", "-i"] + ["%s=%s" % item for item in sorted(environment.items())]
    command += [WINE, "cmd", "/c", "sfc-evidence.cmd"]
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
    for number, answer in enumerate(answers, 1):
        while screen.count(PROMPT) < number and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        if screen.count(PROMPT) < number:
            break
        child.stdin.write(answer.encode("ascii") + b"\r\n")
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


def runs_in(lines):
    """The lines from the first run on, without the runs' start and end
    times (which each run must have)."""
    runs = lines[lines.index("sfc /verifyonly"):] if "sfc /verifyonly" in lines else []
    return [line for line in runs if not re.match(r"  (started|ended): \S", line)]


def times_in(lines):
    return [line.split(":")[0] for line in lines if re.match(r"  (started|ended): \S", line)]


def check_script(folder, prefix, environment, check):
    system32 = os.path.join(prefix, "drive_c", "windows", "system32")
    evidence = os.path.join(folder, "sfc-evidence.txt")
    system_log = os.path.join(system32, "sfc.log")
    stray_log = os.path.join(folder, "sfc.log")
    standin = os.path.join(folder, "tests", "standin.exe")
    check(not os.path.exists(os.path.join(system32, "sfc.exe")),
          "the test prefix has an sfc.exe of its own; the stand-in would not be the one run")
    # The stray copy: found first by any bare "sfc" run from this folder.
    shutil.copy(standin, os.path.join(folder, "sfc.exe"))

    status, out, _ = run_script(folder, environment({"WINREPAIR_KIT_TEST_NOT_ELEVATED": "refuse"}), ["y"])
    print("sfc-evidence, not elevated: %r; exit status %d" % (out.strip(), status))
    check(status == 2 and out.strip().startswith("sfc-evidence: not started:") and "administrator" in out
          and "\n" not in out.strip(),
          "sfc-evidence.cmd did not refuse an unelevated prompt in one line naming the administrator:\n" + out)

    status, out, prompts = run_script(folder, environment(), ["y"])
    print("sfc-evidence, no sfc in the system folder: %r; exit status %d" % (out.strip(), status))
    check(status == 2 and prompts == 0 and "no sfc.exe in the system folder" in out,
          "with no sfc.exe in the system folder, sfc-evidence.cmd did not refuse:\n" + out)

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

        status, out, prompts = run_script(folder, environment(), ["n"])
        check(status == 2 and prompts == 1 and "not confirmed" in out and not os.path.exists(evidence)
              and not runs_of(system_log),
              "declining the first question still ran sfc or wrote the file (status %d):\n%s" % (status, out))

        status, out, prompts = run_script(folder, environment(), ["y", "y"])
        print("sfc-evidence, both runs: exit status %d" % status)
        check(status == 0 and prompts == 2, "sfc-evidence.cmd ended with status %d after %d questions:\n%s"
              % (status, prompts, out))
        sfc_path = r"C:\windows\System32\sfc.exe"
        check(runs_of(system_log) == ['"%s" /verifyonly' % sfc_path, '"%s" /scannow' % sfc_path],
              "the system folder's sfc ran as %r" % runs_of(system_log))
        check(SCAN[-1] in out and "0x800B0100" in out, "the screen did not show sfc's last line and code")
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

        status, out, prompts = run_script(folder, environment(), ["y", "n"])
        lines = read_evidence(evidence, check) if os.path.isfile(evidence) else []
        body = runs_in(lines)
        check(status == 0 and prompts == 2 and body == verify + ["", "sfc /scannow: not run (not confirmed)", ""],
              "declining the second question: status %d, the runs written\n%s" % (status, "\n".join(body)))
        check(runs_of(system_log)[2:] == ['"%s" /verifyonly' % sfc_path],
              "declining the second question still ran %r" % runs_of(system_log)[2:])
    finally:
        for path in placed:
            if os.path.exists(path):
                os.remove(path)
    check(not os.path.exists(stray_log), "the sfc.exe beside sfc-evidence.cmd ran")
    os.remove(os.path.join(folder, "sfc.exe"))


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
    env = ["env", "-i"] + ["%s=%s" % item for item in sorted(environment().items())]
    for name, capture, expected in WRITER_CASES:
        capture_path = os.path.join(scratch, "capture.bin")
        out_path = os.path.join(scratch, "out.txt")
        with open(capture_path, "wb") as f:
            f.write(capture)
        if os.path.exists(out_path):
            os.remove(out_path)
        # Paths relative to the folder: Wine takes no Linux path in an argument.
        done = subprocess.run(env + [WINE, writer, "output", "out.txt", "capture.bin"], cwd=scratch,
                              capture_output=True, timeout=60)
        got = read_evidence(out_path, check)[:-1] if os.path.exists(out_path) else []
        matches = len(got) == len(expected) and all(
            want.match(line) if hasattr(want, "match") else want == line for want, line in zip(expected, got))
        check(done.returncode == 0 and matches,
              "evidence_writer, %s: status %d, wrote %r, expected %r" % (name, done.returncode, got, expected))
    shutil.rmtree(scratch)


def check_sfc_evidence(folder, prefix, environment, check):
    """environment(extra=None) gives the Windows side's environment."""
    check_writer(folder, environment, check)
    check_script(folder, prefix, environment, check)
