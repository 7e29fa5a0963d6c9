#!/usr/bin/env python3
"""Writes THIRD-PARTY-NOTICES.txt for programs from their link maps: which
archives and objects from outside this project went into each program, the
Debian package that owns each (dpkg -S) with its version (dpkg-query), and
the licence text that applies to it from the package's copyright file under
/usr/share/doc. Also writes the packages as JSON for the bill of materials.

Where an input comes from:
  - a file of the build tree or the source tree (the project's own objects
    and archives, listed in --inputs as "project") is this project's, under
    LICENSE, and is no third party's;
  - an archive the build makes from sources outside the tree (GoogleTest,
    from the googletest package's /usr/src) is listed in --inputs with one of
    those sources: the package owning the source is the archive's;
  - anything else is a file of an installed package.
An input that maps to no package, or to a package with no notice, fails the
run with the input's name: nothing goes out without its notice.

Which text applies: the copyright file of the package, or of the package it
names (the documentation folder may be a symlink to another package's, or
the package depends on one of the same source that has the file: Debian's
convention). From a machine-readable copyright file only the stanzas that
cover the linked code are taken, with the full texts of their licences
(dep5_notice.py): each linked object is traced to the source file it was
built from (member_sources.py; an archive this build makes from a package's
sources under /usr/src stands for the source it was listed with), and an
object that cannot be traced fails the run. For the compiler's runtime
(libgcc, libstdc++, the start-up objects), whose copyright file is not
machine-readable, only the GCC Runtime Library Exception applies, with the
GPL-3 it modifies, not the notice of the whole compiler. Any other copyright
file that is not machine-readable fails the run: which of its licences
covers the linked code cannot be told.

The notices are written as Windows programs' users read them: CR LF line
ends, and a UTF-8 byte order mark when they hold any non-ASCII text
(windows_text.py). The package URLs carry the Debian release the packages
came from, read from /etc/os-release.

Link maps read: GNU ld's (-Map), whose archive member list names each
archive; and lld's link.exe-style map (-Xlink=/map:FILE), whose symbol
tables name each object as "archive:member" (lld's own -Map format names a
member without its archive). The output is the same for the same inputs:
nothing of the time, the machine's paths or the order of the maps."""

import argparse
import json
import os
import re
import subprocess
import sys
import textwrap

import dep5_notice
import member_sources
import windows_text

DOC_ROOT = "/usr/share/doc"
OS_RELEASE = "/etc/os-release"
GPL3_TEXT = os.path.join(dep5_notice.COMMON_LICENSES, "GPL-3")
# Where packages keep sources for others to build (googletest's upstream
# tree is /usr/src/googletest): the folder below it is the source tree's root.
PACKAGE_SOURCES = "/usr/src"
RULE = "=" * 78

# GNU ld names inputs it made itself in the memory map; they come from no file.
LINKER_MADE = {"dll stuff", "linker stubs"}
GCC_RUNTIME_EXPRESSION = "GPL-3.0-or-later WITH GCC-exception-3.1"


class NoticeError(Exception):
    pass


# --- link maps -----------------------------------------------------------------

ARCHIVE_MEMBER = re.compile(r"^(.*)\(([^()]+)\)$")
GNU_MEMBER_FIELD = re.compile(r"^(\S.*?\([^()]+\))(?:\s+\S.*)?$")
MSVC_SYMBOL = re.compile(r"^ [0-9a-fA-F]{4}:[0-9a-fA-F]{8}\s+.*\s[0-9a-fA-F]{16}\s+(?:f\s+)?(?:i\s+)?(\S+)\s*$")
LLD_HEADER = re.compile(r"^Address\s+Size\s+Align\s+Out\s+In\s+Symbol\s*$")
LLD_INPUT = re.compile(r"^[0-9a-fA-F]+ [0-9a-fA-F]+ +\d+ {9}(\S.*?):\([^()]*\)\s*$")


def gnu_ld_inputs(text):
    """(archive, member) pairs and loose object paths of a GNU ld map."""
    members, objects = set(), set()
    head, _, rest = text.partition("\nDiscarded input sections")
    if not head.startswith("Archive member included"):
        raise NoticeError("not a GNU ld map with its archive member list")
    for line in head.splitlines()[1:]:
        if line and not line[0].isspace():
            # A short archive(member) shares its line with the file that
            # wanted it (ld pads it to 30 columns); a long one has it below.
            field = GNU_MEMBER_FIELD.match(line)
            match = ARCHIVE_MEMBER.match(field.group(1) if field else line)
            if not match:
                raise NoticeError(f"unreadable archive member line: {line!r}")
            members.add((match.group(1), match.group(2)))
    for line in rest.splitlines():
        if line.startswith("LOAD "):
            loaded = line[5:].strip()
            if loaded not in LINKER_MADE and not loaded.endswith(".a"):
                objects.add(loaded)
    return members, objects


