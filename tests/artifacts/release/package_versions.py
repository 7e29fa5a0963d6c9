#!/usr/bin/env python3
"""Every package version the third-party notices and the bill of materials
give is the installed package's own, as `dpkg-query -W -f '${Version}'`
gives it for the package that gave the linked code: its summary line and
its section heading in the notices, and in the bill of materials its
version and its package URL's (percent-decoded). A version read from
elsewhere (the source package's, 25.2 for the MinGW-w64 compilers, which
no binary package has) leaves scanners matching nothing.

  package_versions.py [--notices FILE] [--bom FILE]

Prints one line per version that differs and exits with 1 if there is any."""

import argparse
import json
import re
import subprocess
import sys
import urllib.parse

# "- gcc-mingw-w64-x86-64-posix 12.2.0-14+deb12u1+25.2+b1 (amd64), GPL-..."
SUMMARY_LINE = re.compile(r"^- (\S+) (\S+) \([^()]+\), ")
RULE = "=" * 78


def installed_version(package, cache={}):  # noqa: B006 (a cache, on purpose)
    """dpkg-query's version of an installed package, or None."""
    if package not in cache:
        result = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        cache[package] = result.stdout.strip() if result.returncode == 0 and result.stdout.strip() else None
    return cache[package]


def notices_versions(text):
    """(where, package, version) of each summary line and section heading."""
    lines = text.replace("\r\n", "\n").lstrip("\ufeff").split("\n")
    found = []
    for number, line in enumerate(lines, start=1):
        match = SUMMARY_LINE.match(line)
        if match:
            found.append((f"the notices' line {number}", match.group(1), match.group(2)))
        elif number > 1 and lines[number - 2] == RULE and line and line != RULE:
            package, _, version = line.partition(" ")
            found.append((f"the notices' heading on line {number}", package, version))
    return found


def bom_versions(bom):
    """(where, package, version) of each component's version and its
    package URL's."""
    found = []
    for component in bom.get("components", []):
        name = component.get("name", "?")
        found.append((f"the bill of materials' version of {name}", name, component.get("version")))
        purl = component.get("purl", "")
        if "@" in purl:
            version = urllib.parse.unquote(purl.split("@", 1)[1].split("?", 1)[0].split("#", 1)[0])
            found.append((f"the package URL of {name}", name, version))
    return found


def problems(notices_text=None, bom=None):
    found = []
    if notices_text is not None:
        versions = notices_versions(notices_text)
        if not versions:
            return ["the notices name no package with its version"]
        found += versions
    if bom is not None:
        versions = bom_versions(bom)
        if not versions:
            return ["the bill of materials names no package with its version"]
        found += versions
    shown = []
    for where, package, version in found:
        installed = installed_version(package)
        if installed is None:
            shown.append(f"{where}: dpkg-query knows no installed package {package}")
        elif version != installed:
            shown.append(f"{where}: {package} {version}, but dpkg-query -W -f '${{Version}}' {package} "
                         f"says {installed}")
    return shown


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--notices", help="THIRD-PARTY-NOTICES.txt")
    parser.add_argument("--bom", help="the bill of materials (CycloneDX JSON)")
    args = parser.parse_args(argv)
    if not (args.notices or args.bom):
        parser.error("give --notices, --bom or both")
    try:
        text = None
        if args.notices:
            with open(args.notices, encoding="utf-8-sig") as f:
                text = f.read()
        bom = None
        if args.bom:
            with open(args.bom, encoding="utf-8") as f:
                bom = json.load(f)
    except (OSError, ValueError) as e:
        print(f"package_versions: {e}")
        return 1
    shown = problems(text, bom)
    for line in shown:
        print(line)
    return 1 if shown else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
