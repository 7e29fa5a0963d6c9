#!/usr/bin/env python3
"""The product's C++ sources in a build's compile database, for clang-tidy.

Reads BUILD/compile_commands.json and BUILD/product_sources.txt (which the
build writes: one "target<TAB>absolute path" a line, see
cmake/product_sources.cmake). Keeps the C++ compiles of the product's
targets and skips every other entry (resources, C, tests, GoogleTest).
Writes those entries alone to OUT_DIR/compile_commands.json, so that
clang-tidy checks each source once with the product's own flags (the
database also holds the platform sources once for every test program that
links them), and prints the sources, one a line.

Fails (status 1, the reason on standard error) when either file cannot be
read, an entry is malformed, a C++ compile names no output, or the compiles
found are not exactly the product's sources in the build.

Usage: tidy_sources.py BUILD_DIR OUT_DIR
"""

import json
import os
import re
import shlex
import sys

CXX_SUFFIXES = (".cpp", ".cc", ".cxx", ".c++")
# CMake puts the objects of target T under CMakeFiles/T.dir/.
TARGET_DIR = re.compile(r"(?:^|/)CMakeFiles/([^/]+)\.dir/")


class Unreadable(Exception):
    pass


def read_product_sources(path):
    """{(target, absolute source)} from the build's own list."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except OSError as e:
        raise Unreadable("cannot read %s: %s" % (path, e.strerror))
    sources = set()
    for number, line in enumerate(lines, 1):
        target, tab, source = line.partition("\t")
        if not tab or not target or not os.path.isabs(source):
            raise Unreadable("%s:%d: not \"target<TAB>absolute path\": %r" % (path, number, line))
        sources.add((target, os.path.normpath(source)))
    if not sources:
        raise Unreadable("%s lists no product source" % path)
    return sources


def arguments(entry, where):
    args = entry.get("arguments")
    if args is not None:
        if not isinstance(args, list) or not all(isinstance(a, str) for a in args):
            raise Unreadable("%s: \"arguments\" is not a list of strings" % where)
        return args
    command = entry.get("command")
    if not isinstance(command, str):
        raise Unreadable("%s: neither \"arguments\" nor \"command\"" % where)
    try:
        return shlex.split(command)
    except ValueError as e:
        raise Unreadable("%s: cannot split the command: %s" % (where, e))


def output_of(entry, args):
    if isinstance(entry.get("output"), str):
        return entry["output"]
    for i, arg in enumerate(args):
        if arg == "-o" and i + 1 < len(args):
            return args[i + 1]
        if arg.startswith("-o") and len(arg) > 2:
            return arg[2:]
    return None


def product_compiles(database_path, product_targets):
    """[(target, absolute source, entry)] for the product's C++ compiles."""
    try:
        with open(database_path, encoding="utf-8") as f:
            database = json.load(f)
    except OSError as e:
        raise Unreadable("cannot read %s: %s" % (database_path, e.strerror))
    except ValueError as e:
        raise Unreadable("%s is not valid JSON: %s" % (database_path, e))
    if not isinstance(database, list):
        raise Unreadable("%s is not a list of compile commands" % database_path)
    found = []
    for index, entry in enumerate(database):
        where = "%s, entry %d" % (database_path, index)
        if not isinstance(entry, dict):
            raise Unreadable("%s: not an object" % where)
        directory, source = entry.get("directory"), entry.get("file")
        if not isinstance(directory, str) or not isinstance(source, str):
            raise Unreadable("%s: no \"directory\" or \"file\"" % where)
        args = arguments(entry, where)
        if not source.endswith(CXX_SUFFIXES) or "-c" not in args:
            continue  # resources, C, anything that does not compile C++
        output = output_of(entry, args)
        if output is None:
            raise Unreadable("%s: a C++ compile of %s without an output" % (where, source))
        target = TARGET_DIR.search(output.replace(os.sep, "/"))
        if target is None or target.group(1) not in product_targets:
            continue
        found.append((target.group(1), os.path.normpath(os.path.join(directory, source)), entry))
    return found


def main(argv):
    if len(argv) != 3:
        print("usage: tidy_sources.py BUILD_DIR OUT_DIR", file=sys.stderr)
        return 2
    build, out_dir = argv[1], argv[2]
    try:
        expected = read_product_sources(os.path.join(build, "product_sources.txt"))
        compiles = product_compiles(os.path.join(build, "compile_commands.json"),
                                    {target for target, _ in expected})
    except Unreadable as e:
        print("tidy: %s" % e, file=sys.stderr)
        return 1
    found = {(target, source) for target, source, _ in compiles}
    if found != expected:
        print("tidy: the compile database does not hold the product's sources as the build lists"
              " them (%d there, %d in the database)" % (len(expected), len(found)), file=sys.stderr)
        for target, source in sorted(expected - found):
            print("  not in the database: %s (%s)" % (source, target), file=sys.stderr)
        for target, source in sorted(found - expected):
            print("  not in the build's list: %s (%s)" % (source, target), file=sys.stderr)
        return 1
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "compile_commands.json"), "w", encoding="utf-8") as f:
        json.dump([entry for _, _, entry in compiles], f, indent=1)
    for source in sorted({source for _, source in expected}):
        print(source)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
