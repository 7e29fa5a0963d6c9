#!/usr/bin/env python3
"""The Windows test kit, used as a user would use it, under Wine.

Unpacks the kit into a fresh folder and runs run-tests.cmd through Wine's own
cmd.exe, from a clean environment (env -i with only what Wine needs), then
checks what a user would read: the closing line, the exit status and
results.txt. While it runs, recording stand-ins take the place of the
system's DISM and sfc, and none may have been started by anything but a
test's own run of the program. Also checks what the kit holds, the refusal
when the prompt is not elevated (with stand-ins for the elevation probes
that fail as they do there), and how a failing and a missing program are
reported. The opt-in sfc-evidence.cmd runs with a stand-in sfc.exe in the
prefix's system folder (sfc_evidence_check.py).

Usage: check_kit.py --zip KIT.zip --tree BUILD_DIR --work DIR [--keep]
BUILD_DIR is the windows tree the kit was packed from: its kit-tests.txt is
the list of programs and dist/winrepair.exe the release the kit must hold.
Exit status: 0 when every check held.
"""

import argparse
import contextlib
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

import sfc_evidence_check

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
from wine_env import environment as wine_environment  # noqa: E402
from wine_env import wine_command  # noqa: E402

SESSION = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine", "wine_session.sh")
CLOSING = re.compile(r"^(\d+) passed, (\d+) failed$")
KNOWN_DIFFERENCE = re.compile(r"^known Wine difference: (\w+\.\w+):", re.M)
RUN_TIMEOUT = 1200
SOURCE_ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(SOURCE_ROOT, "tests", "artifacts", "release"))
import text_form  # noqa: E402

failures = []
# The stand-in program of the tree under test (--tree).
STANDIN = [None]


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what)
    return condition


def run_kit(folder, prefix, extra=None):
    command = wine_command(wine_environment(prefix, extra), "cmd", "/c", "run-tests.cmd")
    done = subprocess.run(command, cwd=folder, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=RUN_TIMEOUT)
    out = done.stdout.decode("utf-8", "replace").replace("\r\n", "\n")
    return done.returncode, out


def lines_of(text):
    return [line for line in text.split("\n") if line.strip()]


