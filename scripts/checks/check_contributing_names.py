#!/usr/bin/env python3
"""Every test CONTRIBUTING.md names exists: so that its map of where each
behaviour is stated cannot go stale.

What the page names, and what it is held to:
  - a backquoted `Suite.Case` (a GoogleTest case, or a pattern with `*`):
    the cases the test programs list (--gtest_list_tests, run as CTest runs
    them);
  - a backquoted snake_case name (`unit_tests_driver`, `screenshots_current`,
    `sfc_tool_failed`): a CTest entry of this tree or the host tree, a test
    program, a console case, a fuzz target or a phase of scripts/test.sh;
  - a console case: a backquoted name after the words "console case(s)", or
    in a table column whose heading says "console case": the console
    driver's cases;
  - in a command: the regular expression after `ctest ... -R` (some CTest
    entry), the patterns of `--gtest_filter=` (some GoogleTest case) and the
    case names given to run_console_tests.py (console cases).

Usage: check_contributing_names.py --page CONTRIBUTING.md --tree BUILD_TREE
           --host-tree HOST_TREE --console-driver run_console_tests.py
           --test-script scripts/test.sh --fuzz-corpus tests/fuzz/corpus
The test programs run as CTest runs them: under Wine in a Windows tree, so
this runs as a CTest entry inside the tree's Wine session.
"""

import argparse
import fnmatch
import importlib.util
import json
import os
import re
import shlex
import subprocess
import sys

GTEST = re.compile(r"^[A-Z][A-Za-z0-9_]*(?:/[A-Za-z0-9_]+)?\.(?:[A-Z*][A-Za-z0-9_*/]*)$")
SNAKE = re.compile(r"^[a-z][a-z0-9]*(?:_[a-z0-9]+)+$")
BARE_CASE = re.compile(r"^[a-z][a-z0-9_]*$")
CODE_SPAN = re.compile(r"`([^`\n]+)`")
CONSOLE_PHRASE = re.compile(r"\bconsole cases?\b", re.IGNORECASE)
FENCE = re.compile(r"^\s*```")


class Named:
    """One name the page gives: its kind, the name, the line it is on."""

    def __init__(self, kind, name, line):
        self.kind, self.name, self.line = kind, name, line

    def __repr__(self):
        return "%s %r (line %d)" % (self.kind, self.name, self.line)


def split_page(text):
    """(prose, commands). Prose is the page outside fenced blocks as
    (text, starts): a paragraph joined into one line (a list of names may
    wrap), a table row on its own, with `starts` the (offset, line number)
    of each line in it. Commands are the lines of fenced blocks, continued
    lines joined, as (line number, text)."""
    prose, commands, fenced, pending, paragraph = [], [], False, None, None
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if fenced:
            if pending:
                pending = (pending[0], pending[1] + " " + line.strip())
            else:
                pending = (number, line.strip())
            if pending[1].endswith("\\"):
                pending = (pending[0], pending[1][:-1])
            else:
                commands.append(pending)
                pending = None
            continue
        if not line.strip() or line.lstrip().startswith("|"):
            if paragraph:
                prose.append(paragraph)
                paragraph = None
            if line.strip():
                prose.append((line, [(0, number)]))
            continue
        if paragraph:
            joined = paragraph[0] + " "
            paragraph = (joined + line.strip(), paragraph[1] + [(len(joined), number)])
        else:
            paragraph = (line.strip(), [(0, number)])
    if paragraph:
        prose.append(paragraph)
    return prose, commands


def line_at(starts, offset):
    return [number for start, number in starts if start <= offset][-1]


def after_phrase(text, start):
    """The backquoted names listed from `start` on, as (name, offset):
    separated by commas, "and", "or", with parenthesised notes between them
    skipped."""
    names, at = [], start
    while True:
        rest = text[at:]
        skip = re.match(r"[\s,;:]*(?:(?:and|or)\b\s*)?", rest)
        at += skip.end()
        if text.startswith("(", at):
            depth = 0
            while at < len(text):
                depth += {"(": 1, ")": -1}.get(text[at], 0)
                at += 1
                if depth == 0:
                    break
            continue
        span = CODE_SPAN.match(text, at)
        if not span:
            return names
        names.append((span.group(1), span.start()))
        at = span.end()


