#!/usr/bin/env python3
"""The committed pictures of the program's window hold together: the folder
has one picture per moment and nothing else, each is drawn exactly as the
renderer draws the text it carries (so what it shows is that text, and a
change of the renderer or the icon shows as pictures to make again), and the
READMEs together (README.md and the Russian guide README.ru.md) show every
one of them, each with alt text, and refer to no other picture.

That their text is still the program's is checked under Wine, by
take_screenshots.py --check.

Usage: check_pictures.py [--pictures DIR] [--readme PAGE]...
"""

import argparse
import difflib
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, HERE)

import console_svg  # noqa: E402
from take_screenshots import ICON, MOMENTS  # noqa: E402

PICTURE = re.compile(r"!\[([^\]]*)\]\(([^)\s]+\.svg)\)")


# A picture drawn anew differs from the old one on most lines; the first
# hunks are enough to see why.
DIFF_LINES = 30


def first_lines(lines):
    """At most DIFF_LINES of a diff, saying how many more there were."""
    lines = list(lines)
    shown = lines[:DIFF_LINES]
    if len(lines) > DIFF_LINES:
        shown.append("... %d more lines" % (len(lines) - DIFF_LINES))
    return "\n".join(shown)


def problems(pictures, pages, icon):
    """What is wrong with the pictures in the directory `pictures` and with
    the pages that show them: `pages` holds (name, text, folder), `folder`
    being how that page refers to the directory. [] when nothing."""
    found = []
    names = {moment.name + ".svg" for moment in MOMENTS}
    present = set(os.listdir(pictures)) if os.path.isdir(pictures) else set()
    for name in sorted(names - present):
        found.append("%s: missing; make it with scripts/dev/screenshots.sh" % name)
    for name in sorted(present - names):
        found.append("%s: not a picture scripts/dev/screenshots.sh makes" % name)
    for name in sorted(names & present):
        with open(os.path.join(pictures, name), encoding="utf-8", newline="") as f:
            svg = f.read()
        try:
            drawn = console_svg.render(console_svg.read(svg), icon)
        except (ValueError, SyntaxError) as why:
            found.append("%s: cannot be read back: %s" % (name, why))
            continue
        if drawn != svg:
            found.append("%s: is not drawn as the renderer draws its own text; make it again with "
                         "scripts/dev/screenshots.sh. The renderer against the picture:\n%s"
                         % (name, first_lines(difflib.unified_diff(
                             drawn.splitlines(), svg.splitlines(),
                             "expected (console_svg.py's drawing of its text)",
                             "actual (%s)" % os.path.join(pictures, name), lineterm=""))))
    shown = set()
    for page, text, folder in pages:
        for alt, target in PICTURE.findall(text):
            if not alt.strip():
                found.append("%s: the picture %s has no alt text" % (page, target))
            directory, name = target.rsplit("/", 1) if "/" in target else ("", target)
            if directory != folder or name not in names:
                found.append("%s: %s is not one of the pictures in %s" % (page, target, folder))
            else:
                shown.add(name)
    where = " or ".join(page for page, _, _ in pages) or "no page"
    for name in sorted(names - shown):
        found.append("%s: does not show %s" % (where, name))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--pictures", default=os.path.join(ROOT, "docs", "screenshots"))
    parser.add_argument("--readme", action="append",
                        help="a page that shows pictures (README.md and README.ru.md when none)")
    args = parser.parse_args()
    readmes = args.readme or [os.path.join(ROOT, "README.md"), os.path.join(ROOT, "README.ru.md")]
    pages = []
    for readme in readmes:
        with open(readme, encoding="utf-8") as f:
            text = f.read()
        folder = os.path.relpath(args.pictures, os.path.dirname(os.path.abspath(readme)))
        pages.append((os.path.basename(readme), text, folder.replace(os.sep, "/")))
    with open(ICON, encoding="utf-8") as f:
        icon = f.read()
    found = problems(args.pictures, pages, icon)
    for problem in found:
        print("FAIL " + problem)
    if not found:
        print("the %d pictures are whole and %s show each with alt text"
              % (len(MOMENTS), " and ".join(page for page, _, _ in pages)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
