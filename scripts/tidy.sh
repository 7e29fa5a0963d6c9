#!/bin/bash
# Runs clang-tidy with the checks in .clang-tidy over the product's sources
# (the wr_*_product libraries and winrepair.exe's own sources, not the
# tests), from the compile database of the windows-clang build: there the
# product is compiled for Windows, so system-win32.cpp sees <windows.h>.
# Any finding is an error. Usage: scripts/tidy.sh [BUILD_DIR]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build/windows-clang}"
cd "$ROOT"
if [[ ! -f "$BUILD/compile_commands.json" ]]; then
  cmake --preset windows-clang >/dev/null
fi
# The publisher's sources include a file generated at build time.
cmake --build "$BUILD" --target generated/scrambled_data.inc >/dev/null

mapfile -t sources < <(python3 - "$BUILD/compile_commands.json" <<'PY'
import json, shlex, sys
seen = set()
for entry in json.load(open(sys.argv[1])):
    args = entry.get("arguments") or shlex.split(entry["command"])
    out = entry.get("output") or args[args.index("-o") + 1]
    product = "_product.dir/" in out or out.startswith("CMakeFiles/winrepair.dir/")
    if product and entry["file"].endswith(".cpp") and entry["file"] not in seen:
        seen.add(entry["file"])
        print(entry["file"])
PY
)
if ((${#sources[@]} == 0)); then
  echo "tidy: no product sources in $BUILD/compile_commands.json" >&2
  exit 1
fi
echo "clang-tidy: ${#sources[@]} product sources"
# clang-tidy prints how many compiler warnings it hid; only findings matter.
printf '%s\n' "${sources[@]}" |
  xargs -P "${TIDY_JOBS:-2}" -n 1 clang-tidy-14 -p "$BUILD" --quiet 2> >(grep -v '^[0-9]* warnings\? generated\.$' >&2)
echo "clang-tidy: no findings"
