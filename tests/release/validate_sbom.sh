#!/bin/bash
# Validates the release's bill of materials (CycloneDX JSON) with the
# CycloneDX project's own library, @cyclonedx/cyclonedx-library, and the
# JSON-schema and parser packages it validates with, all installed from the
# npm registry at pinned versions into build/tools (never globally).
#
#   bash tests/release/validate_sbom.sh FILE...
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
VERSION=10.3.0
PACKAGES=(
  "@cyclonedx/cyclonedx-library@$VERSION"
  ajv@8.17.1 ajv-formats@3.0.1 ajv-formats-draft2019@1.6.1
  packageurl-js@2.0.1 spdx-expression-parse@4.0.0
)
VALIDATOR="$ROOT/tests/release/validate_sbom.cjs"

(($# > 0)) || { echo "usage: $0 FILE..." >&2; exit 2; }
# shellcheck source=scripts/npm-tools.sh
source "$ROOT/scripts/npm-tools.sh"
TOOLS="$(install_npm_tools "cyclonedx-library-$VERSION" "${PACKAGES[@]}")"
export NODE_PATH="$TOOLS/node_modules"

# The validator must see a broken document as broken, or its silence means
# nothing: a hash algorithm the schema does not know.
broken="$(mktemp --suffix=.cdx.json)"
trap 'rm -f "$broken"' EXIT
printf '%s\n' '{"bomFormat": "CycloneDX", "specVersion": "1.5", "version": 1,' \
  '"metadata": {"component": {"type": "application", "name": "x", "hashes": [{"alg": "SHA-257", "content": "00"}]}}}' \
  >"$broken"
if node "$VALIDATOR" "$broken" >/dev/null 2>&1; then
  echo "validate_sbom: the validator accepted a hash algorithm the schema does not know" >&2
  exit 1
fi

node "$VALIDATOR" "$@"
