#!/usr/bin/env python3
"""The third-party notices follow the link: made from this tree's link maps
(GNU ld's or lld's, as the tree's linker writes them) by the generator the
build runs, they change when what is linked changes, and the generator
refuses an input it cannot account for, naming it.

  - winrepair.exe: the compiler runtime and the MinGW-w64 runtime, no
    libstdc++, nothing of the project's own;
  - the probe that links a throwing substr: libstdc++.a appears, from its
    own package, under the runtime library exception;
  - a test program: GoogleTest, built here from the googletest package's
    sources, appears under that package's licence;
  - the product's map with one archive member more: a packaged archive
    appears; an archive no package owns fails, naming it; packages whose
    copyright files cannot be found fail, naming their archives;
  - the same maps give the same bytes, whatever order they come in;
  - from the MinGW-w64 runtime's machine-readable copyright file only the
    stanzas that cover the linked files, each traced to its source (crt2.o
    to mingw-w64-crt/crt/crtexe.c, the import libraries to their module
    definitions), with full texts and no reference to
    /usr/share/common-licenses; fed a copyright file whose header, tool and
    packaging stanzas carry other licences, the notices leave them out, and
    a licence given only as such a reference comes with the full text;
  - an object that says neither its source nor its import library, a
    module definition whose possible places lie in different stanzas, and
    a licence with no text fail, naming what they cannot account for;
  - the package URLs carry the Debian release of /etc/os-release;
  - every version, in the notices' lines and headings and in the packages
    for the bill of materials (their package URLs too), is the installed
    package's, as dpkg-query gives it;
  - GCC's copyright file without its runtime library exception fails the
    run on one line naming the file.

Prints one line per problem and exits with 1 if there is any."""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.join(HERE, "..", "..", "..", "scripts", "release")
GENERATOR = os.path.join(SCRIPTS, "third_party_notices.py")
sys.path.insert(0, SCRIPTS)
import dep5_notice  # noqa: E402
import member_sources  # noqa: E402
import package_versions  # noqa: E402

GCC_DOC = "/usr/share/doc/gcc-mingw-w64-base/copyright"
# A copyright file of the MinGW-w64 runtime's shape whose header, tools and
# packaging carry licences the linked code is not under, and whose start-up
# code's licence is given only as a reference to /usr/share/common-licenses.
OTHER_LICENCES_COPYRIGHT = """\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: mingw-w64
Source: https://example.invalid/mingw-w64
Copyright: 2009 header holders
License: GPL-3+

Files: *
Copyright: 2009-2016 the mingw-w64 project
License: ZPL-2.1
 Zope Public License text, as the stanza gives it.

Files: mingw-w64-crt/crt/*
       mingw-w64-crt/misc/*
Copyright: 2020 start-up code holders
License: LGPL-2.1+

Files: mingw-w64-tools/*
Copyright: 2011 tool holders
License: GPL-3+

Files: debian/*
Copyright: 2012 packaging holders
License: GPL-2+ and MIT-tools

License: GPL-2+
 On Debian systems the full text of the GNU General Public License version 2
 can be found in `/usr/share/common-licenses/GPL-2'.

License: GPL-3+
 On Debian systems the full text of the GNU General Public License version 3
 can be found in `/usr/share/common-licenses/GPL-3'.

License: LGPL-2.1+
 This library is free software; you can redistribute it under the LGPL.
 .
 On Debian systems the full text of the GNU Lesser General Public License
 version 2.1 can be found in `/usr/share/common-licenses/LGPL-2.1'.

License: MIT-tools
 Tool licence text.
"""


class Failures(list):
    def expect(self, condition, text):
        if not condition:
            self.append(text)
        return condition


