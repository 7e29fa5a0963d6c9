#!/usr/bin/env python3
"""scripts/release/check_tag.sh takes the tag v<VERSION>, exactly, and nothing
else: not another number, a suffix, a leading zero, a missing "v" or part,
a space or a line end more. And it refuses a version in CMakeLists.txt
that is not three numbers without leading zeros, even with the tag that
names it. Each refusal is one line saying what is wrong.

  check_tag_test.py VERSION     the version of CMakeLists.txt, X.Y.Z

Prints one line per problem and exits with 1 if there is any."""

import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK_TAG = os.path.join(HERE, "check_tag.sh")


def check_tag(tag, root=None):
    """(exit status, output) of the tag check, in a copy of the repository's
    layout with its own CMakeLists.txt when root is given."""
    script = CHECK_TAG if root is None else os.path.join(root, "scripts", "release", "check_tag.sh")
    result = subprocess.run(["bash", script, tag], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def shown(tag):
    """The tag as the refusal shows it: a line end as \\n."""
    return tag.replace("\n", "\\n")


def main(argv):
    if len(argv) != 1:
        print(__doc__)
        return 2
    version = argv[0]
    major, minor, patch = version.split(".")
    later = f"{major}.{minor}.{int(patch) + 1}"
    failures = []
    tags = [
        (f"v{version}", True),
        (f"v{later}", False),
        (f"v{major}.{minor}.0{patch}", False),
        (f"v0{version}", False),
        (f"v{version}-rc1", False),
        (f"v{version}.0", False),
        (f"v{major}.{minor}", False),
        (version, False),
        (f"V{version}", False),
        (f"v{version} ", False),
        (f" v{version}", False),
        (f"v{version}\n", False),
        ("", False),
    ]
    for tag, taken in tags:
        status, output = check_tag(tag)
        if taken and status != 0:
            failures.append(f"the tag check refuses {tag!r}, the version: {output.strip()!r}")
        elif not taken and (status != 1 or len(output.strip().splitlines()) != 1
                            or not output.startswith(f"check_tag: the tag '{shown(tag)}' is not v{version}")):
            failures.append(f"the tag check with {tag!r}: status {status}, {output.strip()!r}")

    # Versions in CMakeLists.txt that no tag may name.
    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "scripts", "release"))
        shutil.copy(CHECK_TAG, os.path.join(root, "scripts", "release"))
        for wrong in (f"{major}.{minor}.0{patch}", f"{major}.{minor}", f"{version}.1", f"{version}-rc1"):
            with open(os.path.join(root, "CMakeLists.txt"), "w", encoding="utf-8") as f:
                f.write(f"cmake_minimum_required(VERSION 3.25)\nproject(winrepair VERSION {wrong} LANGUAGES C CXX)\n")
            status, output = check_tag(f"v{wrong}", root)
            if status != 1 or f"'{wrong}', is not X.Y.Z" not in output or len(output.strip().splitlines()) != 1:
                failures.append(f"with VERSION {wrong} in CMakeLists.txt the tag check of v{wrong} says: "
                                f"status {status}, {output.strip()!r}")

    for f in failures:
        print(f)
    if not failures:
        print(f"the tag check takes v{version} alone: {len(tags) - 1} other tags and 4 malformed versions refused")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