def table_console_columns(cells):
    return {i for i, cell in enumerate(cells) if "console case" in cell.lower()}


def command_names(line, text):
    """What a command names: CTest regexes, GoogleTest filters, console cases."""
    found = []
    try:
        words = shlex.split(text, comments=True)
    except ValueError:
        words = text.split()
    for i, word in enumerate(words):
        # `-R <name>` is a placeholder, not a name.
        if word == "-R" and i + 1 < len(words) and "ctest" in words[:i] and "<" not in words[i + 1]:
            found.append(Named("ctest-regex", words[i + 1], line))
        if word.startswith("--gtest_filter="):
            patterns = word.split("=", 1)[1].split("-", 1)[0]
            found.extend(Named("gtest", p, line) for p in patterns.split(":") if p)
    scripts = [i for i, word in enumerate(words) if word.endswith("run_console_tests.py")]
    if scripts:
        for word in words[scripts[0] + 1:]:
            if word in ("&&", "||", ";", "|"):
                break
            if BARE_CASE.match(word):
                found.append(Named("console", word, line))
    return found


def names_in(text):
    """Every name the page gives, as Named."""
    prose, commands = split_page(text)
    found = []
    console_columns = set()
    for line, starts in prose:
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")] if line.lstrip().startswith("|") else []
        if cells and all(re.match(r"^:?-+:?$", cell) for cell in cells):
            continue
        if cells and table_console_columns(cells) and not CODE_SPAN.search(line):
            console_columns = table_console_columns(cells)
            continue
        if not cells:
            console_columns = set()
        consoles = {}  # offset -> name
        for column in console_columns:
            if column < len(cells):
                at = line.index(cells[column]) if cells[column] else 0
                for span in CODE_SPAN.finditer(cells[column]):
                    consoles[at + span.start()] = span.group(1)
        for phrase in CONSOLE_PHRASE.finditer(line):
            consoles.update({offset: name for name, offset in after_phrase(line, phrase.end())})
        for offset, name in sorted(consoles.items()):
            found.append(Named("console", name, line_at(starts, offset)))
        for span in CODE_SPAN.finditer(line):
            if span.start() in consoles:
                continue
            name, number = span.group(1), line_at(starts, span.start())
            if GTEST.match(name):
                found.append(Named("gtest", name, number))
            elif SNAKE.match(name):
                found.append(Named("name", name, number))
            else:
                found.extend(command_names(number, name))
    for number, command in commands:
        found.extend(command_names(number, command))
    return found


class Known:
    """What exists: CTest entries, test programs, GoogleTest cases, console
    cases, fuzz targets, test-command phases."""

    def __init__(self, ctest=(), programs=(), gtest=(), console=(), fuzz=(), phases=()):
        self.ctest, self.programs, self.gtest = set(ctest), set(programs), set(gtest)
        self.console, self.fuzz, self.phases = set(console), set(fuzz), set(phases)

    def has(self, named):
        name = named.name
        if named.kind == "gtest":
            return any(fnmatch.fnmatchcase(case, name) for case in self.gtest)
        if named.kind == "console":
            return name in self.console
        if named.kind == "ctest-regex":
            try:
                pattern = re.compile(name)
            except re.error:
                return False
            return any(pattern.search(test) for test in self.ctest)
        return name in (self.ctest | self.programs | self.console | self.fuzz | self.phases)


WHAT = {
    "gtest": "no GoogleTest case of the test programs matches",
    "console": "is not a case of the console driver",
    "ctest-regex": "matches no CTest entry",
    "name": "is no CTest entry, test program, console case, fuzz target or test-command phase",
}


def problems(text, known):
    """(problems, names found)."""
    names = names_in(text)
    found = ["line %d: `%s` %s" % (n.line, n.name, WHAT[n.kind]) for n in names if not known.has(n)]
    if not names:
        found.append("the page names no test at all: is it the right page?")
    return found, names


def ctest_tests(tree):
    """The CTest entries of a build tree, from ctest's own listing."""
    listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=tree, capture_output=True, text=True)
    if listing.returncode != 0:
        raise SystemExit("cannot list the CTest entries of %s (is it configured?): %s"
                         % (tree, listing.stderr.strip()))
    return json.loads(listing.stdout)["tests"]


