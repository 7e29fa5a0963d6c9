#!/bin/bash
# Fails unless a release tag names the version the build makes: the tag must
# be "v" and the version of project(winrepair VERSION ...) in CMakeLists.txt,
# exactly, so a release can never ship under another number than the one the
# program, its manifest and its notices carry. The version must be three
# numbers without leading zeros (X.Y.Z): v1.2.01, v1.2.0-rc1 or "v1.2.0 " are
# not v1.2.0. The release workflow runs it first.
#
#   bash scripts/release/check_tag.sh TAG        e.g. bash scripts/release/check_tag.sh v1.2.0
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
(($# == 1)) || { echo "usage: $0 TAG" >&2; exit 2; }
tag=$1
version="$(sed -nE 's/^[[:space:]]*project\([[:space:]]*winrepair[[:space:]]+VERSION[[:space:]]+([^[:space:])]+)([[:space:]].*)?\)?[[:space:]]*$/\1/p' \
  "$ROOT/CMakeLists.txt" | head -1)"
[[ -n "$version" ]] || { echo "check_tag: CMakeLists.txt has no project(winrepair VERSION ...)" >&2; exit 1; }
number='(0|[1-9][0-9]*)'
if [[ ! "$version" =~ ^$number\.$number\.$number$ ]]; then
  echo "check_tag: the version in CMakeLists.txt, '$version', is not X.Y.Z (three numbers, no leading zeros)" >&2
  exit 1
fi
if [[ "$tag" != "v$version" ]]; then
  # A line end in the tag is shown as \n, so the refusal stays one line.
  echo "check_tag: the tag '${tag//$'\n'/\\n}' is not v$version, the version in CMakeLists.txt" >&2
  exit 1
fi
echo "check_tag: $tag is the version in CMakeLists.txt"
