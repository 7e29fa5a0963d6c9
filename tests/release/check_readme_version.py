#!/usr/bin/env python3
"""The README's version lines, English and Russian, show the project's
version: the one place it is set is CMakeLists.txt."""
import re
import sys

LINES = {"English": r"Current version: \*\*([^*]+)\*\*", "Russian": r"Текущая версия: \*\*([^*]+)\*\*"}


def main(argv):
    if len(argv) != 2:
        print("usage: check_readme_version.py README.md VERSION", file=sys.stderr)
        return 2
    with open(argv[0], encoding="utf-8") as f:
        text = f.read()
    problems = []
    for language, pattern in LINES.items():
        shown = re.findall(pattern, text)
        if shown != [argv[1]]:
            problems.append(f"the {language} version line shows {shown}, not [{argv[1]!r}]")
    for p in problems:
        print(f"{argv[0]}: {p}")
    if not problems:
        print(f"{argv[0]}: both version lines show {argv[1]}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
