"""The release's bill of materials: a CycloneDX 1.5 JSON document naming
winrepair.exe (version, SHA-256 of the file as shipped, licence, package URL
and supplier: the publisher the program names) and each Debian package whose
code is linked into it, as third_party_notices.py found them (version,
licence, package URL with the Debian release), with this script named as the
tool that made it.

Every licence is an SPDX expression. A licence SPDX has no identifier for
(the MinGW-w64 runtime's public-domain statement) is a LicenseRef-<name>,
and its text, as the package's copyright file gives it, is in the
component's evidence beside the identifiers of the others, so a reader of
the document has every licence's text or identifier.

The same inputs give the same bytes: no time of creation, and the serial
number a UUID v5 of the document's own content without it, so any change
of content changes it and nothing else does."""

import json
import uuid

CYCLONEDX_VERSION = "1.5"
# The SPDX id of the licence LICENSE's first line names.
SPDX_OF_LICENSE_NAME = {"MIT License": "MIT"}


class SbomError(Exception):
    pass


def licence_id(license_path):
    with open(license_path, encoding="utf-8") as f:
        name = f.readline().strip()
    if name not in SPDX_OF_LICENSE_NAME:
        raise SbomError(f"{license_path}: no SPDX id known for {name!r}")
    return SPDX_OF_LICENSE_NAME[name]


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


def bom(exe_name, version, sha256, own_licence_id, packages, publisher):
    """The document, as text. `publisher` is the web address the program
    names as its publisher (publisher/publisher.txt): the supplier."""
    if not packages:
        raise SbomError("no packages: the notices found nothing linked, which cannot be right")
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
    } for p in sorted(packages, key=lambda p: p["purl"])]
    document = {
        "bomFormat": "CycloneDX",
        "specVersion": CYCLONEDX_VERSION,
        "version": 1,
        "metadata": {
            "tools": {"components": [{
                "type": "application",
                "group": "winrepair",
                "name": "make_sbom.py",
                "version": version,
                "description": "scripts/release/make_sbom.py of winrepair, from the link map as "
                               "scripts/release/third_party_notices.py reads it",
            }]},
            "component": {
                "type": "application",
                "bom-ref": exe_name,
                "supplier": {"name": publisher, "url": [f"https://{publisher}/"]},
                "name": exe_name,
                "version": version,
                "description": "Repairs Windows with DISM and sfc, for Russian-speaking home users",
                "hashes": [{"alg": "SHA-256", "content": sha256}],
                "licenses": [{"license": {"id": own_licence_id}}],
                "purl": f"pkg:generic/winrepair@{version}",
            },
        },
        "components": components,
        "dependencies": [{"ref": exe_name, "dependsOn": [c["bom-ref"] for c in components]}]
        + [{"ref": c["bom-ref"], "dependsOn": []} for c in components],
    }
    serial = serial_number(document)
    document = {"bomFormat": document.pop("bomFormat"), "specVersion": document.pop("specVersion"),
                "serialNumber": serial, **document}
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"
