#!/usr/bin/env python3
"""The newest release in CHANGELOG.md is the version the build makes: the
one place the version is set is CMakeLists.txt, and a release whose
changelog stops at an older version tells users nothing of what changed.

The changelog keeps the "Keep a Changelog" form: releases as
`## [X.Y.Z] - YYYY-MM-DD`, newest first, an optional `## [Unreleased]`
above them. --self-test runs the check on small changelogs made here."""
import re
import sys

from self_test_cases import report

RELEASE = re.compile(r"^## \[(\d+\.\d+\.\d+)\] - (\d{4}-\d{2}-\d{2})$")
HEADING = re.compile(r"^## (.*)$")


def problems_of(text, version):
    releases, problems = [], []
    for number, line in enumerate(text.splitlines(), 1):
        heading = HEADING.match(line)
        if not heading:
            continue
        release = RELEASE.match(line)
        if release:
            releases.append((release.group(1), release.group(2)))
        elif heading.group(1) != "[Unreleased]" or releases:
            problems.append(f"line {number}: {line!r} is neither '## [X.Y.Z] - YYYY-MM-DD' "
                            f"nor a leading '## [Unreleased]'")
    if not releases:
        return problems + ["no release heading '## [X.Y.Z] - YYYY-MM-DD'"]
    if releases[0][0] != version:
        problems.append(f"the newest release is {releases[0][0]}, but the build makes {version}")
    key = [tuple(map(int, v.split("."))) for v, _ in releases]
    if key != sorted(key, reverse=True) or len(set(key)) != len(key):
        problems.append(f"releases are not newest first, each once: {[v for v, _ in releases]}")
    dates = [d for _, d in releases]
    if dates != sorted(dates, reverse=True):
        problems.append(f"release dates go backwards: {dates}")
    return problems


SELF_TEST = [
    # (what, changelog, version, a problem expected to contain this, or None)
    ("current", "## [1.1.0] - 2026-12-11\n## [1.0.0] - 2026-12-10\n", "1.1.0", None),
    ("unreleased on top", "## [Unreleased]\n## [1.1.0] - 2026-12-11\n", "1.1.0", None),
    ("build ahead of the changelog", "## [1.0.0] - 2026-12-10\n", "1.1.0", "the newest release is 1.0.0"),
    ("changelog ahead of the build", "## [1.2.0] - 2027-01-01\n## [1.1.0] - 2026-12-11\n", "1.1.0",
     "the newest release is 1.2.0"),
    ("older release first", "## [1.0.0] - 2026-12-10\n## [1.1.0] - 2026-12-11\n", "1.0.0", "newest first"),
    ("heading without a date", "## [1.1.0]\n## [1.0.0] - 2026-12-10\n", "1.1.0", "neither"),
    ("no releases", "# Changelog\n", "1.1.0", "no release heading"),
    ("dates backwards", "## [1.1.0] - 2026-12-01\n## [1.0.0] - 2026-12-10\n", "1.1.0", "dates go backwards"),
]


def self_test():
    return report("changelog check",
                  ((what, expected, problems_of(text, version)) for what, text, version, expected in SELF_TEST))


def main(argv):
    if argv == ["--self-test"]:
        return self_test()
    if len(argv) != 2:
        print("usage: check_changelog.py CHANGELOG.md VERSION | --self-test", file=sys.stderr)
        return 2
    with open(argv[0], encoding="utf-8") as f:
        problems = problems_of(f.read(), argv[1])
    for p in problems:
        print(f"{argv[0]}: {p}")
    if not problems:
        print(f"{argv[0]}: the newest release is {argv[1]}, the build's version")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
