#!/bin/bash
# Fails unless a release tag names the version the build makes: the tag must
# be "v" and the version of project(winrepair VERSION ...) in CMakeLists.txt,
# so a release can never ship under another number than the one the program,
# its manifest and its notices carry. The release workflow runs it first.
#
#   bash scripts/release/check_tag.sh TAG        e.g. bash scripts/release/check_tag.sh v1.2.0
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
(($# == 1)) || { echo "usage: $0 TAG" >&2; exit 2; }
tag=$1
version="$(sed -nE 's/^[[:space:]]*project\([[:space:]]*winrepair[[:space:]]+VERSION[[:space:]]+([0-9]+(\.[0-9]+)*)([[:space:]].*)?\)?[[:space:]]*$/\1/p' \
  "$ROOT/CMakeLists.txt" | head -1)"
[[ -n "$version" ]] || { echo "check-tag: CMakeLists.txt has no project(winrepair VERSION ...)" >&2; exit 1; }
if [[ "$tag" != "v$version" ]]; then
  echo "check-tag: the tag '$tag' is not v$version, the version in CMakeLists.txt" >&2
  exit 1
fi
echo "check-tag: $tag is the version in CMakeLists.txt"
