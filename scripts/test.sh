#!/bin/bash
# Installs what is missing, builds everything and runs every test: the unit
# tests natively (with sanitizers), then the Windows-side unit tests, the
# end-to-end and console tests of the real executable under Wine.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/install-deps.sh"

cmake -S "$ROOT" -B "$ROOT/build/host" -G Ninja -DWINREPAIR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
ninja -C "$ROOT/build/host"
cmake -S "$ROOT" -B "$ROOT/build/windows" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release
ninja -C "$ROOT/build/windows"

status=0
(cd "$ROOT/build/host" && ctest --output-on-failure --timeout 600 </dev/null) || status=1
(cd "$ROOT/build/windows" && ctest --output-on-failure --timeout 600 </dev/null) || status=1
exit $status
