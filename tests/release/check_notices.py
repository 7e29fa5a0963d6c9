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
  - the same maps give the same bytes, whatever order they come in.

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
GENERATOR = os.path.join(HERE, "..", "..", "scripts", "third_party_notices.py")


class Failures(list):
    def expect(self, condition, text):
        if not condition:
            self.append(text)
        return condition


def generate(args, work, name, programs, doc_root=None):
    """(exit status, stderr, notices text or None, packages by name)."""
    output = os.path.join(work, name + ".txt")
    packages_json = os.path.join(work, name + ".json")
    command = [sys.executable, GENERATOR, "--inputs", args.inputs, "--base-dir", args.tree,
               "--license", args.license, "--title", "test", "--output", output, "--packages-json", packages_json]
    for program, map_path in programs:
        command += ["--program", f"{program}={map_path}"]
    if doc_root:
        command += ["--doc-root", doc_root]
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    if result.returncode != 0:
        return result.returncode, result.stderr.strip(), None, {}
    with open(output, encoding="utf-8") as f:
        text = f.read()
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
    failures.expect(packages.get(gcc_runtime, {}).get("licence") == {
        "expression": "GPL-3.0-or-later WITH GCC-exception-3.1"}, f"{gcc_runtime}'s licence is not its runtime's")
    # The runtime library exception and the GPL-3 it modifies, not the
    # compiler's whole notice (which goes on to other libraries' terms).
    failures.expect("GCC RUNTIME LIBRARY EXCEPTION" in product and "2. No Weakening of GCC Copyleft." in product
                    and "GNU GENERAL PUBLIC LICENSE" in product and "Version 3, 29 June 2007" in product,
                    "the product's notices lack the runtime library exception or the GPL-3")
    failures.expect("libbacktrace" not in product and "libquadmath" not in product.split("GCC RUNTIME")[1],
                    "the product's notices carry the whole compiler's notice, not the runtime's")
    failures.expect("Upstream-Name: mingw-w64" in product, "the product's notices lack MinGW-w64's copyright file")

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
        failures.expect(test_packages.get("googletest", {}).get("licence") == {"expression": "BSD-3-Clause"},
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
