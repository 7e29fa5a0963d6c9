#!/usr/bin/env python3
"""scripts/release/changelog_section.py cuts the right section out of changelogs of
the shapes Keep a Changelog allows: an Unreleased section above the
releases, headings with and without brackets and dates, link definitions
at the end; and fails on a version with no heading or no text.

Prints one line per problem and exits with 1 if there is any."""

import os
import subprocess
import sys
import tempfile

CUTTER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "changelog_section.py")

CHANGELOG = """# Changelog

All notable changes are recorded here.

## [Unreleased]

### Added

- Something not released yet.

## [1.2.0] - 2027-01-15

### Changed

- A change.
  Its second line.

### Fixed

- A fix.

## 1.1.0

- Plain heading, no date.

### [1.0.9] - a third-level heading is not a release

## [1.0.0] - 2026-12-10
- First.

## [0.9.0] - 2026-11-01

[Unreleased]: https://example.invalid/compare/v1.2.0...HEAD
[1.2.0]: https://example.invalid/compare/v1.1.0...v1.2.0
"""

# (version, the section, or None when the cutter must fail, with these words)
CASES = [
    ("1.2.0", "### Changed\n\n- A change.\n  Its second line.\n\n### Fixed\n\n- A fix.\n", None),
    ("1.1.0", "- Plain heading, no date.\n\n### [1.0.9] - a third-level heading is not a release\n", None),
    ("1.0.0", "- First.\n", None),
    ("Unreleased", "### Added\n\n- Something not released yet.\n", None),
    ("0.9.0", None, "is empty"),
    ("1.0.9", None, "no heading for version 1.0.9"),
    ("1.2", None, "no heading for version 1.2"),
]


def main():
    failures = []
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "CHANGELOG.md")
        with open(path, "w", encoding="utf-8", newline="\r\n") as f:  # CR LF, as an editor on Windows saves it
            f.write(CHANGELOG)
        for version, wanted, words in CASES:
            result = subprocess.run([sys.executable, CUTTER, path, version], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            if wanted is not None and (result.returncode != 0 or result.stdout != wanted):
                failures.append(f"{version}: status {result.returncode}, {result.stdout!r} {result.stderr.strip()!r}; "
                                f"wanted {wanted!r}")
            if wanted is None and (result.returncode == 0 or words not in result.stderr):
                failures.append(f"{version}: status {result.returncode}, {result.stderr.strip()!r}; wanted a failure "
                                f"saying {words!r}")
    for f in failures:
        print(f)
    if not failures:
        print(f"changelog_section.py cut {len(CASES)} cases as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
