#!/usr/bin/env python3
"""Checks the product's link map: no C++ exception runtime, no iostream, no
demangler or verbose terminate handler. Any of them means something in the
product throws (often a checked standard-library call such as substr or at)
and the executable grows by hundreds of kilobytes.

Reads the maps of both linkers the product is built with: GNU ld's
(`-Map`), which names archive members as `libstdc++.a(member.o)`, and
lld's, a table of Address/Size/Align/Out/In/Symbol columns whose In column
holds `member.o:(section)` (lld 14 drops the archive's name there, so a
member is known by its own name, and these names are libstdc++'s alone).

Usage: check_link_map.py MAP
       check_link_map.py --expect-linked MEMBER MAP
The second form is for proving the check itself: it passes only if the map
shows MEMBER among the forbidden members found."""
import argparse
import os
import re
import sys

FORBIDDEN = {
    "functexcept.o": "a standard-library call that throws (substr, at, copy, ...)",
    "eh_throw.o": "a throw",
    "eh_personality.o": "the C++ exception personality",
    "vterminate.o": "the verbose terminate handler",
    "cp-demangle.o": "the demangler",
    "ios_init.o": "iostream",
    "locale_init.o": "iostream locales",
    "string-inst.o": "std::string",
    "cow-string-inst.o": "std::string",
}

LLD_HEADER = re.compile(r"^Address\s+Size\s+Align\s+Out\s+In\s+Symbol\s*$")
# An input section line of lld's map: address, size, alignment, an empty
# Out column, then the input file and its section.
LLD_INPUT = re.compile(r"^[0-9a-fA-F]+ +[0-9a-fA-F]+ +\d+ {9}(\S.*?):\([^()]*\)\s*$")
ARCHIVE_MEMBER = re.compile(r"^(.*)\(([^()]+)\)$")


def is_lld_map(text):
    first = text.split("\n", 1)[0]
    return bool(LLD_HEADER.match(first))


def libstdcxx_members(text):
    """The libstdc++ archive members the map shows linked in, for either
    linker's format (members named without their archive are taken as
    candidates; FORBIDDEN decides which of them matter)."""
    if not is_lld_map(text):
        return set(re.findall(r"libstdc\+\+\.a\(([^)]+)\)", text))
    members = set()
    for line in text.splitlines():
        m = LLD_INPUT.match(line)
        if not m:
            continue
        name = m.group(1)
        archive = ARCHIVE_MEMBER.match(name)
        if archive:
            # Newer lld names the archive too: then only libstdc++'s count.
            if os.path.basename(archive.group(1)) == "libstdc++.a":
                members.add(archive.group(2))
        else:
            members.add(os.path.basename(name))
    return members


def problems_in(text):
    members = libstdcxx_members(text)
    problems = [(m, f"{m}: {why}") for m, why in FORBIDDEN.items() if m in members]
    if not re.search(r"winrepair|main\.cpp", text):
        problems.append((None, "the map does not look like the product's link map"))
    return problems


def main(argv) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--expect-linked", metavar="MEMBER")
    parser.add_argument("map")
    args = parser.parse_args(argv)
    with open(args.map, encoding="utf-8", errors="replace") as f:
        text = f.read()
    problems = problems_in(text)
    for _, p in problems:
        print("linked in:", p)
    if args.expect_linked:
        found = any(m == args.expect_linked for m, _ in problems)
        print(f"link map check {'caught' if found else 'MISSED'} {args.expect_linked}")
        return 0 if found else 1
    print("link map check:", "FAILED" if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
