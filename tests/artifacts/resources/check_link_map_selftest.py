#!/usr/bin/env python3
"""Proves that check_link_map.py catches what it is meant to catch: the
product's link map must pass, and every damaged copy of it must fail with
the problem its damage causes. The damage edits the map's text the way the
linker would write it: GNU ld's map or lld's, whichever linker wrote this
one."""
import re
import sys

import check_link_map


def insert_after(text, pattern, lines):
    """Inserts lines after the first line matching pattern."""
    match = re.search(pattern, text, re.M)
    if not match:
        raise LookupError(f"no line matching {pattern!r}")
    end = text.index("\n", match.end()) + 1
    return text[:end] + "".join(line + "\n" for line in lines) + text[end:]


def input_line(section, size, source):
    return f" {section:<14} 0x0000000140010000 {size:#10x} {source}"


def wrapped_input_lines(section, size, source):
    return [f" {section}", f"                0x0000000140010000 {size:#10x} {source}"]


def stage_table_line(text):
    match = re.search(r"^\s{16,}0x[0-9a-f]+\s+\S*" + check_link_map.STAGE_TABLE + r".*\n", text, re.M)
    if not match:
        raise LookupError("no stage table symbol")
    return match


def move_stage_table(text, output_section):
    """Moves the stage table's symbol line under the first input section of
    the given output section."""
    match = stage_table_line(text)
    symbol = match.group(0)
    lines = (text[:match.start()] + text[match.end():]).splitlines(keepends=True)
    header = next((i for i, line in enumerate(lines)
                   if re.match(re.escape(output_section) + r"\s+0x", line)), None)
    if header is None:
        raise LookupError(f"no output section {output_section}")
    first = next((i for i in range(header + 1, len(lines))
                  if re.match(r"^ \.\S+\s+0x\S+\s+0x", lines[i])), None)
    if first is None:
        raise LookupError(f"no input section in {output_section}")
    lines.insert(first + 1, symbol)
    return "".join(lines)


def without_stage_table(text):
    match = stage_table_line(text)
    return text[:match.start()] + text[match.end():]


DAMAGES = [
    # (name, damage(text) -> text, words the reported problem must contain)
    ("a static constructor from a product library in .ctors",
     lambda t: insert_after(t, r"^ \*\(\.ctors\)$",
                            [input_line(".ctors", 8, "libwr_console_product.a(terminal.cpp.obj)")]),
     "libwr_console_product.a(terminal.cpp.obj) puts 8 bytes into .ctors"),
    ("a static constructor of main.cpp in .init_array",
     lambda t: insert_after(t, r"^ \*\(\.ctors\)$",
                            [input_line(".init_array", 8, "CMakeFiles/winrepair.dir/driver/main.cpp.obj")]),
     "main.cpp.obj puts 8 bytes into .init_array"),
    ("a prioritised constructor of the Win32 system in .ctors.00101",
     lambda t: insert_after(t, r"^ \*\(SORT_BY_NAME\(\.ctors\.\*\)\)$",
                            [input_line(".ctors.00101", 8,
                                        "CMakeFiles/winrepair.dir/platform/system-win32.cpp.obj")]),
     "system-win32.cpp.obj puts 8 bytes into .ctors.00101"),
    ("a C runtime initialiser from a product library, its name on a line of its own",
     lambda t: insert_after(t, r"^ \*\(SORT_BY_NAME\(\.CRT\$XC\*\)\)$",
                            wrapped_input_lines(".CRT$XCU", 8,
                                                "CMakeFiles/wr_launch_product.dir/launch/resolve.cpp.obj")),
     "resolve.cpp.obj puts 8 bytes into .CRT$XCU"),
    ("the stage table in .data", lambda t: move_stage_table(t, ".data"),
     "is in .data, not in read-only .rdata"),
    ("the stage table in .bss", lambda t: move_stage_table(t, ".bss"), "is in .bss"),
    ("no stage table at all", without_stage_table, "where is the stage table"),
    ("a throw linked in",
     lambda t: insert_after(t, r"^ \*\(\.text\)$",
                            [input_line(".text", 0x100,
                                        "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libstdc++.a(eh_throw.o)")]),
     "eh_throw.o"),
]


