#!/usr/bin/env python3
"""Checks the product's link map: no C++ exception runtime, no iostream, no
demangler or verbose terminate handler. Any of them means something in the
product throws (often a checked standard-library call such as substr or at)
and the executable grows by hundreds of kilobytes."""
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

def main() -> int:
    if len(sys.argv) != 2:
        print("usage: check_link_map.py <winrepair.map>", file=sys.stderr)
        return 2
    text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
    members = set(re.findall(r"libstdc\+\+\.a\(([^)]+)\)", text))
    problems = [f"{m}: {why}" for m, why in FORBIDDEN.items() if m in members]
    if not re.search(r"winrepair|main\.cpp", text):
        problems.append("the map does not look like the product's link map")
    for p in problems:
        print("linked in:", p)
    print("link map check:", "FAILED" if problems else "ok")
    return 1 if problems else 0

if __name__ == "__main__":
    sys.exit(main())
