"""Which source file each linked object was built from, as a path in its
package's source tree: the question a machine-readable Debian copyright file
answers by its Files stanzas.

An object says it itself, two ways, and nothing is guessed from its name:
  - compiled code carries its compile unit's name in its DWARF debugging
    information (DW_AT_name; Debian's MinGW-w64 runtime keeps it: crt2.o
    names ./mingw-w64-crt/crt/crtexe.c, relative to the source tree, as
    Debian's builds map their build folder to ".");
  - an import library's members have no code of their own: dlltool makes
    them from a module definition (.def) file, and each refers to its
    library's head symbol, "_head_<folder>_lib<name>_a" (for example
    _head_lib64_libkernel32_a, from lib64/libkernel32.a), or defines the
    DLL's name, "__<folder>_lib<name>_a_iname". The definition it
    was made from is <name>.def of that folder; a library that also holds
    compiled members has its import part built apart as lib<name>_def.a
    (libmsvcrt.a: _head_lib64_libmsvcrt_def_a, from msvcrt.def). Such a file
    may be written by the runtime's build from a template shared by all
    architectures (lib-common/<name>.def.in), so every place it may come
    from is returned, and so is any definition file the copyright file
    names on its own whose name starts with the library's: the caller takes
    a stanza only when all of them agree.
An object that says neither is not mapped: the caller fails, naming it,
rather than guess which licence covers it.

The objects are read with the MinGW-w64 binutils' objdump, one run for all
of them."""

import os
import re
import shutil
import subprocess
import tempfile

OBJDUMP = "x86_64-w64-mingw32-objdump"
FILE_HEADER = re.compile(r"^(\S.*?):\s+file format (\S+)\s*$")
# An attribute line: "<54>   DW_AT_name : (indirect line string, offset: 0): ./x.c"
ATTRIBUTE = re.compile(r"^\s*<[0-9a-f]+>\s+DW_AT_(\w+)\s*:\s*(?:\([^)]*\):\s*)?(\S.*?)\s*$")
DIE_BELOW_UNIT = re.compile(r"^\s*<[1-9][0-9]*><[0-9a-f]+>:")
# The import library's head symbol, which its stubs refer to and its head
# object defines, or the name of the DLL, which its tail object defines.
HEAD_SYMBOL = re.compile(r"\s(?:_head_([A-Za-z0-9]+)_lib(\w+?)_a|__([A-Za-z0-9]+)_lib(\w+?)_a_iname)$")


class SourceError(Exception):
    pass


class Source:
    """Where one object came from: `shown` names it in the notices; `paths`
    are the places in the source tree that may hold it (one, except for a
    module definition file)."""

    def __init__(self, shown, paths):
        self.shown = shown
        self.paths = tuple(paths)

    def __eq__(self, other):
        return (self.shown, self.paths) == (other.shown, other.paths)

    def __hash__(self):
        return hash((self.shown, self.paths))

    def __repr__(self):
        return f"Source({self.shown!r}, {self.paths!r})"


def archive_entries(path, wanted=()):
    """(member name, its bytes if it is among `wanted`, else None) for each
    member of an ar archive (GNU format, as MinGW's are), in order."""
    with open(path, "rb") as f:
        if f.read(8) != b"!<arch>\n":
            raise SourceError(f"{path} is not an archive")
        long_names = b""
        while True:
            header = f.read(60)
            if len(header) < 60:
                return
            name, size = header[:16].decode("ascii", "replace").rstrip(), int(header[48:58])
            # Members start at even offsets.
            following = f.tell() + size + (size & 1)
            if name == "//":
                long_names = f.read(size)
            elif name.startswith("/") and name[1:].isdigit():
                start = int(name[1:])
                name = long_names[start:long_names.index(b"/\n", start)].decode()
                yield name, f.read(size) if name in wanted else None
            elif name not in ("/", "/SYM64/"):
                name = name.rstrip("/")
                yield name, f.read(size) if name in wanted else None
            f.seek(following)


def archive_member_bytes(path, wanted):
    """The bytes of the wanted members of an ar archive: name -> bytes."""
    found = {}
    for name, data in archive_entries(path, wanted):
        if data is not None and name not in found:
            found[name] = data
    missing = sorted(set(wanted) - set(found))
    if missing:
        raise SourceError(f"{path} holds no member {', '.join(missing)}")
    return found