def read_text(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace").replace("\r\n", "\n")


def unpack(zip_path, folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with zipfile.ZipFile(zip_path) as kit:
        kit.extractall(folder)


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def check_contents(zip_path, programs, release_exe):
    with zipfile.ZipFile(zip_path) as kit:
        names = set(kit.namelist())
        expected = {"run-tests.cmd", "sfc-evidence.cmd", "CONSOLE-CHECK.txt", "LICENSE",
                    "THIRD-PARTY-NOTICES.txt", "tests/tests.txt", "tests/winrepair.exe", "tests/evidence_writer.exe",
                    "tests/standin.exe", "tests/fatal_probe.exe", "console-check/winrepair.exe",
                    "console-check/DISM.exe", "console-check/sfc.exe", "console-check/DISM.delay"}
        expected |= {"tests/%s.exe" % name for name in programs}
        for name in sorted(expected - names):
            check(False, "the kit lacks " + name)
        listed = kit.read("tests/tests.txt").decode("ascii").split()
        check(listed == programs, "tests/tests.txt lists %s, the build %s" % (listed, programs))
        for copy in ("tests/winrepair.exe", "console-check/winrepair.exe"):
            if copy in names:
                check(hashlib.sha256(kit.read(copy)).hexdigest() == sha256(release_exe),
                      copy + " is not the release's winrepair.exe")
        for name in ("run-tests.cmd", "sfc-evidence.cmd"):
            if name in names:
                text = kit.read(name)
                check(b"\r\n" in text and b"\n" not in text.replace(b"\r\n", b""),
                      name + " does not end its lines in CR LF (cmd.exe misreads labels otherwise)")
        script = kit.read("run-tests.cmd")
        check(not re.search(rb"\b(dism|sfc)(\.exe)?\b", script.replace(b"DISM or sfc", b""),
                            re.IGNORECASE),
              "run-tests.cmd names DISM or sfc")
        if "LICENSE" in names:
            # The project's text, as Notepad shows it: CR LF.
            with open(os.path.join(SOURCE_ROOT, "LICENSE"), encoding="utf-8") as f:
                check_text_form("LICENSE", kit.read("LICENSE"), f.read())
        if "THIRD-PARTY-NOTICES.txt" in names:
            data = kit.read("THIRD-PARTY-NOTICES.txt")
            notices = data.decode("utf-8-sig")
            check_text_form("THIRD-PARTY-NOTICES.txt", data, notices)
            check_notices(notices.replace("\r\n", "\n"),
                          sorted(n[len("tests/"):] for n in names if re.match(r"tests/[^/]+\.exe$", n)))
        guide = kit.read("CONSOLE-CHECK.txt").decode("utf-8-sig")
        for heading in ("console check by hand", "проверка консоли вручную"):
            check(heading in guide, "CONSOLE-CHECK.txt lacks the section " + repr(heading))
        for step in range(1, 6):
            check(guide.count("Step %d." % step) == 1 and guide.count("Шаг %d." % step) == 1,
                  "CONSOLE-CHECK.txt does not have step %d in both languages" % step)
        for text in ("sfc-evidence.cmd", "sfc-evidence.txt"):
            check(guide.count(text) >= 2 and text in guide.split("проверка консоли вручную")[-1],
                  "CONSOLE-CHECK.txt does not ask for %s in both languages" % text)


def check_text_form(name, data, source_text):
    """CR LF line ends (and a byte order mark exactly when not all ASCII),
    the source's text, and file(1) agreeing."""
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        for problem in text_form.problems("the kit's " + name, data, source_text, path):
            check(False, problem)


def check_notices(notices, programs):
    """The notices cover every program of the kit, and the test programs'
    GoogleTest with its own package's licence; they say what the console
    check's DISM.exe and sfc.exe are."""
    intro = notices.split("\n- ", 1)[0].replace("\n", " ")
    for program in programs:
        check(re.search(r"[ (]%s[,)]" % re.escape(program), intro) is not None,
              "THIRD-PARTY-NOTICES.txt does not cover " + program)
    check(re.search(r"^- googletest \S+ .*BSD-3-Clause$", notices, re.MULTILINE) is not None
          and re.search(r"^    libgtest\.a: in ", notices, re.MULTILINE) is not None,
          "THIRD-PARTY-NOTICES.txt lacks GoogleTest (libgtest.a, package googletest, BSD-3-Clause)")
    check("GCC RUNTIME LIBRARY EXCEPTION" in notices,
          "THIRD-PARTY-NOTICES.txt lacks the compiler runtime's exception")
    intro = " ".join(notices.split("\n- ", 1)[0].split())
    check("console-check\\DISM.exe and console-check\\sfc.exe are copies of standin.exe" in intro,
          "THIRD-PARTY-NOTICES.txt does not say that console-check's DISM.exe and sfc.exe are the stand-in")


def check_full_run(folder, prefix, programs):
    with standins(prefix, SYSTEM_TOOLS) as runs:
        status, out = run_kit(folder, prefix)
        started = runs()
    print("the system's DISM and sfc, started: %s" % (started or "never"))
    check_system_tools(started)
    shown = lines_of(out)
    print("closing line: %s; exit status %d" % (shown[-1] if shown else "(none)", status))
    check(status == 0, "run-tests.cmd ended with status %d, expected 0:\n%s" % (status, out))
    check(shown and shown[-1] == "%d passed, 0 failed" % len(programs),
          "the closing line is %r, expected %r" % (shown[-1] if shown else None,
                                                   "%d passed, 0 failed" % len(programs)))
    for index, name in enumerate(programs, 1):
        check("[%d/%d] %s ... passed" % (index, len(programs), name) in shown,
              "no progress line for %s" % name)
    results_path = os.path.join(folder, "results.txt")
    if not check(os.path.isfile(results_path), "no results.txt"):
        return
    results = read_text(results_path)
    print("results.txt:\n" + results)
    rows = lines_of(results)
    version = [row for row in rows if row.startswith("Windows: ")]
    check(len(version) == 1 and re.search(r"\d+\.\d+\.\d+", version[0]),
          "results.txt shows no Windows version with its build number")
    for name in programs:
        check("passed  " + name in rows, "results.txt does not say %s passed" % name)
        check(os.path.isfile(os.path.join(folder, "logs", name + ".txt")), "no log for " + name)
    check(rows[-1] == "%d passed, 0 failed" % len(programs), "results.txt ends with %r" % rows[-1])
    # The tests' scratch folders under %TEMP% are gone again.
    users = os.path.join(prefix, "drive_c", "users")
    left = [os.path.join(root, d) for root, dirs, _ in os.walk(users) for d in dirs
            if d == "winrepair-tests"]
    check(not left, "scratch folders left under %%TEMP%%: %s" % left)


def check_differences_named(folder):
    """Where Wine answers a contract case otherwise than Windows, only the
    kit's run on Windows checks the documented answer: CONSOLE-CHECK.txt
    must name every such case the run under Wine reported, in both
    languages, so that whoever runs the kit knows to look."""
    log = os.path.join(folder, "logs", "contract_tests_win32.txt")
    if not os.path.isfile(log):
        return
    cases = sorted(set(KNOWN_DIFFERENCE.findall(read_text(log))))
    check(cases, "the contract run under Wine reported no known Wine difference; has its output changed?")
    guide = read_text(os.path.join(folder, "CONSOLE-CHECK.txt"))
    for case in cases:
        check(guide.count(case) == 2, "CONSOLE-CHECK.txt does not name %s in both languages" % case)


def system32(prefix):
    return os.path.join(prefix, "drive_c", "windows", "system32")


@contextlib.contextmanager
def standins(prefix, tools):
    """Copies of the tree's stand-in in the prefix, as {path under drive_c:
    exit code}, each recording its runs; Wine's own file of that name (its
    net.exe and dism.exe stubs) is put back afterwards. Yields the stand-ins'
    records: (name, command line, current directory) for each run, in the
    order of the tools, then of the runs."""
    standin = STANDIN[0]
    drive = os.path.join(prefix, "drive_c")
    made = []
    try:
        for where, code in tools.items():
            path = os.path.join(drive, where)
            base = os.path.splitext(path)[0]
            if os.path.exists(path):
                shutil.move(path, path + ".wine")
            shutil.copy(standin, path)
            made.append(path)
            with open(base + ".exitcode", "w") as f:
                f.write("%d\n" % code)
            open(base + ".cwd", "w").close()

        def runs():
            found = []
            for path in made:
                base = os.path.splitext(path)[0]
                lines = [line for line in read_text(base + ".log").split("\n")
                         if line and not line.startswith("stdhandles=")] if os.path.exists(base + ".log") else []
                places = [line for line in read_text(base + ".cwd").split("\n") if line]
                found += [(os.path.basename(base), line, place) for line, place in zip(lines, places + [""] * len(lines))]
            return found
        yield runs
    finally:
        for path in made:
            base = os.path.splitext(path)[0]
            for suffix in (".exitcode", ".cwd", ".log"):
                if os.path.exists(base + suffix):
                    os.remove(base + suffix)
            os.remove(path)
            if os.path.exists(path + ".wine"):
                shutil.move(path + ".wine", path)


def prefer_standins(prefix):
    """Wine loads its own built-in program for a name it has one for (net.exe,
    dism.exe) whatever file lies in the system folder, unless the prefix
    says to prefer the file; its own placeholder files still load the
    built-in ones."""
    for name in ("net.exe", "dism.exe"):
        subprocess.run(wine_command(wine_environment(prefix), "reg", "add", r"HKCU\Software\Wine\DllOverrides",
                                    "/v", name, "/t", "REG_SZ", "/d", "native,builtin", "/f"),
                       stdin=subprocess.DEVNULL, capture_output=True, check=True)


@contextlib.contextmanager
def elevation_probes(prefix, net, fltmc):
    """Stand-ins for the probes both scripts ask whether the prompt is
    elevated. Under Wine "net session" always succeeds and there is no
    fltMC.exe; on a prompt that is not elevated "net session" ends with
    "System error 5 has occurred. Access is denied." and exit status 2, and
    fltmc with access denied and status 1. Yields which probes ran."""
    with standins(prefix, {"windows/system32/net.exe": net, "windows/system32/fltMC.exe": fltmc}) as runs:
        yield lambda: [name for name, _, _ in runs()]


def check_refusal(folder, prefix):
    """Refused with the probes failing as on a prompt that is not elevated;
    with fltMC alone succeeding (the Server service stopped), it goes on, as
    far as the next refusal: here the missing list of programs."""
    with elevation_probes(prefix, net=2, fltmc=1) as ran:
        status, out = run_kit(folder, prefix)
        probes = ran()
    shown = lines_of(out)
    print("refusal: %r; exit status %d" % (out.strip(), status))
    check(status == 2, "the unelevated run ended with status %d, expected 2" % status)
    check(len(shown) == 1 and shown[0].startswith("run-tests: not started:")
          and "administrator" in shown[0],
          "the unelevated run did not refuse in one line naming the need for an administrator:\n"
          + out)
    check(probes == ["net", "fltMC"], "the elevation probes that ran: %s" % probes)
    check(not os.path.exists(os.path.join(folder, "results.txt"))
          and not os.path.exists(os.path.join(folder, "logs")),
          "the unelevated run wrote results or logs")
    listing = os.path.join(folder, "tests", "tests.txt")
    os.rename(listing, listing + ".aside")
    try:
        with elevation_probes(prefix, net=2, fltmc=0):
            status, out = run_kit(folder, prefix)
    finally:
        os.rename(listing + ".aside", listing)
    check(status == 2 and "tests.txt\" is missing" in out,
          "with fltMC answering as an administrator, run-tests.cmd did not go on past the elevation check:\n"
          + out)


# Where a run would find the system's own tools: Wine's stub dism.exe in the
# system folder, and, since Wine has no sfc.exe, the one folder of the
# default PATH that no test looks in for sfc (the tests that need sfc to be
# missing skip when the system or Windows folder has one).
SYSTEM_TOOLS = {"windows/system32/dism.exe": 0, "windows/system32/wbem/sfc.exe": 0}
# Where the tests run the program (tests/e2e: each in a folder of its own
# under %TEMP%\winrepair-tests): one of them lets it reach Wine's stub DISM.
TEST_SCRATCH = re.compile(r"^C:\\users\\[^\\]+\\(AppData\\Local\\)?Temp\\winrepair-tests\\", re.I)


def check_system_tools(runs):
    """Every start of the system's DISM or sfc came from a test's own run of
    the program, in its scratch folder; and the recording worked."""
    for name, line, place in runs:
        check(TEST_SCRATCH.match(place) is not None,
              "the system's %s was started in %s: %s" % (name, place or "(unknown)", line))
    check(any(name == "dism" for name, _, _ in runs),
          "the stand-in for the system's DISM recorded no run, not even the test's that reaches it on purpose")


def check_failures_reported(folder, prefix):
    """A program that fails with a 32-bit status and one that is missing:
    both counted, named in results.txt, and the exit status 1."""
    tests = os.path.join(folder, "tests")
    with open(os.path.join(tests, "tests.txt"), "w", newline="\r\n") as f:
        f.write("unit_tests_publisher\nstandin\nno_such_program\n")
    with open(os.path.join(tests, "standin.exitcode"), "w") as f:
        f.write("0xC0000409\n")
    status, out = run_kit(folder, prefix)
    shown = lines_of(out)
    check(status == 1, "a run with failures ended with status %d, expected 1" % status)
    check(shown and shown[-1] == "1 passed, 2 failed",
          "a run with failures closed with %r" % (shown[-1] if shown else None))
    results = lines_of(read_text(os.path.join(folder, "results.txt")))
    check("passed  unit_tests_publisher" in results, "results.txt lost the passing program")
    check("failed  standin: exit status -1073740791, see logs\\standin.txt" in results,
          "results.txt does not give the failing program's full status:\n" + "\n".join(results))
    check("failed  no_such_program: the program is missing from the kit" in results,
          "results.txt does not name the missing program")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--zip", required=True)
    parser.add_argument("--tree", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()

    with open(os.path.join(args.tree, "kit-tests.txt")) as f:
        programs = f.read().split()
    check_contents(args.zip, programs, os.path.join(args.tree, "dist", "winrepair.exe"))

    STANDIN[0] = os.path.join(args.tree, "standin.exe")
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    prefix = os.path.join(work, "wineprefix")
    # A path with a space and Cyrillic, as a user's folder may have.
    kit = os.path.join(work, "набор тестов")
    os.makedirs(prefix)
    session_env = dict(os.environ, **wine_environment(prefix))
    subprocess.run(["bash", SESSION, "start"], env=session_env, check=True)
    try:
        unpack(args.zip, kit)
        prefer_standins(prefix)
        check_refusal(kit, prefix)
        check_full_run(kit, prefix, programs)
        check_differences_named(kit)
        sfc_evidence_check.check_sfc_evidence(kit, prefix, lambda extra=None: wine_environment(prefix, extra),
                                              check, elevation_probes)
        unpack(args.zip, kit)
        check_failures_reported(kit, prefix)
    finally:
        subprocess.run(["bash", SESSION, "stop"], env=session_env)
    if not args.keep and not failures:
        shutil.rmtree(work, ignore_errors=True)
    print("%d check(s) failed" % len(failures) if failures else "the kit works as a user runs it")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