def generate(args, work, name, programs, doc_root=None, os_release=None):
    """(exit status, stderr, notices text or None, packages by name)."""
    output = os.path.join(work, name + ".txt")
    packages_json = os.path.join(work, name + ".json")
    command = [sys.executable, GENERATOR, "--inputs", args.inputs, "--base-dir", args.tree,
               "--license", args.license, "--title", "test", "--output", output, "--packages-json", packages_json]
    for program, map_path in programs:
        command += ["--program", f"{program}={map_path}"]
    if doc_root:
        command += ["--doc-root", doc_root]
    if os_release:
        command += ["--os-release", os_release]
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    if result.returncode != 0:
        return result.returncode, result.stderr.strip(), None, {}
    with open(output, encoding="utf-8-sig", newline="") as f:
        text = f.read()
    if "\n" in text.replace("\r\n", ""):
        return 1, f"{output} has a line not ended by CR LF", None, {}
    text = text.replace("\r\n", "\n")
    with open(packages_json, encoding="utf-8") as f:
        packages = {p["name"]: p for p in json.load(f)}
    return 0, result.stderr.strip(), text, packages


def lld_symbol_map(map_path):
    return re.sub(r"\.map$", "", map_path) + ".msvc.map"


def is_lld(map_path):
    with open(map_path, encoding="utf-8", errors="replace") as f:
        return f.readline().startswith("Address ")


def with_member(map_path, work, name, archive, member):
    """A copy of a link map (with its symbol map, for lld) that also names
    `member` of `archive` as linked in; the copy's path."""
    copy = os.path.join(work, name + ".map")
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    if is_lld(map_path):
        shutil.copyfile(map_path, copy)
        with open(lld_symbol_map(map_path), encoding="utf-8", errors="replace") as f:
            symbols = f.read()
        stem = os.path.splitext(os.path.basename(archive))[0]
        line = f" 0001:00000000       extra_symbol               0000000140001000 f   {stem}:{member}\n"
        symbols = symbols.replace("\n Static symbols", "\n" + line + "\n Static symbols", 1)
        with open(lld_symbol_map(copy), "w", encoding="utf-8") as f:
            f.write(symbols)
    else:
        head, _, rest = text.partition("\n")
        text = f"{head}\n\n{archive}({member})\n                              main.o (extra_symbol)\n{rest}"
        with open(copy, "w", encoding="utf-8") as f:
            f.write(text)
    return copy


def check_short_member_lines(failures):
    """GNU ld writes a short archive(member) with the file that wanted it on
    the same line, padded to 30 columns, and a long one with that file on
    the next line; the maps here have only long ones."""
    sys.path.insert(0, os.path.dirname(GENERATOR))
    import third_party_notices
    text = ("Archive member included to satisfy reference by file (symbol)\n\n"
            "libx.a(a.o)                   main.o (wanted)\n"
            "/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc.a(_chkstk_ms.o)\n"
            "                              main.o (___chkstk_ms)\n"
            "\nDiscarded input sections\n\nLOAD crt2.o\nLOAD libx.a\nLOAD dll stuff\n")
    members, objects = third_party_notices.gnu_ld_inputs(text)
    wanted = {("libx.a", "a.o"), ("/usr/lib/gcc/x86_64-w64-mingw32/12-posix/libgcc.a", "_chkstk_ms.o")}
    failures.expect(members == wanted and objects == {"crt2.o"},
                    f"GNU ld's member lines read as {sorted(members)} and objects {sorted(objects)}")


def section(notices, package):
    """The part of the notices after a package's heading, up to the next."""
    parts = re.split(r"\n={78}\n", notices)
    for index, part in enumerate(parts[:-1]):
        if part.startswith(package + " "):
            return parts[index + 1]
    return ""


def licence_names(expression):
    return set(re.findall(r"[A-Za-z0-9.+-]+", expression)) - {"AND", "OR", "WITH"}


