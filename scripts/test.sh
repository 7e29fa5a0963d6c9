#!/bin/bash
# Installs what is missing, builds everything and runs every test: the unit
# tests natively (with sanitizers), then the Windows-side unit tests, the
# end-to-end and console tests of the real executable under Wine, and a short
# run of every fuzz target.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/install-deps.sh"

cd "$ROOT"
cmake --preset host
cmake --build --preset host
cmake --preset windows
cmake --build --preset windows

status=0
ctest --preset host </dev/null || status=1
ctest --preset windows </dev/null || status=1
bash "$ROOT/scripts/fuzz.sh" || status=1
exit $status