def gtest_programs(tests):
    """{program name: the command CTest runs it with, up to the program}: the
    programs CTest gives GoogleTest options, run the same way (under Wine in
    a Windows tree)."""
    programs = {}
    for test in tests:
        command = test.get("command") or []
        options = [i for i, arg in enumerate(command) if arg.startswith("--gtest")]
        if not options:
            continue
        program = max(i for i in range(options[0]) if os.path.isabs(command[i]))
        name = os.path.splitext(os.path.basename(command[program]))[0]
        programs.setdefault(name, command[:program + 1])
    return programs


def list_gtest(name, command):
    if not os.path.isfile(command[-1]):
        raise SystemExit("test program %s is not built: %s" % (name, command[-1]))
    # Only the names, which are ASCII, are read; a parameter's printed value
    # may be anything.
    listing = subprocess.run(command + ["--gtest_list_tests"], capture_output=True, text=True,
                             errors="replace", stdin=subprocess.DEVNULL, timeout=300)
    if listing.returncode != 0:
        raise SystemExit("%s --gtest_list_tests failed (status %d): %s"
                         % (name, listing.returncode, (listing.stdout + listing.stderr).strip()[-2000:]))
    cases, suite = [], None
    for line in listing.stdout.replace("\r", "").splitlines():
        entry = line.split("#", 1)[0].rstrip()
        if not entry:
            continue
        if not entry.startswith(" ") and entry.endswith("."):
            suite = entry
        elif entry.startswith("  ") and suite:
            cases.append(suite + entry.strip())
    if not cases:
        raise SystemExit("%s --gtest_list_tests listed no cases" % name)
    return cases


def console_cases(driver):
    spec = importlib.util.spec_from_file_location("run_console_tests", driver)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return list(module.CASES)


def test_phases(script):
    with open(script, encoding="utf-8") as f:
        return re.findall(r"^\s*(?:run|start|skip)\s+([a-z][a-z0-9_]*)\b", f.read(), re.MULTILINE)


def fuzz_targets(corpus):
    targets = [name for name in os.listdir(corpus) if os.path.isdir(os.path.join(corpus, name))]
    return targets + ["fuzz_" + name for name in targets]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--page", required=True)
    parser.add_argument("--tree", required=True, help="the build tree whose test programs are listed")
    parser.add_argument("--host-tree", required=True)
    parser.add_argument("--console-driver", required=True)
    parser.add_argument("--test-script", required=True)
    parser.add_argument("--fuzz-corpus", required=True)
    args = parser.parse_args()

    tests = ctest_tests(args.tree)
    if not os.path.isfile(os.path.join(args.host_tree, "CTestTestfile.cmake")):
        raise SystemExit("no host tree at %s: configure it (cmake --preset host)" % args.host_tree)
    host_tests = ctest_tests(args.host_tree)
    programs = gtest_programs(tests)
    gtest = [case for name, command in sorted(programs.items()) for case in list_gtest(name, command)]
    known = Known(ctest=[t["name"] for t in tests + host_tests],
                  programs=list(programs) + list(gtest_programs(host_tests)),
                  gtest=gtest, console=console_cases(args.console_driver),
                  fuzz=fuzz_targets(args.fuzz_corpus), phases=test_phases(args.test_script))

    with open(args.page, encoding="utf-8") as f:
        found, names = problems(f.read(), known)
    page = os.path.basename(args.page)
    for problem in found:
        print("FAIL %s %s" % (page, problem))
    if not found:
        kinds = {}
        for named in names:
            kinds.setdefault(named.kind, set()).add(named.name)
        print("%s: the %d names it gives exist (%d GoogleTest cases or patterns, %d console cases, "
              "%d CTest expressions, %d other test names; %d GoogleTest cases in %d programs listed)"
              % (page, sum(len(v) for v in kinds.values()), len(kinds.get("gtest", ())),
                 len(kinds.get("console", ())), len(kinds.get("ctest-regex", ())),
                 len(kinds.get("name", ())), len(gtest), len(programs)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
