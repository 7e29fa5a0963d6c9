#!/usr/bin/env python3
"""Prints one version's section of CHANGELOG.md: what the release workflow
puts in the release's notes.

The changelog follows Keep a Changelog: a second-level heading per release,
"## [1.2.0] - 2027-01-15" (the brackets and the date may be missing), newest
first, with an "## [Unreleased]" section above them while changes gather,
and the headings' link definitions ("[1.2.0]: https://...") at the end. The
section is everything under the version's heading up to the next
second-level heading or those definitions, blank lines at either end left
out. A version with no heading, or a heading with nothing under it, fails.

  changelog_section.py CHANGELOG.md VERSION"""

import re
import sys

HEADING = re.compile(r"^##(?!#)\s*(?:\[(?P<bracketed>[^\]]+)\]|(?P<plain>\S+))(?P<rest>.*)$")
LINK_DEFINITION = re.compile(r"^\[[^\]]+\]:\s*\S")


class ChangelogError(Exception):
    pass


def section(text, version):
    lines = text.replace("\r\n", "\n").split("\n")
    start = None
    for index, line in enumerate(lines):
        heading = HEADING.match(line)
        if heading and (heading.group("bracketed") or heading.group("plain")).strip() == version:
            start = index + 1
            break
    if start is None:
        raise ChangelogError(f"no heading for version {version}")
    end = start
    while end < len(lines) and not HEADING.match(lines[end]) and not LINK_DEFINITION.match(lines[end]):
        end += 1
    body = "\n".join(lines[start:end]).strip("\n")
    if not body.strip():
        raise ChangelogError(f"the section of version {version} is empty")
    return body + "\n"


def main(argv):
    if len(argv) != 2:
        print(__doc__.rstrip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    path, version = argv
    try:
        with open(path, encoding="utf-8") as f:
            sys.stdout.write(section(f.read(), version))
    except (OSError, ChangelogError) as e:
        print(f"changelog_section: {path}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
