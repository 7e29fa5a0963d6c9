"""The release's bill of materials: a CycloneDX 1.5 JSON document naming
winrepair.exe (version, SHA-256 of the file as shipped, licence, package URL,
supplier: the publisher the program names, and author: the holders LICENSE
names) and each Debian package whose code is linked into it, as
third_party_notices.py found them (version, licence, package URL with the
Debian release), with this script named as the tool that made it and the
same supplier and authors for the document itself.

Every licence is an SPDX expression. A licence SPDX has no identifier for
(the MinGW-w64 runtime's public-domain statement) is a LicenseRef-<name>,
and its text, as the package's copyright file gives it, is in the
component's evidence beside the identifiers of the others, so a reader of
the document has every licence's text or identifier.

The same commit gives the same bytes: the time of creation is the commit's
(SOURCE_DATE_EPOCH when set, as reproducible builds define it, else `git
log -1 --format=%ct`; without either the document is not made), and the
serial number is a UUID v5 of the document's own content without it, so
any change of content changes it and nothing else does. Input it cannot
use (a package without its version, licence or package URL) stops it with
one line naming what is missing."""

import datetime
import json
import re
import subprocess
import uuid

CYCLONEDX_VERSION = "1.5"
# The SPDX id of the licence LICENSE's first line names.
SPDX_OF_LICENSE_NAME = {"MIT License": "MIT"}
# LICENSE's copyright line: "Copyright (c) 2026 winrepair contributors".
COPYRIGHT_LINE = re.compile(r"^Copyright (?:\(c\)|\u00a9) [0-9][0-9, -]* (\S.*)$")
# What each package of the notices' JSON must give.
PACKAGE_FIELDS = ("name", "version", "purl", "licence", "files", "source")


class SbomError(Exception):
    pass


def licence_id(license_path):
    with open(license_path, encoding="utf-8") as f:
        name = f.readline().strip()
    if name not in SPDX_OF_LICENSE_NAME:
        raise SbomError(f"{license_path}: no SPDX id known for {name!r}")
    return SPDX_OF_LICENSE_NAME[name]


def authors(license_path):
    """Who holds the copyright, as LICENSE's copyright line names them."""
    with open(license_path, encoding="utf-8") as f:
        for line in f:
            match = COPYRIGHT_LINE.match(line.strip())
            if match:
                return match.group(1).rstrip(".")
    raise SbomError(f"{license_path}: no line \"Copyright (c) YEAR HOLDERS\" to name the authors by")


def creation_time(env, repository):
    """The commit's time as CycloneDX writes it: SOURCE_DATE_EPOCH, else the
    last commit's time in the repository."""
    given = env.get("SOURCE_DATE_EPOCH", "")
    if given:
        if not given.isdigit():
            raise SbomError(f"SOURCE_DATE_EPOCH is {given!r}, not seconds since 1970")
        seconds = int(given)
    else:
        try:
            result = subprocess.run(["git", "-C", repository, "log", "-1", "--format=%ct"], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        except OSError as e:
            result = subprocess.CompletedProcess([], 1, "", str(e))
        said = result.stdout.strip()
        if result.returncode != 0 or not said.isdigit():
            why = (result.stderr.strip().splitlines() or ["no commit"])[0]
            raise SbomError(f"no time for the bill of materials: SOURCE_DATE_EPOCH is not set and "
                            f"git log -1 --format=%ct in {repository} fails ({why})")
        seconds = int(said)
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def checked_packages(packages):
    """The notices' packages, each with every field the document needs."""
    if not isinstance(packages, list) or not packages:
        raise SbomError("no packages: the notices found nothing linked, which cannot be right")
    for index, package in enumerate(packages):
        name = package.get("name") if isinstance(package, dict) else None
        what = f"package {name!r}" if name else f"package {index + 1} of the notices' list"
        if not isinstance(package, dict):
            raise SbomError(f"{what} is not an object")
        missing = [f for f in PACKAGE_FIELDS if not package.get(f)]
        licence = package.get("licence")
        if not missing and (not isinstance(licence, dict) or not licence.get("expression")):
            missing.append("licence expression")
        if missing:
            raise SbomError(f"{what} lacks {', '.join(missing)}")
    return packages


def licence_ids(expression):
    """The licence identifiers of an SPDX expression, in order, each once
    (exceptions, operators and parentheses left out)."""
    words = expression.replace("(", " ").replace(")", " ").split()
    ids = []
    for before, word in zip([""] + words, words):
        if word not in ("AND", "OR", "WITH") and before != "WITH" and word not in ids:
            ids.append(word)
    return ids


def evidence(licence):
    """Each licence of the expression: its SPDX id, or, for a LicenseRef,
    its name with its text."""
    found = []
    for licence_id in licence_ids(licence["expression"]):
        if licence_id.startswith("LicenseRef-"):
            if licence_id not in licence.get("refs", {}):
                raise SbomError(f"{licence_id} has no text")
            found.append({"license": {"name": licence_id, "text": {"contentType": "text/plain",
                                                                   "content": licence["refs"][licence_id]}}})
        else:
            found.append({"license": {"id": licence_id}})
    return found


def serial_number(document):
    """A UUID v5 of the document's content without its serial number."""
    content = json.dumps({k: v for k, v in document.items() if k != "serialNumber"}, sort_keys=True,
                         separators=(",", ":"), ensure_ascii=False)
    return f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, 'winrepair-bom:' + content)}"


def bom(exe_name, version, sha256, own_licence_id, packages, publisher, timestamp, author):
    """The document, as text. `publisher` is the web address the program
    names as its publisher (publisher/publisher.txt): the supplier;
    `author` the copyright holders; `timestamp` the commit's time
    (creation_time)."""
    supplier = {"name": publisher, "url": [f"https://{publisher}/"]}
    components = [{
        "type": "library",
        "bom-ref": p["purl"],
        "name": p["name"],
        "version": p["version"],
        "purl": p["purl"],
        "licenses": [{"expression": p["licence"]["expression"]}],
        "evidence": {"licenses": evidence(p["licence"])},
        "properties": [{"name": "winrepair:linked-from", "value": ", ".join(p["files"])},
                       {"name": "winrepair:debian-source", "value": p["source"]}],
    } for p in sorted(checked_packages(packages), key=lambda p: p["purl"])]
    document = {
        "bomFormat": "CycloneDX",
        "specVersion": CYCLONEDX_VERSION,
        "version": 1,
        "metadata": {
            "timestamp": timestamp,
            "tools": {"components": [{
                "type": "application",
                "group": "winrepair",
                "name": "make_sbom.py",
                "version": version,
                "description": "scripts/release/make_sbom.py of winrepair, from the link map as "
                               "scripts/release/third_party_notices.py reads it",
            }]},
            "authors": [{"name": author}],
            "component": {
                "type": "application",
                "bom-ref": exe_name,
                "supplier": supplier,
                "author": author,
                "name": exe_name,
                "version": version,
                "description": "Repairs Windows with DISM and sfc, for Russian-speaking home users",
                "hashes": [{"alg": "SHA-256", "content": sha256}],
                "licenses": [{"expression": own_licence_id}],
                "purl": f"pkg:generic/winrepair@{version}",
            },
            "supplier": supplier,
        },
        "components": components,
        "dependencies": [{"ref": exe_name, "dependsOn": [c["bom-ref"] for c in components]}]
        + [{"ref": c["bom-ref"], "dependsOn": []} for c in components],
    }
    serial = serial_number(document)
    document = {"bomFormat": document.pop("bomFormat"), "specVersion": document.pop("specVersion"),
                "serialNumber": serial, **document}
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"