def check_runtime_stanzas(failures, notices, entry):
    """The MinGW-w64 runtime as linked into winrepair.exe: its start-up code
    and import libraries, traced to their sources, and only the stanzas of
    those sources (public domain and ZPL-2.1), with their texts."""
    sources = entry.get("sources", {})
    failures.expect(sources.get("crt2.o") == ["mingw-w64-crt/crt/crtexe.c"],
                    f"crt2.o is traced to {sources.get('crt2.o')}, not mingw-w64-crt/crt/crtexe.c")
    for library in ("libkernel32.a", "libntdll.a"):
        failures.expect(sources.get(library) == [f"mingw-w64-crt/lib64/{library[3:-2]}.def"],
                        f"{library} is traced to {sources.get(library)}, not its module definition")
    failures.expect(sources.get("libmingw32.a") and all(s.startswith("mingw-w64-crt/crt/")
                                                        for s in sources["libmingw32.a"]),
                    f"libmingw32.a is traced to {sources.get('libmingw32.a')}")
    expression = entry.get("licence", {}).get("expression", "")
    failures.expect(licence_names(expression) == {"ZPL-2.1", "LicenseRef-public-domain"},
                    f"the runtime's licence is {expression!r}, not its start-up code's and import libraries'")
    summary = re.search(r"^- mingw-w64-x86-64-dev .*$", notices, re.MULTILINE)
    failures.expect(summary and summary.group(0).endswith(", " + expression),
                    f"the runtime's summary line is {summary and summary.group(0)!r}")
    text = section(notices, "mingw-w64-x86-64-dev")
    failures.expect("This file has no copyright assigned and is placed in the Public" in text
                    and "Redistribution and use in source and binary forms" in text,
                    "the runtime's notice lacks the public-domain statement or the ZPL's text")
    for absent in ("GPL", "mingw-w64-tools", "debian/*", "Lucent", "common-licenses"):
        failures.expect(absent not in text, f"the runtime's notice names {absent!r}, which covers nothing linked")
    failures.expect("/usr/share/common-licenses" not in notices, "the notices refer to /usr/share/common-licenses")
    refs = entry.get("licence", {}).get("refs", {})
    failures.expect(set(refs) == {"LicenseRef-public-domain"} and "Public" in refs["LicenseRef-public-domain"],
                    f"the runtime's LicenseRef texts are {refs}")


def check_other_licences_left_out(failures, args, work, gcc_runtime, mingw):
    """A copyright file whose header, tools and packaging carry licences
    the linked code is not under: they stay out, the linked stanzas' full
    texts go in, and the package URLs name the release os-release gives."""
    doc = os.path.join(work, "doc-other-licences")
    for package, text in ((mingw, OTHER_LICENCES_COPYRIGHT), (gcc_runtime, None)):
        os.makedirs(os.path.join(doc, package))
        target = os.path.join(doc, package, "copyright")
        if text is None:
            shutil.copyfile(GCC_DOC, target)
        else:
            with open(target, "w", encoding="utf-8") as f:
                f.write(text)
    os_release = os.path.join(work, "os-release")
    with open(os_release, "w", encoding="utf-8") as f:
        f.write('PRETTY_NAME="Debian GNU/Linux 13 (trixie)"\nID=debian\nVERSION_ID="13"\n')
    status, error, notices, packages = generate(args, work, "other-licences", [("winrepair.exe", args.product_map)],
                                                doc, os_release)
    if not failures.expect(status == 0, f"notices from a copyright file with other licences failed: {error}"):
        return
    expression = packages.get(mingw, {}).get("licence", {}).get("expression")
    failures.expect(expression == "ZPL-2.1 AND LGPL-2.1-or-later",
                    f"with the header, tools and packaging under other licences the runtime's licence is "
                    f"{expression!r}, not ZPL-2.1 AND LGPL-2.1-or-later")
    text = section(notices, mingw)
    for absent in ("GPL-3+", "GPL-2+", "MIT-tools", "Tool licence text", "header holders", "tool holders",
                   "packaging holders", "common-licenses"):
        failures.expect(absent not in text, f"the notices from that file carry {absent!r}")
    failures.expect("GNU LESSER GENERAL PUBLIC LICENSE" in text and "Version 2.1, February 1999" in text
                    and "you can redistribute it under the LGPL" in text,
                    "a licence given as a reference to /usr/share/common-licenses/LGPL-2.1 lacks its full text")
    failures.expect("Zope Public License text" in text and "start-up code holders" in text,
                    "the linked stanzas' own text or copyright is missing")
    purls = [p["purl"] for p in packages.values()]
    failures.expect(purls and all(p.endswith("&distro=debian-13") for p in purls),
                    f"with os-release naming Debian 13 the package URLs are {purls}")


