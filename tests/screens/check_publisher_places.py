#!/usr/bin/env python3
"""The places that name the publisher but cannot be generated from
publisher/publisher.txt say what it says: the Windows test kit's guide for
testers (tests/kit/CONSOLE-CHECK.txt) and the pictures' alt texts in the
READMEs. Each must quote the program's title with this publisher at least
once, and nowhere a title with another name.

Usage: check_publisher_places.py [--root DIR]
Prints one line per place that is wrong, naming the file and line.
"""

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import expected_screens  # noqa: E402

PLACES = ("tests/kit/CONSOLE-CHECK.txt", "README.md", "README.ru.md")


def problems(name, text, title_prefix, publisher):
    """What is wrong with one place's text."""
    found = []
    quoted = re.compile(re.escape(title_prefix) + r"([^\s\"»)\]]+)")
    names = [(text.count("\n", 0, m.start()) + 1, m.group(1).rstrip(".,;:")) for m in quoted.finditer(text)]
    if not names:
        found.append(f"{name}: no quote of the title \"{title_prefix}{publisher}\"")
    for line, other in names:
        if other != publisher:
            found.append(f"{name}:{line}: the title names \"{other}\", but publisher/publisher.txt says \"{publisher}\"")
    return found


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=os.path.normpath(os.path.join(HERE, "..", "..")))
    args = parser.parse_args(argv)
    texts = expected_screens.texts()
    found = []
    for name in PLACES:
        with open(os.path.join(args.root, name), encoding="utf-8-sig") as f:
            found += problems(name, f.read(), texts["title_prefix"], texts["publisher_text"])
    for problem in found:
        print(problem)
    if not found:
        print(f"check_publisher_places: {', '.join(PLACES)} name the publisher as publisher/publisher.txt does")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
