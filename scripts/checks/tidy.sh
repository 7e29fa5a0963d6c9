#!/bin/bash
# Runs clang-tidy with the checks in .clang-tidy over the product's sources
# (the wr_*_product libraries and winrepair.exe's own sources, not the
# tests), from the compile database of the windows-clang build: there the
# product is compiled for Windows, so system-win32.cpp sees <windows.h>.
# Any finding is an error. Usage: scripts/checks/tidy.sh [--no-build] [BUILD_DIR]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
# --no-build: the tree is built already and something else may be building
# in it now (the test command's CTest run): only read it.
build=1
if [[ "${1:-}" == "--no-build" ]]; then
  build=0
  shift
fi
BUILD="${1:-$ROOT/build/windows-clang}"
cd "$ROOT"
if ((build)); then
  if [[ ! -f "$BUILD/compile_commands.json" || ! -f "$BUILD/product_sources.txt" ]]; then
    cmake --preset windows-clang >/dev/null
  fi
  # The publisher's sources include a file generated at build time; the
  # build also refreshes the database and the product's source list when
  # sources were added or removed.
  cmake --build "$BUILD" --target generated/scrambled_data.inc >/dev/null
elif [[ ! -f "$BUILD/generated/scrambled_data.inc" ]]; then
  echo "tidy.sh: $BUILD is not built: build it first, or leave out --no-build" >&2
  exit 1
fi

# Exactly the product's C++ compiles, or a failure that says why.
listing="$(python3 "$ROOT/scripts/checks/tidy_sources.py" "$BUILD" "$BUILD/tidy")"
mapfile -t sources <<<"$listing"
echo "clang-tidy: ${#sources[@]} product sources, as the build lists them"
# clang-tidy prints how many compiler warnings it hid; only findings matter.
printf '%s\n' "${sources[@]}" |
  xargs -P "${TIDY_JOBS:-2}" -n 1 clang-tidy-14 -p "$BUILD/tidy" --quiet 2> >(grep -v '^[0-9]* warnings\? generated\.$' >&2)
echo "clang-tidy: no findings"
