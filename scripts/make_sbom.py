"""The release's bill of materials: a CycloneDX 1.5 JSON document naming
winrepair.exe (version, SHA-256 of the file as shipped, licence) and each
Debian package whose code is linked into it, as third_party_notices.py found
them (version, licence, package URL).

The same inputs give the same bytes: no time of creation, and the serial
number derived from the executable's checksum instead of drawn at random."""

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


def licences(licence):
    """CycloneDX's licence choice: an SPDX expression, or a licence name."""
    if "expression" in licence:
        return [{"expression": licence["expression"]}]
    return [{"license": {"name": licence["name"]}}]


def bom(exe_name, version, sha256, own_licence_id, packages):
    if not packages:
        raise SbomError("no packages: the notices found nothing linked, which cannot be right")
    components = [{
        "type": "library",
        "bom-ref": p["purl"],
        "name": p["name"],
        "version": p["version"],
        "purl": p["purl"],
        "licenses": licences(p["licence"]),
        "properties": [{"name": "winrepair:linked-from", "value": ", ".join(p["files"])},
                       {"name": "winrepair:debian-source", "value": p["source"]}],
    } for p in sorted(packages, key=lambda p: p["purl"])]
    document = {
        "bomFormat": "CycloneDX",
        "specVersion": CYCLONEDX_VERSION,
        "serialNumber": f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, f'winrepair:{exe_name}:{sha256}')}",
        "version": 1,
        "metadata": {
            "component": {
                "type": "application",
                "bom-ref": exe_name,
                "name": exe_name,
                "version": version,
                "description": "Repairs Windows with DISM and sfc, for Russian-speaking home users",
                "hashes": [{"alg": "SHA-256", "content": sha256}],
                "licenses": [{"license": {"id": own_licence_id}}],
            },
        },
        "components": components,
        "dependencies": [{"ref": exe_name, "dependsOn": [c["bom-ref"] for c in components]}]
        + [{"ref": c["bom-ref"], "dependsOn": []} for c in components],
    }
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"
