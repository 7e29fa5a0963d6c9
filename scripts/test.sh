#!/bin/bash
# Installs what is missing, builds everything and runs every test: the unit
# tests natively (with sanitizers), then the Windows-side unit tests, the
# end-to-end and console tests of the real executable under Wine, for the
# GCC and the clang build of it; a short run of every fuzz target; then
# clang-tidy over the product.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/install-deps.sh"

cd "$ROOT"
cmake --preset host
cmake --build --preset host
cmake --preset windows
cmake --build --preset windows
cmake --preset windows-clang
cmake --build --preset windows-clang

status=0
ctest --preset host </dev/null || status=1
ctest --preset windows </dev/null || status=1
ctest --preset windows-clang </dev/null || status=1
bash "$ROOT/scripts/fuzz.sh" || status=1
bash scripts/tidy.sh || status=1
exit $status