def archive_members(path):
    """The member names of an ar archive."""
    try:
        return [name for name, _ in member_sources.archive_entries(path)]
    except member_sources.SourceError as e:
        raise NoticeError(str(e)) from e


def lld_inputs(lld_map, msvc_map):
    """The same for lld: members by "archive:member" from the link.exe-style
    map (archive without directory or ".a"), loose objects by path from lld's
    own map. A member that defines no symbol (libgcc's _ctors.o) is in lld's
    map alone: it is returned with the archive None, and collect() finds it
    in the archives the link used."""
    members = set()
    for line in msvc_map.splitlines():
        match = MSVC_SYMBOL.match(line)
        if match and ":" in match.group(1) and not match.group(1).startswith("<"):
            archive, member = match.group(1).split(":", 1)
            members.add((archive + ".a", member))
    named = {member for _, member in members}
    objects = set()
    for line in lld_map.splitlines()[1:]:
        match = LLD_INPUT.match(line)
        if not match:
            continue
        source = match.group(1)
        if os.sep in source:
            objects.add(source)
        elif source not in named:
            members.add((None, source))
    return members, objects


def read_map(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    if LLD_HEADER.match(text.split("\n", 1)[0]):
        msvc = re.sub(r"\.map$", "", path) + ".msvc.map"
        if not os.path.exists(msvc):
            raise NoticeError(f"{path} is lld's map; its symbol map {msvc} is missing")
        with open(msvc, encoding="utf-8", errors="replace") as f:
            return lld_inputs(text, f.read())
    return gnu_ld_inputs(text)


# --- where an input comes from -------------------------------------------------

class Inputs:
    """The build's own description of its link inputs (--inputs): the
    archives it builds, whose they are, and the library directories."""

    def __init__(self, path):
        self.archives = {}  # real path -> "project" or a source file
        self.library_dirs = []
        self.own_dirs = []
        with open(path, encoding="utf-8") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if fields[0] == "archive" and len(fields) == 3:
                    self.archives[os.path.realpath(fields[1])] = fields[2]
                elif fields[0] == "library-dir" and len(fields) == 2:
                    self.library_dirs.append(fields[1])
                elif fields[0] == "own-dir" and len(fields) == 2:
                    self.own_dirs.append(os.path.realpath(fields[1]))
                elif fields != [""]:
                    raise NoticeError(f"{path}: unreadable line {line!r}")

    def is_own(self, path):
        real = os.path.realpath(path)
        if real in self.archives:
            return self.archives[real] == "project"
        return any(real.startswith(d + os.sep) for d in self.own_dirs)

    def locate(self, name, base_dir):
        """The file a map names: a path as the linker saw it from base_dir, or
        a bare name (lld's) looked up among the tree's archives and then the
        library directories in the linker's order."""
        if os.sep in name:
            path = os.path.normpath(os.path.join(base_dir, name))
            return path if os.path.exists(path) else None
        for archive in sorted(self.archives):
            if os.path.basename(archive) == name:
                return archive
        for directory in self.library_dirs:
            path = os.path.join(directory, name)
            if os.path.exists(path):
                return os.path.normpath(path)
        return None


def owning_packages(paths):
    """dpkg -S for each path at once: path -> package, for those it knows."""
    if not paths:
        return {}
    result = subprocess.run(["dpkg", "-S", *sorted(paths)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    owners = {}
    for line in result.stdout.splitlines():
        if line.startswith("diversion "):
            continue
        packages, _, path = line.partition(": ")
        names = [p.strip() for p in packages.split(",")]
        if path in paths and len(names) == 1:
            owners[path] = names[0]
    return owners


def package_fields(packages):
    """dpkg-query's fields of each installed package."""
    if not packages:
        return {}
    fields = "${Package}\\t${Version}\\t${Architecture}\\t${source:Package}\\t${Depends}\\n"
    result = subprocess.run(["dpkg-query", "-W", "-f", fields, *sorted(packages)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    found = {}
    for line in result.stdout.splitlines():
        name, version, arch, source, depends = (line.split("\t") + [""] * 5)[:5]
        found[name] = {"version": version, "arch": arch, "source": source or name,
                       "depends": [re.split(r"[\s:(]", alt.strip())[0]
                                   for dep in depends.split(",") if dep.strip() for alt in dep.split("|")]}
    return found


# --- what licence text applies -------------------------------------------------

def copyright_file(package, fields, doc_root):
    """(package whose copyright applies, its file), by Debian's convention,
    or None."""
    own = os.path.join(doc_root, package.split(":")[0], "copyright")
    if os.path.isfile(own):
        # A folder that is a symlink names the package whose file it is.
        folder = os.path.basename(os.path.realpath(os.path.dirname(own)))
        return folder, os.path.join(doc_root, folder, "copyright")
    info = fields.get(package, {})
    dependencies = package_fields(info.get("depends", []))
    for dependency in info.get("depends", []):
        other = dependencies.get(dependency)
        candidate = os.path.join(doc_root, dependency, "copyright")
        if other and other["source"] == info.get("source") and os.path.isfile(candidate):
            return dependency, candidate
    return None


def between(text, start, end, what):
    begin = text.find(start)
    stop = text.find(end, begin + len(start)) if begin >= 0 else -1
    if begin < 0 or stop < 0:
        raise NoticeError(f"{what}: no {start!r} ... {end!r} in it")
    return text[begin:stop].rstrip()


def gcc_runtime_notice(text, path):
    """The parts of GCC's copyright file that cover its runtime libraries:
    the copyright statement, the list of runtime libraries under the
    exception, the exception itself and the GPL-3 it modifies."""
    statement = between(text, "GCC is Copyright", "GCC is free software", path)
    runtime = between(text, "The following runtime libraries are licensed", "\n\n\n", path)
    runtime = runtime.split("\n\nThe libbacktrace library")[0]
    exception = between(text, "GCC RUNTIME LIBRARY EXCEPTION", "\n\n\n", path)
    if "2. No Weakening of GCC Copyleft." not in exception:
        raise NoticeError(f"{path}: the runtime library exception is not whole")
    with open(GPL3_TEXT, encoding="utf-8") as f:
        gpl = f.read().rstrip()
    return "\n\n".join([statement, runtime, exception, "The GNU General Public License, version 3:", gpl])


def source_tree_path(path):
    """Where a file under /usr/src lies in its package's source tree."""
    relative = os.path.relpath(os.path.realpath(path), PACKAGE_SOURCES)
    parts = relative.split(os.sep)
    if parts[0] == ".." or len(parts) < 3:
        raise NoticeError(f"{path} is not in a package's source tree under {PACKAGE_SOURCES}")
    return os.path.join(*parts[1:])


def linked_sources(entry, inputs, named_definitions):
    """{Source: set of input names} for what a package gave to the link:
    an archive built here from the package's sources stands for the source
    it was listed with; everything else is traced object by object."""
    objects, sources = {}, {}
    for path, members in entry["linked"].items():
        name = os.path.basename(path)
        origin = inputs.archives.get(os.path.realpath(path))
        if origin:
            tree = source_tree_path(origin)
            sources.setdefault(member_sources.Source(tree, [tree]), set()).add(name)
        elif members is None:
            objects[(None, path)] = name
        else:
            objects.update(((path, member), name) for member in members)
    try:
        traced = member_sources.sources_of(sorted(objects, key=lambda k: (k[0] or "", k[1])), named_definitions)
    except member_sources.SourceError as e:
        raise NoticeError(str(e)) from e
    for key, source in traced.items():
        sources.setdefault(source, set()).add(objects[key])
    return sources


def notice_of(package, entry, fields, inputs, doc_root):
    """The notice of one package: where the text comes from, its licence
    for the bill of materials ({"expression", "refs"}) and its text."""
    found = copyright_file(package, fields, doc_root)
    if not found:
        return None
    source_package, path = found
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    if not text.startswith("Format:") and "GCC RUNTIME LIBRARY EXCEPTION" not in text:
        raise NoticeError(f"{', '.join(sorted(entry['files']))} of {package}: {path} is neither a machine-readable "
                          "copyright file nor GCC's with its GCC RUNTIME LIBRARY EXCEPTION: which licence covers "
                          "the linked code cannot be told")
    if "GCC RUNTIME LIBRARY EXCEPTION" in text:
        return {"from": path, "licence": {"expression": GCC_RUNTIME_EXPRESSION, "refs": {}},
                "text": gcc_runtime_notice(text, path),
                "what": "the GCC Runtime Library Exception with the GPL-3 it modifies"}
    try:
        named = dep5_notice.named_files(dep5_notice.read(path))
        sources = linked_sources(entry, inputs, named)
        covered = dep5_notice.notice(path, sources)
    except dep5_notice.Dep5Error as e:
        raise NoticeError(f"{', '.join(sorted(entry['files']))} of {package}: {e}") from e
    entry["sources"] = {name: sorted(s.shown for s, names in sources.items() if name in names)
                        for name in entry["files"]}
    return {"from": path, "licence": {"expression": covered["expression"], "refs": covered["refs"]},
            "text": covered["text"], "what": f"the stanzas of the copyright file of {source_package} that cover "
                                              "the linked files, with their licences' full texts"}


# --- putting it together -------------------------------------------------------

def collect(programs, inputs, base_dir, doc_root):
    """Package name -> {"files": {file name: set of programs}, "linked":
    {path: set of members, or None for an object file}, ...} for every
    third-party input of the programs."""
    used = {}  # located path -> set of programs
    linked = {}  # located path -> set of members, or None for an object file
    for program, map_path in programs:
        members, objects = read_map(map_path)
        # lld names a loose object in the linker's folder as bare as a member.
        loose = {(a, m) for a, m in members if a is None and os.path.isfile(os.path.join(base_dir, m))}
        members -= loose
        objects |= {os.path.join(".", m) for _, m in loose}
        located = {}
        for name in sorted({archive for archive, _ in members if archive} | objects):
            located[name] = inputs.locate(name, base_dir)
            if located[name] is None:
                raise NoticeError(f"{name} gave objects to {program}, but no such file was found")
        taken = {(located[archive], member) for archive, member in members if archive}
        archives = sorted({path for path, _ in taken})
        for member in sorted(member for archive, member in members if archive is None):
            holders = [a for a in archives if member in archive_members(a)]
            if not holders:
                raise NoticeError(f"{member} gave objects to {program}, but no archive of its link holds it")
            taken |= {(a, member) for a in holders}
        for path, member in taken:
            linked.setdefault(path, set()).add(member)
        for name in objects:
            linked[located[name]] = None
        for path in {path for path, _ in taken} | {located[name] for name in objects}:
            if not inputs.is_own(path):
                used.setdefault(path, set()).add(program)

    queries = {}  # the file to ask dpkg about -> the input it stands for
    for path in used:
        source = inputs.archives.get(os.path.realpath(path))
        queries[os.path.realpath(source or path)] = path
    owners = owning_packages(set(queries))
    packages = {}
    for asked, path in sorted(queries.items()):
        name = os.path.basename(path)
        if asked not in owners:
            raise NoticeError(f"{name} ({path}) gave objects to {', '.join(sorted(used[path]))}, "
                              f"but no installed package owns {asked}")
        entry = packages.setdefault(owners[asked], {"files": {}, "linked": {}})
        entry["files"].setdefault(name, set()).update(used[path])
        entry["linked"][path] = linked[path]

    fields = package_fields(packages)
    for package, entry in sorted(packages.items()):
        files = ", ".join(sorted(entry["files"]))
        if package not in fields:
            raise NoticeError(f"{files}: dpkg-query does not know their package {package}")
        entry.update(fields[package])
        notice = notice_of(package, entry, fields, inputs, doc_root)
        if notice is None:
            raise NoticeError(f"{files}: their package {package} has no copyright file in "
                              f"{doc_root}/{package} nor in a package it depends on")
        entry.update(notice)
    return packages


def distribution(os_release):
    """(ID, "ID-VERSION_ID") of the system the packages are installed on,
    as os-release(5) gives them: ("debian", "debian-12")."""
    values = {}
    with open(os_release, encoding="utf-8") as f:
        for line in f:
            key, separator, value = line.strip().partition("=")
            if separator:
                values[key] = value.strip().strip("\"'")
    version = values.get("VERSION_ID") or values.get("VERSION_CODENAME")
    if not values.get("ID") or not version:
        raise NoticeError(f"{os_release} names no ID and VERSION_ID: the packages' distribution is unknown")
    return values["ID"], f"{values['ID']}-{version}"


def purl(package, entry, os_release):
    """The package URL of an installed Debian package (purl's "deb" type),
    its qualifiers in alphabetical order, as package URLs must have them."""
    vendor, distro = distribution(os_release)
    quoted = re.sub(r"[^A-Za-z0-9.\-_~]", lambda m: "%%%02X" % ord(m.group(0)), entry["version"])
    return f"pkg:deb/{vendor}/{package.split(':')[0]}@{quoted}?arch={entry['arch']}&distro={distro}"


def licence_text(licence):
    return licence["expression"]


def render(title, license_path, programs, packages, note=None):
    with open(license_path, encoding="utf-8") as f:
        own_licence = f.readline().strip()
    names = [name for name, _ in programs]
    programs_contain = (f"the program {names[0]} contains" if len(names) == 1 else
                        f"the {len(names)} programs here ({', '.join(names)}) contain")
    intro = (f"winrepair is under the {own_licence} (see LICENSE). Beside winrepair's own code, "
             f"{programs_contain} code from the following packages of the Debian system they were built on, "
             "linked in from the archives and objects named. Each package's licence follows, from that "
             "package's copyright file: the parts of it that cover the code linked in, with the full texts.")
    out = [f"Third-party notices: {title}", "",
           textwrap.fill(intro, 78, break_long_words=False, break_on_hyphens=False), ""]
    if note:
        out += [textwrap.fill(note, 78, break_long_words=False, break_on_hyphens=False), ""]
    for package, entry in sorted(packages.items()):
        out.append(f"- {package} {entry['version']} ({entry['arch']}), {licence_text(entry['licence'])}")
        for name, users in sorted(entry["files"].items()):
            into = "all of them" if len(programs) > 1 and len(users) == len(programs) else ", ".join(sorted(users))
            out.append(f"    {name}: in {into}")
    shown = {}  # text -> the package it was shown for
    for package, entry in sorted(packages.items()):
        out += ["", RULE, f"{package} {entry['version']}",
                f"Licence: {licence_text(entry['licence'])}",
                f"Text: {entry['what']}, from {entry['from']}", RULE, ""]
        if entry["text"] in shown:
            out.append(f"The same text as for {shown[entry['text']]} above.")
        else:
            out.append(entry["text"])
            shown[entry["text"]] = package
    return "\n".join(out) + "\n"


def packages_json(packages, os_release):
    """The packages for the bill of materials; "sources" says, for a package
    with a machine-readable copyright file, which source file each input
    was traced to."""
    return json.dumps([{"name": package.split(":")[0], "version": entry["version"], "arch": entry["arch"],
                        "source": entry["source"], "purl": purl(package, entry, os_release),
                        "licence": entry["licence"], "files": sorted(entry["files"]),
                        "sources": entry.get("sources", {})}
                       for package, entry in sorted(packages.items())], indent=2, sort_keys=True) + "\n"


def write(path, text):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    os.replace(temporary, path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--program", action="append", required=True, metavar="NAME=MAP",
                        help="a program and its link map; repeat for more")
    parser.add_argument("--inputs", required=True, help="the build's list of archives and library directories")
    parser.add_argument("--base-dir", required=True, help="the directory the linker ran in")
    parser.add_argument("--license", required=True, help="the project's LICENSE")
    parser.add_argument("--title", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--packages-json", help="also write the packages as JSON here")
    parser.add_argument("--note", help="a paragraph to add below the introduction")
    parser.add_argument("--doc-root", default=DOC_ROOT, help=argparse.SUPPRESS)
    parser.add_argument("--os-release", default=OS_RELEASE, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    programs = []
    for given in args.program:
        name, separator, map_path = given.partition("=")
        if not separator:
            parser.error(f"--program {given!r}: not NAME=MAP")
        programs.append((name, map_path))
    programs.sort()
    try:
        packages = collect(programs, Inputs(args.inputs), args.base_dir, args.doc_root)
        listed = packages_json(packages, args.os_release)
    except (NoticeError, OSError) as e:
        print(f"third_party_notices: {e}", file=sys.stderr)
        for path in (args.output, args.packages_json):
            if path and os.path.exists(path):
                os.remove(path)
        return 1
    windows_text.write(args.output, render(args.title, args.license, programs, packages, args.note))
    if args.packages_json:
        write(args.packages_json, listed)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