def tree_path(name, comp_dir):
    """A compile unit's name as a path in its source tree."""
    if os.path.isabs(name):
        if comp_dir and name.startswith(comp_dir.rstrip("/") + "/"):
            return os.path.normpath(os.path.relpath(name, comp_dir))
        return None
    path = os.path.normpath(name)
    return None if path.startswith("..") else path


def read_objects(paths):
    """objdump's symbol table and compile units of each file: path ->
    {"units": [source path, or None when outside the tree], "heads":
    {(folder, library)}}."""
    tool = shutil.which(OBJDUMP)
    if not tool:
        raise SourceError(f"{OBJDUMP} is missing: run scripts/install_deps.sh")
    if not paths:
        return {}
    # Depth 1: the compile units' own attributes, none of their contents.
    result = subprocess.run([tool, "-t", "--dwarf=info", "--dwarf-depth=1", *paths], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace")
    if result.returncode != 0:
        raise SourceError(f"{OBJDUMP} cannot read the linked objects: {result.stderr.strip()[:300]}")
    found = {path: {"units": [], "heads": set()} for path in paths}
    current, unit = None, None
    for line in result.stdout.splitlines():
        header = FILE_HEADER.match(line)
        if header and header.group(1) in found:
            current, unit = found[header.group(1)], None
        elif current is None:
            continue
        elif "(DW_TAG_compile_unit)" in line:
            unit = {"name": None, "dir": None}
            current["units"].append(unit)
        elif DIE_BELOW_UNIT.match(line):
            unit = None
        elif unit is not None and ATTRIBUTE.match(line):
            attribute, value = ATTRIBUTE.match(line).groups()
            if attribute in ("name", "comp_dir"):
                unit["name" if attribute == "name" else "dir"] = value
        elif HEAD_SYMBOL.search(line):
            groups = HEAD_SYMBOL.search(line).groups()
            current["heads"].add(groups[:2] if groups[0] else groups[2:])
    for entry in found.values():
        entry["units"] = [tree_path(u["name"], u["dir"]) if u["name"] else None for u in entry["units"]]
    return found


def definition_source(folder, library, named_definitions):
    """The module definition an import library's members were made from."""
    name = library[:-len("_def")] if library.endswith("_def") else library
    paths = [f"mingw-w64-crt/{folder}/{name}.def", f"mingw-w64-crt/{folder}/{name}.def.in",
             f"mingw-w64-crt/lib-common/{name}.def", f"mingw-w64-crt/lib-common/{name}.def.in"]
    paths += sorted(p for p in named_definitions
                    if re.match(re.escape(name) + r"[.-]", os.path.basename(p)) and p not in paths)
    return Source(f"mingw-w64-crt/{folder}/{name}.def", paths)


def sources_of(objects, named_definitions=()):
    """objects: (archive path or None, member name or object path) pairs.
    Returns the same pairs -> Source. `named_definitions` are the .def
    files the copyright file names one by one. Raises SourceError naming an
    object that says neither where it was compiled from nor which import
    library it belongs to."""
    work = tempfile.mkdtemp(prefix="member-sources-")
    try:
        files = {}
        by_archive = {}
        for archive, member in objects:
            if archive is None:
                files[member] = (archive, member)
            else:
                by_archive.setdefault(archive, set()).add(member)
        for index, (archive, members) in enumerate(sorted(by_archive.items())):
            folder = os.path.join(work, str(index))
            os.mkdir(folder)
            for member, data in archive_member_bytes(archive, members).items():
                path = os.path.join(folder, member)
                with open(path, "wb") as f:
                    f.write(data)
                files[path] = (archive, member)
        read = read_objects(sorted(files))
        sources = {}
        for path, key in files.items():
            what = f"{os.path.basename(key[0])}({key[1]})" if key[0] else key[1]
            units = read[path]["units"]
            heads = read[path]["heads"]
            if units:
                if None in units or len(set(units)) != 1:
                    raise SourceError(f"{what} was compiled from {units}, not one file of its source tree")
                sources[key] = Source(units[0], [units[0]])
            elif len(heads) == 1:
                folder, library = next(iter(heads))
                sources[key] = definition_source(folder, library, named_definitions)
            else:
                raise SourceError(f"{what} names neither the source it was compiled from (no debugging "
                                  "information) nor the import library it belongs to: its licence cannot be told")
        return sources
    finally:
        shutil.rmtree(work, ignore_errors=True)
