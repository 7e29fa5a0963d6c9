#!/bin/bash
# Validates the release's bill of materials (CycloneDX JSON) twice, by two
# validators that share nothing but the schema files:
#   - the CycloneDX project's own library, @cyclonedx/cyclonedx-library,
#     with the JSON-schema and parser packages it validates with
#     (validate_sbom.cjs), all installed from the npm registry at pinned
#     versions into build/tools (never globally);
#   - Debian's python3-jsonschema against the CycloneDX JSON schema files
#     that pinned library ships, their references answered from those files
#     alone (validate_sbom_schema.py).
# Beyond the schema, each also requires what compliance tools match on:
# every licence an SPDX expression ("expression", its identifiers on the
# SPDX list), and every package URL in canonical form.
#
# The library is 7.1.0, the newest whose engines field takes Node.js 18
# (Debian 12's, which the CI containers run it on; 8.0.0 and later ask for
# 20.18). Its optional packages are not installed: the two it needs for
# JSON, ajv and its formats, are pinned here; the XML ones are of no use to
# this check, and one of them (libxmljs2) compiles native code.
#
#   bash tests/artifacts/release/validate_sbom.sh FILE...
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)"
VERSION=7.1.0
PACKAGES=(
  --omit=optional
  "@cyclonedx/cyclonedx-library@$VERSION"
  ajv@8.17.1 ajv-formats@3.0.1 ajv-formats-draft2019@1.6.1
  packageurl-js@2.0.1 spdx-expression-parse@4.0.0
)
VALIDATOR="$ROOT/tests/artifacts/release/validate_sbom.cjs"
SCHEMA_VALIDATOR="$ROOT/tests/artifacts/release/validate_sbom_schema.py"

(($# > 0)) || { echo "usage: $0 FILE..." >&2; exit 2; }
# shellcheck source=scripts/dev/npm_tools.sh
source "$ROOT/scripts/dev/npm_tools.sh"
TOOLS="$(install_npm_tools "cyclonedx-library-$VERSION" "${PACKAGES[@]}")"
NODE="$(npm_tools_node)"
export NODE_PATH="$TOOLS/node_modules"
SCHEMAS="$TOOLS/node_modules/@cyclonedx/cyclonedx-library/res/schema"
# jsonschema is Debian's: its own interpreter, whatever python3 is first on PATH.
schema_check() { /usr/bin/python3 "$SCHEMA_VALIDATOR" --schema-dir "$SCHEMAS" "$@"; }

# Each validator must see a broken document as broken, or its silence means
# nothing: a hash algorithm the schema does not know, and a licence the SPDX
# list (a schema the main one refers to) does not know; and two the schema
# accepts but compliance tools cannot use: a licence as free text instead of
# an SPDX expression, and a package URL whose version keeps a "+" that the
# canonical form percent-encodes (%2B).
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
head='{"bomFormat": "CycloneDX", "specVersion": "1.5", "version": 1, "metadata": {"component": {"type": "application", "name": "x",'
library='"components": [{"type": "library", "name": "gcc-mingw-w64-x86-64-posix", "version": "12.2.0-14+deb12u1+25.2+b1",'
canonical='"purl": "pkg:deb/debian/gcc-mingw-w64-x86-64-posix@12.2.0-14%2Bdeb12u1%2B25.2%2Bb1?arch=amd64&distro=debian-12"'
printf '%s\n' "$head" '"hashes": [{"alg": "SHA-257", "content": "'"$(printf '0%.0s' {1..64})"'"}]}}}' >"$work/hash.cdx.json"
printf '%s\n' "$head" '"licenses": [{"license": {"id": "No-Such-Licence"}}]}}}' >"$work/licence.cdx.json"
printf '%s\n' "$head" '"licenses": [{"expression": "MIT"}]}},' "$library" "$canonical," \
  '"licenses": [{"license": {"name": "GPL-3+ with GCC exception"}}]}]}' >"$work/free-text-licence.cdx.json"
printf '%s\n' "$head" '"licenses": [{"expression": "MIT"}]}},' "$library" \
  '"purl": "pkg:deb/debian/gcc-mingw-w64-x86-64-posix@12.2.0-14+deb12u1+25.2+b1?arch=amd64&distro=debian-12",' \
  '"licenses": [{"expression": "GPL-3.0-or-later WITH GCC-exception-3.1"}]}]}' >"$work/unencoded-purl.cdx.json"
broken_documents=("$work/hash.cdx.json" "$work/licence.cdx.json" "$work/free-text-licence.cdx.json"
  "$work/unencoded-purl.cdx.json")
# One run of each validator over the broken documents and the real ones:
# the broken must each be reported invalid, the real ones valid.
status=0
for validator in library schema; do
  if [[ $validator == library ]]; then
    shown="$("$NODE" "$VALIDATOR" "${broken_documents[@]}" "$@" 2>&1)" || true
  else
    shown="$(schema_check "${broken_documents[@]}" "$@" 2>&1)" || true
  fi
  for broken in "${broken_documents[@]}"; do
    what="$(basename "$broken" .cdx.json)"
    line="$(grep -F -m1 "invalid: $broken: " <<<"$shown" || true)"
    if [[ -z "$line" ]]; then
      echo "validate_sbom: the $validator validator accepted a document broken on purpose ($what)" >&2
      status=1
    else
      line="${line#"invalid: $broken: "}"
      echo "$validator validator rejects the document broken on purpose ($what): ${line:0:240}"
    fi
  done
  for file in "$@"; do
    grep -F "$file" <<<"$shown" | sed "s/^/$validator validator: /"
    if grep -qF "invalid: $file" <<<"$shown" || ! grep -qF "valid: $file" <<<"$shown"; then
      status=1
    fi
  done
done
exit $status
