#!/usr/bin/env python3
"""Checks the product's link map.

No C++ exception runtime, no iostream, no demangler or verbose terminate
handler: any of them means something in the product throws (often a checked
standard-library call such as substr or at) and the executable grows by
hundreds of kilobytes.

Nothing of the product's own runs before main: no object of its libraries
puts a static constructor into .ctors, .init_array or .CRT$XC*. And the
driver's stage table is constant data in .rdata, not data the program could
change or that something fills in at start-up."""
import argparse
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
# The product's objects: the executable's own and its libraries' (as loose
# objects or as archive members).
OUR_OBJECT = re.compile(r"(?:^|/)CMakeFiles/(?:winrepair|wr_\w+_product)\.dir/"
                        r"|(?:^|/)libwr_\w+_product\.a\(")
# Where MinGW's start-up code and the C runtime find the constructors to run.
STARTUP_SECTIONS = re.compile(r"^(?:\.ctors|\.init_array|\.CRT\$XC)")
STAGE_TABLE = r"\bk\w*Stages\b"

OUTPUT_SECTION = re.compile(r"^(\.\S+|/DISCARD/)(?:\s+(0x[0-9a-fA-F]+)\s+(0x[0-9a-fA-F]+).*)?$")
INPUT_SECTION = re.compile(r"^ (\.\S+)(?:\s+(0x[0-9a-fA-F]+)\s+(0x[0-9a-fA-F]+)\s+(\S.*))?$")
WRAPPED_REST = re.compile(r"^\s+(0x[0-9a-fA-F]+)\s+(0x[0-9a-fA-F]+)\s+(\S.*)$")
SYMBOL = re.compile(r"^\s{16,}(0x[0-9a-fA-F]+)\s{2,}([^=]+?)\s*$")


class InputSection:
    def __init__(self, output, name, size, source):
        self.output = output
        self.name = name
        self.size = size
        self.source = source


def parse(text):
    """The memory map part of a GNU ld map: (input sections, symbols), each
    symbol as (name, output section)."""
    marker = text.find("Linker script and memory map")
    lines = text[marker:].splitlines() if marker >= 0 else []
    inputs, symbols = [], []
    output = None
    pending = None  # an input section whose name filled its line
    for line in lines:
        if pending is not None:
            rest = WRAPPED_REST.match(line)
            if rest:
                inputs.append(InputSection(output, pending, int(rest.group(2), 16), rest.group(3)))
                pending = None
                continue
            pending = None
        if not line.strip():
            continue
        if not line[0].isspace():
            match = OUTPUT_SECTION.match(line)
            if match:
                output = match.group(1)
            continue
        match = INPUT_SECTION.match(line)
        if match:
            if match.group(2) is None:
                pending = match.group(1)
            else:
                inputs.append(InputSection(output, match.group(1), int(match.group(3), 16), match.group(4)))
            continue
        match = SYMBOL.match(line)
        if match and output is not None:
            symbols.append((match.group(2), output))
    return inputs, symbols


def check(text, stage_table=STAGE_TABLE):
    problems = []
    members = set(re.findall(r"libstdc\+\+\.a\(([^)]+)\)", text))
    problems += [f"linked in: {m}: {why}" for m, why in FORBIDDEN.items() if m in members]
    if not re.search(r"winrepair|main\.cpp", text):
        problems.append("the map does not look like the product's link map")

    inputs, symbols = parse(text)
    for section in inputs:
        if section.size and STARTUP_SECTIONS.match(section.name) and OUR_OBJECT.search(section.source):
            problems.append(f"runs before main: {section.source} puts {section.size} bytes into "
                            f"{section.name} (a static constructor)")

    tables = [(name, output) for name, output in symbols if re.search(stage_table, name)]
    if not tables:
        problems.append(f"no symbol matching {stage_table!r} in the map: where is the stage table?")
    for name, output in tables:
        if output != ".rdata":
            problems.append(f"the stage table {name} is in {output}, not in read-only .rdata")
    return problems


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("map", help="winrepair.map")
    parser.add_argument("--stage-table", default=STAGE_TABLE, help="pattern naming the stage table")
    args = parser.parse_args(argv)
    with open(args.map, encoding="utf-8", errors="replace") as f:
        problems = check(f.read(), args.stage_table)
    for p in problems:
        print(p)
    print("link map check:", "FAILED" if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
