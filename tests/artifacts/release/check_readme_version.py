#!/usr/bin/env python3
"""The READMEs' version lines show the project's version: the one place it
is set is CMakeLists.txt. The English line ("Current version: **X.Y.Z**")
and the Russian one ("Текущая версия: **X.Y.Z**") each stand once among the
pages given (README.md and README.ru.md), and every page shows at least one.

Usage: check_readme_version.py VERSION PAGE... | --self-test"""
import os
import re
import sys

from self_test_cases import report

LINES = {"English": r"Current version: \*\*([^*]+)\*\*", "Russian": r"Текущая версия: \*\*([^*]+)\*\*"}


def problems_of(pages, version):
    """pages: {name: text}. What is wrong, [] when nothing."""
    problems = []
    for language, pattern in LINES.items():
        shown = [(name, found) for name, text in pages.items() for found in re.findall(pattern, text)]
        if [found for _, found in shown] != [version]:
            problems.append(f"the {language} version line shows {shown or 'nowhere'}, not once {version!r}")
    for name, text in pages.items():
        if not any(re.search(pattern, text) for pattern in LINES.values()):
            problems.append(f"{name} shows no version line")
    return problems


EN = "Current version: **%s**\n"
RU = "Текущая версия: **%s**\n"
SELF_TEST = [
    # (what, pages, a problem expected to contain this, or None)
    ("current", {"README.md": EN % "1.2.0", "README.ru.md": RU % "1.2.0"}, None),
    ("the Russian page behind", {"README.md": EN % "1.2.0", "README.ru.md": RU % "1.1.0"},
     "the Russian version line shows [('README.ru.md', '1.1.0')]"),
    ("the English page behind", {"README.md": EN % "1.1.0", "README.ru.md": RU % "1.2.0"},
     "the English version line shows"),
    ("the Russian line gone", {"README.md": EN % "1.2.0", "README.ru.md": "Версия: 1.2.0\n"},
     "the Russian version line shows nowhere"),
    ("a stale second line", {"README.md": EN % "1.2.0" + EN % "1.1.0", "README.ru.md": RU % "1.2.0"},
     "the English version line shows"),
    ("a page without a line", {"README.md": EN % "1.2.0" + RU % "1.2.0", "README.ru.md": "Инструкция\n"},
     "README.ru.md shows no version line"),
]


def self_test():
    return report("version line check",
                  ((what, expected, problems_of(pages, "1.2.0")) for what, pages, expected in SELF_TEST))


def main(argv):
    if argv == ["--self-test"]:
        return self_test()
    if len(argv) < 2:
        print(__doc__.splitlines()[-1], file=sys.stderr)
        return 2
    version, pages = argv[0], {}
    for path in argv[1:]:
        with open(path, encoding="utf-8") as f:
            pages[os.path.basename(path)] = f.read()
    problems = problems_of(pages, version)
    for p in problems:
        print(p)
    if not problems:
        print(f"{', '.join(pages)}: the version lines show {version}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