def check_unaccounted(failures, work):
    """What the generator cannot account for fails it, named."""
    plain = os.path.join(work, "plain.c")
    with open(plain, "w", encoding="ascii") as f:
        f.write("int plain(void) { return 1; }\n")
    compiled = subprocess.run(["x86_64-w64-mingw32-gcc", "-c", "-O2", "-g0", plain, "-o", plain + ".o"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if failures.expect(compiled.returncode == 0, f"the object without debugging information: {compiled.stdout}"):
        try:
            member_sources.sources_of([(None, plain + ".o")])
            failures.append("an object that names neither its source nor its import library was traced")
        except member_sources.SourceError as e:
            failures.expect("plain.c.o" in str(e), f"the untraceable object is not named: {e}")

    copyright_path = os.path.join(work, "split-definitions.copyright")
    with open(copyright_path, "w", encoding="utf-8") as f:
        f.write("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n\n"
                "Files: *\nCopyright: x\nLicense: ISC\n Text.\n\n"
                "Files: mingw-w64-crt/lib64/moldname-msvcrt.def\nCopyright: y\nLicense: public-domain\n\n"
                "Files: mingw-w64-crt/crt/*\nCopyright: z\nLicense: No-Text\n\n"
                "License: public-domain\n Public.\n")
    parsed = dep5_notice.read(copyright_path)
    definition = member_sources.definition_source("lib64", "moldname", dep5_notice.named_files(parsed))
    cases = [
        ("a module definition whose places lie in different stanzas", {definition: {"libmoldname.a"}},
         "whose stanzas differ"),
        ("a licence with no text", {member_sources.Source("mingw-w64-crt/crt/crtexe.c",
                                                          ["mingw-w64-crt/crt/crtexe.c"]): {"crt2.o"}},
         "No-Text has no text"),
    ]
    for name, sources, expected in cases:
        try:
            dep5_notice.notice(copyright_path, sources)
            failures.append(f"{name}: the notice was made")
        except dep5_notice.Dep5Error as e:
            failures.expect(expected in str(e), f"{name}: the failure says {e}")


def files_of(packages, package):
    return set(packages.get(package, {}).get("files", []))


def make_archive(path, member):
    """A one-member ar archive of an empty object, written here."""
    header = f"{member + '/':<16}{0:<12}{0:<6}{0:<6}{644:<8}{0:<10}`\n".encode("ascii")
    with open(path, "wb") as f:
        f.write(b"!<arch>\n" + header)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tree", required=True, help="the build tree, where its linker ran")
    parser.add_argument("--inputs", required=True, help="the tree's link-inputs.txt")
    parser.add_argument("--license", required=True)
    parser.add_argument("--product-map", required=True)
    parser.add_argument("--probe-map", required=True, help="map of the probe that links a throwing substr")
    parser.add_argument("--test-map", required=True, help="map of a GoogleTest program")
    parser.add_argument("--work-dir", required=True)
    args = parser.parse_args(argv)
    work = os.path.abspath(args.work_dir)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    failures = Failures()
    gcc_runtime, mingw, gxx = "gcc-mingw-w64-x86-64-posix", "mingw-w64-x86-64-dev", "g++-mingw-w64-x86-64-posix"

    status, error, product, packages = generate(args, work, "product", [("winrepair.exe", args.product_map)])
    if not failures.expect(status == 0, f"the product's notices failed: {error}"):
        return report(failures)
    failures.expect(set(packages) == {gcc_runtime, mingw},
                    f"winrepair.exe's packages are {sorted(packages)}, not {gcc_runtime} and {mingw}")
    failures.expect({"libgcc.a", "crtbegin.o"} <= files_of(packages, gcc_runtime),
                    f"{gcc_runtime} gives {sorted(files_of(packages, gcc_runtime))}, not libgcc.a and crtbegin.o")
    failures.expect({"crt2.o", "libmingw32.a", "libkernel32.a", "libntdll.a"} <= files_of(packages, mingw),
                    f"{mingw} gives {sorted(files_of(packages, mingw))}")
    failures.expect("libwr_" not in product and "main.cpp" not in product,
                    "the project's own archives or objects are listed as third-party")
    failures.expect(packages.get(gcc_runtime, {}).get("licence", {}).get("expression")
                    == "GPL-3.0-or-later WITH GCC-exception-3.1", f"{gcc_runtime}'s licence is not its runtime's")
    # The runtime library exception and the GPL-3 it modifies, not the
    # compiler's whole notice (which goes on to other libraries' terms).
    failures.expect("GCC RUNTIME LIBRARY EXCEPTION" in product and "2. No Weakening of GCC Copyleft." in product
                    and "GNU GENERAL PUBLIC LICENSE" in product and "Version 3, 29 June 2007" in product,
                    "the product's notices lack the runtime library exception or the GPL-3")
    failures.expect("libbacktrace" not in product and "libquadmath" not in product.partition("GCC RUNTIME")[2],
                    "the product's notices carry the whole compiler's notice, not the runtime's")
    failures.expect("Upstream-Name: mingw-w64" in product, "the product's notices lack MinGW-w64's copyright file")
    check_runtime_stanzas(failures, product, packages.get(mingw, {}))
    for problem in package_versions.problems(product, {"components": list(packages.values())}):
        failures.append(f"winrepair.exe's notices: {problem}")

    # The probe links libstdc++'s throwing helpers: a package more.
    status, error, probe, probe_packages = generate(args, work, "probe", [("probe.exe", args.probe_map)])
    if failures.expect(status == 0, f"the probe's notices failed: {error}"):
        failures.expect("libstdc++.a" in files_of(probe_packages, gxx),
                        f"the probe links libstdc++.a, but its notices list {sorted(probe_packages)}: "
                        f"{ {p: sorted(v['files']) for p, v in probe_packages.items()} }")
        failures.expect(gxx not in packages and "libstdc++.a" not in product,
                        "winrepair.exe's notices list libstdc++, which it does not link")

    # A GoogleTest program: built here from the package's sources.
    status, error, _, test_packages = generate(args, work, "test", [("test.exe", args.test_map)])
    if failures.expect(status == 0, f"the test program's notices failed: {error}"):
        failures.expect("libgtest.a" in files_of(test_packages, "googletest"),
                        f"the test program's notices do not give libgtest.a to googletest: {sorted(test_packages)}")
        failures.expect(test_packages.get("googletest", {}).get("licence", {}).get("expression") == "BSD-3-Clause",
                        f"googletest's licence is {test_packages.get('googletest', {}).get('licence')}")

    # One archive member more, from a package's archive the product does not use.
    added = with_member(args.product_map, work, "added", "/usr/x86_64-w64-mingw32/lib/libshell32.a",
                        "libshell32s00001.o")
    status, error, _, added_packages = generate(args, work, "added", [("winrepair.exe", added)])
    if failures.expect(status == 0, f"notices of the map with libshell32.a failed: {error}"):
        failures.expect(files_of(added_packages, mingw) == files_of(packages, mingw) | {"libshell32.a"},
                        f"with libshell32.a linked, {mingw} gives {sorted(files_of(added_packages, mingw))}")

    # An archive no package owns, outside the trees (whose files are the
    # project's own).
    stray_dir = tempfile.mkdtemp(prefix="notices-stray-")
    stray = os.path.join(stray_dir, "libstray.a")
    make_archive(stray, "stray.o")
    unowned = with_member(args.product_map, work, "unowned", stray, "stray.o")
    if is_lld(unowned):
        # lld names the archive without its folder: the linker found it in a
        # library folder, which here is the inputs' list with the stray one.
        inputs = os.path.join(work, "inputs.txt")
        with open(args.inputs, encoding="utf-8") as f, open(inputs, "w", encoding="utf-8") as out:
            out.write(f.read() + f"library-dir\t{os.path.dirname(stray)}\n")
        args_for_stray = argparse.Namespace(**{**vars(args), "inputs": inputs})
    else:
        args_for_stray = args
    status, error, _, _ = generate(args_for_stray, work, "unowned", [("winrepair.exe", unowned)])
    shutil.rmtree(stray_dir)
    failures.expect(status != 0 and "libstray.a" in error and "no installed package owns" in error,
                    f"an archive no package owns: status {status}, {error!r}")
    failures.expect(len(error.splitlines()) == 1, f"the failure takes more than one line: {error!r}")
    failures.expect(not os.path.exists(os.path.join(work, "unowned.txt")), "a failed run left notices behind")

    # Packages whose notices cannot be found.
    empty_doc = os.path.join(work, "doc")
    os.makedirs(empty_doc)
    status, error, _, _ = generate(args, work, "no-doc", [("winrepair.exe", args.product_map)], empty_doc)
    failures.expect(status != 0 and "no copyright file" in error and re.search(r"\blib\w+\.a\b", error),
                    f"packages without a copyright file: status {status}, {error!r}")

    # GCC's copyright file without the runtime library exception: nothing
    # says which of its licences covers the runtime.
    no_exception_doc = os.path.join(work, "doc-without-exception")
    os.makedirs(os.path.join(no_exception_doc, gcc_runtime))
    shutil.copytree(os.path.join("/usr/share/doc", "mingw-w64-common"), os.path.join(no_exception_doc, mingw))
    with open(GCC_DOC, encoding="utf-8") as f:
        text = f.read()
    start = text.find("GCC RUNTIME LIBRARY EXCEPTION")
    with open(os.path.join(no_exception_doc, gcc_runtime, "copyright"), "w", encoding="utf-8") as f:
        f.write(text[:start] + text[text.find("\n\n\n", start):] if start >= 0 else text)
    status, error, _, _ = generate(args, work, "no-exception", [("winrepair.exe", args.product_map)], no_exception_doc)
    failures.expect(status != 0 and len(error.splitlines()) == 1 and "GCC RUNTIME LIBRARY EXCEPTION" in error
                    and f"{gcc_runtime}/copyright" in error and "Traceback" not in error,
                    f"GCC's copyright file without its runtime library exception: status {status}, {error!r}")

    # Debian's convention where a package's folder holds no copyright file:
    # the package it depends on from the same source has it (both runtimes'
    # packages do: gcc-mingw-w64-base, mingw-w64-common).
    borrowed_doc = os.path.join(work, "doc-by-dependency")
    for package, holder in ((gcc_runtime, "gcc-mingw-w64-base"), (mingw, "mingw-w64-common")):
        os.makedirs(os.path.join(borrowed_doc, package))
        os.makedirs(os.path.join(borrowed_doc, holder))
        shutil.copyfile(os.path.join("/usr/share/doc", holder, "copyright"),
                        os.path.join(borrowed_doc, holder, "copyright"))
    status, error, borrowed, borrowed_packages = generate(args, work, "by-dependency",
                                                          [("winrepair.exe", args.product_map)], borrowed_doc)
    if failures.expect(status == 0, f"copyright files of the packages depended on were not found: {error}"):
        failures.expect(f"from {borrowed_doc}/gcc-mingw-w64-base/copyright" in borrowed
                        and f"from {borrowed_doc}/mingw-w64-common/copyright" in borrowed
                        and {n: p["files"] for n, p in borrowed_packages.items()}
                        == {n: p["files"] for n, p in packages.items()},
                        "the notices do not take the copyright files of the packages depended on")
    failures.expect("from /usr/share/doc/gcc-mingw-w64-base/copyright" in product,
                    "the compiler runtime's notice does not name the package its documentation folder links to")

    check_short_member_lines(failures)
    check_other_licences_left_out(failures, args, work, gcc_runtime, mingw)
    check_unaccounted(failures, work)

    # Deterministic, whatever the order of the maps.
    both = [("winrepair.exe", args.product_map), ("probe.exe", args.probe_map)]
    _, _, first, _ = generate(args, work, "both", both)
    _, _, second, _ = generate(args, work, "both-again", both[::-1])
    failures.expect(first is not None and first == second, "the same maps in another order give other notices")
    return report(failures)


def report(failures):
    for f in failures:
        print(f)
    if not failures:
        print("the notices follow the link")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
