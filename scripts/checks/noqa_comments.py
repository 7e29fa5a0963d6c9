#!/usr/bin/python3
"""Refuses the noqa comments that would silence more than they name.

flake8 drops a finding on a line whose noqa comment names its code, as
scripts/checks/check_scripts.sh wants:

    import readline  # noqa: F401 loaded for its effect on input()

but it reads some comments as silencing every finding, and a comment written
for one finding must not hide another on the same line. So each of these is
a finding of its own, named by file and line:

- a noqa comment without codes, or with codes flake8 cannot read (two
  spaces after the colon, a space before it, a letter without digits): read
  with flake8's own pattern, below, it names no codes;
- a code that is not whole (F4 for F401): flake8 takes a code as a prefix,
  so F4 would silence F401 to F407;
- the file-wide form (a line that is only "flake8: noqa" as a comment).

flake8 finds a noqa comment anywhere on a line, inside a string too, and so
does this: a line that must hold one in a string builds it from two parts.

Exit status: 0 none found, 1 found (or a file cannot be read), 2 usage.
Runs under the interpreter of Debian's flake8, whose module it imports.
"""

import re
import sys

from flake8 import defaults

# flake8 5 (Debian 12) calls it NOQA_INLINE_REGEXP, later ones NOQA_INLINE_REGEX.
NOQA = getattr(defaults, "NOQA_INLINE_REGEX", None) or defaults.NOQA_INLINE_REGEXP
WHOLE_CODE = re.compile(r"[A-Z][0-9]{3}$", re.IGNORECASE)


def problems(line):
    """What is wrong with the noqa comments on `line`, as sentences."""
    found = []
    if defaults.NOQA_FILE.match(line):
        found.append("`# flake8: noqa` silences the whole file")
    for comment in NOQA.finditer(line):
        codes = comment.group("codes")
        if codes is None:
            found.append("`%s` names no code flake8 reads, so it silences every finding on its "
                         "line: name them (`# noqa: F401 <why>`)" % comment.group(0))
            continue
        partial = [code for code in re.split(r"[,\s]+", codes.strip())
                   if not WHOLE_CODE.match(code)]
        if partial:
            found.append("`%s` names part of a code (%s): flake8 then silences every code it "
                         "begins" % (comment.group(0).strip(), ", ".join(partial)))
    return found


def main(paths):
    if not paths:
        print("usage: noqa_comments.py FILE...", file=sys.stderr)
        return 2
    status = 0
    for path in paths:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except OSError as e:
            print("%s: cannot read: %s" % (path, e.strerror))
            status = 1
            continue
        for number, line in enumerate(lines, 1):
            for problem in problems(line):
                print("%s:%d: %s" % (path, number, problem))
                status = 1
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
