#!/usr/bin/env python3
"""Checks the product's link map.

No C++ exception runtime, no iostream, no demangler or verbose terminate
handler: any of them means something in the product throws (often a checked
standard-library call such as substr or at) and the executable grows by
hundreds of kilobytes.

Nothing of the product's own runs before main: no object of its libraries
puts a static constructor into .ctors, .init_array or .CRT$XC*. And the
driver's stage table is constant data in .rdata, not data the program could
change or that something fills in at start-up.

Reads the maps of both linkers the product is built with: GNU ld's, and
lld's table of Address/Size/Align/Out/In/Symbol columns (input sections as
`file:(section)`, symbols demangled). lld 14 names an archive member
without its archive (`functexcept.o`, `terminal.cpp.obj`), so there a
member is known by its own name: these names are libstdc++'s alone, and
only CMake names objects `*.cpp.obj`."""
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
# The product's objects: the executable's own and its libraries' (as loose
# objects or as archive members).
OUR_OBJECT = re.compile(r"(?:^|/)CMakeFiles/(?:winrepair|wr_\w+_product)\.dir/"
                        r"|(?:^|/)libwr_\w+_product\.a\("
                        r"|^[\w.+-]+\.cpp\.obj$")
# Where MinGW's start-up code and the C runtime find the constructors to run.
STARTUP_SECTIONS = re.compile(r"^(?:\.ctors|\.init_array|\.CRT\$XC)")
STAGE_TABLE = r"\bk\w*Stages\b"

OUTPUT_SECTION = re.compile(r"^(\.\S+|/DISCARD/)(?:\s+(0x[0-9a-fA-F]+)\s+(0x[0-9a-fA-F]+).*)?$")
INPUT_SECTION = re.compile(r"^ (\.\S+)(?:\s+(0x[0-9a-fA-F]+)\s+(0x[0-9a-fA-F]+)\s+(\S.*))?$")
WRAPPED_REST = re.compile(r"^\s+(0x[0-9a-fA-F]+)\s+(0x[0-9a-fA-F]+)\s+(\S.*)$")
SYMBOL = re.compile(r"^\s{16,}(0x[0-9a-fA-F]+)\s{2,}([^=]+?)\s*$")

LLD_HEADER = re.compile(r"^Address\s+Size\s+Align\s+Out\s+In\s+Symbol\s*$")
# Address, size and alignment, then the Out, In or Symbol column: its
# indentation (0, 8 or 16) says which.
LLD_LINE = re.compile(r"^[0-9a-fA-F]+ ([0-9a-fA-F]+) +\d+ ( *)(\S.*?)\s*$")
LLD_INPUT = re.compile(r"^(.*):\(([^()]*)\)$")
ARCHIVE_MEMBER = re.compile(r"^(.*)\(([^()]+)\)$")


class InputSection:
    def __init__(self, output, name, size, source):
        self.output = output
        self.name = name
        self.size = size
        self.source = source


def is_lld_map(text):
    return bool(LLD_HEADER.match(text.split("\n", 1)[0]))


def parse_lld(text):
    """lld's map as parse() gives GNU ld's."""
    inputs, symbols = [], []
    output = None
    for line in text.splitlines()[1:]:
        match = LLD_LINE.match(line)
        if not match:
            continue
        size, indent, body = int(match.group(1), 16), len(match.group(2)), match.group(3)
        if indent == 0:
            output = body
        elif indent == 8:
            source = LLD_INPUT.match(body)
            if source:
                inputs.append(InputSection(output, source.group(2), size, source.group(1)))
        elif output is not None:
            symbols.append((body, output))
    return inputs, symbols


def libstdcxx_members(text, inputs):
    if not is_lld_map(text):
        return set(re.findall(r"libstdc\+\+\.a\(([^)]+)\)", text))
    members = set()
    for section in inputs:
        archive = ARCHIVE_MEMBER.match(section.source)
        if archive:
            # A later lld that names the archive: only libstdc++'s count.
            if os.path.basename(archive.group(1)) == "libstdc++.a":
                members.add(archive.group(2))
        else:
            members.add(os.path.basename(section.source))
    return members


def parse(text):
    """The memory map part of a GNU ld map: (input sections, symbols), each
    symbol as (name, output section)."""
    if is_lld_map(text):
        return parse_lld(text)
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
    inputs, symbols = parse(text)
    members = libstdcxx_members(text, inputs)
    problems += [f"linked in: {m}: {why}" for m, why in FORBIDDEN.items() if m in members]
    if not re.search(r"winrepair|main\.cpp", text):
        problems.append("the map does not look like the product's link map")

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
    parser.add_argument("--expect-linked", metavar="MEMBER",
                        help="pass only if the map shows this forbidden member (for proving the check "
                             "on a map the linker wrote)")
    args = parser.parse_args(argv)
    with open(args.map, encoding="utf-8", errors="replace") as f:
        problems = check(f.read(), args.stage_table)
    for p in problems:
        print(p)
    if args.expect_linked:
        found = any(p.startswith(f"linked in: {args.expect_linked}:") for p in problems)
        print(f"link map check {'caught' if found else 'MISSED'} {args.expect_linked}")
        return 0 if found else 1
    print("link map check:", "FAILED" if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
