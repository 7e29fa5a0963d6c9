#!/usr/bin/env python3
"""Every file or folder of the repository that a page names exists: so that
a page's map of the tree cannot go stale when files move.

A named path is a word inside backquotes, in prose or in a fenced block,
whose first part is a top-level file or folder that git tracks (`tests/...`,
`scripts/...`, `.github/...`); build outputs (`build/...`, `dist/...`) are
not tracked and so not held. A word may carry a glob (`platform/*-win32.cpp`)
or a list in braces (`tests/unit/fake/fake_system.{h,cpp}`): some tracked path
must match each alternative. A word holding a <placeholder> is skipped.

Usage: check_page_paths.py [--root DIR] [PAGE...]   (no page: every tracked *.md)
Prints one line per missing path, "page:line: `path` ...", and exits 1 if
there is any.
"""

import argparse
import fnmatch
import os
import re
import subprocess
import sys

CODE_SPAN = re.compile(r"`([^`\n]+)`")
FENCE = re.compile(r"^\s*```")
BRACES = re.compile(r"\{([^{}]*)\}")


def tracked(root):
    out = subprocess.run(["git", "-C", root, "ls-files", "-z"], capture_output=True, check=True).stdout
    files = [p for p in out.decode().split("\0") if p]
    folders = {os.path.dirname(p) for p in files}
    for folder in list(folders):
        while folder:
            folder = os.path.dirname(folder)
            folders.add(folder)
    return set(files), folders - {""}


def alternatives(word):
    """The word with each {a,b} expanded."""
    match = BRACES.search(word)
    if not match:
        return [word]
    result = []
    for part in match.group(1).split(","):
        result.extend(alternatives(word[:match.start()] + part + word[match.end():]))
    return result


def words_of(text):
    """(line number, word) for every word in a code span or a fenced block."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        spans = [line] if fenced else CODE_SPAN.findall(line)
        for span in spans:
            for word in span.split():
                yield number, word


def exists(path, files, folders):
    path = path.rstrip("/")
    if any(c in path for c in "*?["):
        return any(fnmatch.fnmatchcase(p, path) for p in files | folders)
    return path in files or path in folders


def missing_paths(page, text, files, folders):
    tops = {p.split("/", 1)[0] for p in files}
    problems = []
    for number, word in words_of(text):
        word = word.strip("\"'(),;:.").rstrip(".")
        # A command's word may be NAME=value or --option=value.
        word = word.split("=", 1)[1] if "=" in word else word
        if "/" not in word or "<" in word or "://" in word:
            continue
        if word.split("/", 1)[0] not in tops:
            continue
        for path in alternatives(word):
            if not exists(path, files, folders):
                problems.append(f"{page}:{number}: `{path}` is named but the repository has no such file or folder")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=".")
    parser.add_argument("pages", nargs="*")
    args = parser.parse_args(argv)
    files, folders = tracked(args.root)
    args.pages = args.pages or sorted(p for p in files if p.endswith(".md"))
    problems = []
    for page in args.pages:
        with open(os.path.join(args.root, page), encoding="utf-8") as f:
            problems += missing_paths(page, f.read(), files, folders)
    for problem in problems:
        print(problem)
    if not problems:
        print(f"check_page_paths: every path named in {len(args.pages)} pages exists")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