def lld_line(indent, body, size=8, align=8):
    return f"{0x10000:08x} {size:08x} {align:5} " + " " * indent + body


def lld_input_after(output_section, source, section, size=8):
    """An input section of lld's map, first in the given output section."""
    return lambda t: insert_after(t, r"^[0-9a-f]+ [0-9a-f]+ +\d+ " + re.escape(output_section) + "$",
                                  [lld_line(8, f"{source}:({section})", size)])


def lld_stage_table_line(text):
    match = re.search(r"^[0-9a-f]+ [0-9a-f]+ +\d+ {17}\S*" + check_link_map.STAGE_TABLE + r".*\n",
                      text, re.M)
    if not match:
        raise LookupError("no stage table symbol")
    return match


def lld_move_stage_table(text, output_section):
    match = lld_stage_table_line(text)
    rest = text[:match.start()] + text[match.end():]
    return lld_input_after(output_section, "repair.cpp.obj", output_section)(rest).replace(
        f"repair.cpp.obj:({output_section})\n",
        f"repair.cpp.obj:({output_section})\n" + match.group(0), 1)


def lld_without_stage_table(text):
    match = lld_stage_table_line(text)
    return text[:match.start()] + text[match.end():]


# The same damage in lld's map, where .ctors and .CRT$* input sections end
# up in .rdata and .bss in .data; members of the product's libraries are
# named without their archive.
LLD_DAMAGES = [
    ("a static constructor from a product library in .ctors",
     lld_input_after(".rdata", "terminal.cpp.obj", ".ctors"),
     "terminal.cpp.obj puts 8 bytes into .ctors"),
    ("a static constructor of main.cpp in .init_array",
     lld_input_after(".rdata", "CMakeFiles/winrepair.dir/driver/main.cpp.obj", ".init_array"),
     "main.cpp.obj puts 8 bytes into .init_array"),
    ("a prioritised constructor of the Win32 system in .ctors.00101",
     lld_input_after(".rdata", "CMakeFiles/winrepair.dir/platform/system-win32.cpp.obj", ".ctors.00101"),
     "system-win32.cpp.obj puts 8 bytes into .ctors.00101"),
    ("a C runtime initialiser from a product library",
     lld_input_after(".rdata", "resolve.cpp.obj", ".CRT$XCU"),
     "resolve.cpp.obj puts 8 bytes into .CRT$XCU"),
    ("the stage table in .data", lambda t: lld_move_stage_table(t, ".data"),
     "is in .data, not in read-only .rdata"),
    ("no stage table at all", lld_without_stage_table, "where is the stage table"),
    ("a throw linked in", lld_input_after(".text", "eh_throw.o", ".text", 0x100), "eh_throw.o"),
]


def main(argv):
    if len(argv) != 1:
        print("usage: check_link_map_selftest.py <winrepair.map>", file=sys.stderr)
        return 2
    with open(argv[0], encoding="utf-8", errors="replace") as f:
        text = f.read()
    clean = check_link_map.check(text)
    if clean:
        print("the undamaged map does not pass, so damage proves nothing:")
        for p in clean:
            print("  " + p)
        return 1
    failures = []
    for name, damage, expected in (LLD_DAMAGES if check_link_map.is_lld_map(text) else DAMAGES):
        try:
            damaged = damage(text)
        except LookupError as e:
            failures.append(f"{name}: could not damage the map ({e})")
            continue
        if damaged == text:
            failures.append(f"{name}: the damage changed nothing")
            continue
        problems = check_link_map.check(damaged)
        if not any(expected in p for p in problems):
            failures.append(f"{name}: no problem mentioning {expected!r}; got {problems}")
    for f in failures:
        print(f)
    if not failures:
        print("every kind of damage was caught")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
