#!/usr/bin/env python3
"""Compiles each test source of a build tree on its own, for syntax only.

The test programs compile their sources as one (CMake's UNITY_BUILD): a
source that lacks an include, or uses a helper another source defines, still
compiles there, by luck of what comes before it in the batch. This finds
every batch in BUILD/compile_commands.json (CMakeFiles/<target>.dir/Unity/
unity_N_cxx.cxx), and compiles each source the batch includes with the
batch's own command, as a build without batches would: the same flags and
the target's precompiled header (GoogleTest's, which every source of the
program gets either way), `-fsyntax-only` and no output or dependency file.
The first source of a batch has nothing before it there, so the build itself
compiles it alone: it is left out, and so is a batch of one source.

Prints the count and the time; fails (status 1) naming each source that does
not compile alone, with the compiler's messages, or when the database holds
no batch (a tree that lost its unity build must not pass by checking nothing).

Usage: compile_alone.py BUILD_DIR [-j JOBS] [--target=PROGRAM]... [--skip=SOURCE]...
  --target  check only these programs' batches (all when none is given)
  --skip    leave out a source another tree checks
"""

import argparse
import concurrent.futures
import json
import os
import re
import shlex
import subprocess
import sys
import time

BATCH = re.compile(r"(?:^|/)CMakeFiles/([^/]+)\.dir/Unity/unity_\d+_cxx\.cxx$")
INCLUDED = re.compile(r'^#include "([^"]+)"\s*$', re.MULTILINE)
# Arguments that write files (the object, the dependency list): dropped, with
# the value that follows each.
WRITES = {"-o", "-MF", "-MT", "-MQ"}
WRITES_ALONE = {"-MD", "-MMD", "-c"}


class Unreadable(Exception):
    pass


def batches(build):
    """[(target, directory, arguments, unity file, [source...])]."""
    path = os.path.join(build, "compile_commands.json")
    try:
        with open(path, encoding="utf-8") as f:
            database = json.load(f)
    except (OSError, ValueError) as e:
        raise Unreadable("cannot read %s: %s" % (path, e))
    found = []
    for entry in database:
        unity = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        batch = BATCH.search(unity.replace(os.sep, "/"))
        if batch is None:
            continue
        try:
            with open(unity, encoding="utf-8") as f:
                sources = INCLUDED.findall(f.read())
        except OSError as e:
            raise Unreadable("cannot read %s: %s" % (unity, e.strerror))
        arguments = entry.get("arguments") or shlex.split(entry["command"])
        found.append((batch.group(1), entry["directory"], arguments, unity, sources))
    if not found:
        raise Unreadable("%s holds no compile of a batch of sources (UNITY_BUILD)" % path)
    return found


def alone(directory, arguments, unity, source):
    """The batch's command turned into a syntax check of `source` alone."""
    command = []
    skip = False
    for argument in arguments:
        if skip:
            skip = False
        elif argument in WRITES:
            skip = True
        elif argument in WRITES_ALONE or argument.startswith(("-o", "-MF", "-MT", "-MQ")):
            pass
        elif os.path.normpath(os.path.join(directory, argument)) == unity:
            command.append(source)
        else:
            command.append(argument)
    if source not in command:
        raise Unreadable("the command of %s does not name it" % unity)
    return command + ["-fsyntax-only"]


def check(directory, command):
    done = subprocess.run(command, cwd=directory, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("-j", "--jobs", type=int, default=2)
    parser.add_argument("--target", action="append", default=[])
    parser.add_argument("--skip", action="append", default=[])
    args = parser.parse_args()
    skip = {os.path.normpath(path) for path in args.skip}
    started = time.monotonic()
    try:
        work = [(target, source, directory, alone(directory, arguments, unity, source))
                for target, directory, arguments, unity, sources in batches(args.build)
                if not args.target or target in args.target
                for source in sources[1:] if os.path.normpath(source) not in skip]
    except Unreadable as e:
        print("compile_alone: %s" % e, file=sys.stderr)
        return 1
    failed = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        results = pool.map(lambda item: check(item[2], item[3]), work)
        for (target, source, _, _), (status, output) in zip(work, results):
            if status != 0:
                failed.append(source)
                print("compile_alone: %s (of %s) does not compile alone:\n%s"
                      % (source, target, output.rstrip()), file=sys.stderr)
    print("compile_alone: %d test sources of %d programs, each alone (the first of each batch"
          " compiles alone in it), in %.1f s"
          % (len(work), len({target for target, _, _, _ in work}), time.monotonic() - started))
    if failed:
        print("compile_alone: %d do not compile alone: %s" % (len(failed), " ".join(failed)),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
