#!/bin/bash
# Coverage of the product's deciding logic by the host unit tests: builds
# them with GCC's --coverage (no sanitizers) in build/coverage/build, runs
# them, and writes a report with gcovr: build/coverage/index.html (per file,
# lines and branches no test reaches) and build/coverage/summary.txt. A
# report for developers, not a gate: there is no threshold.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
"$ROOT/scripts/install_deps.sh"
OUT="$ROOT/build/coverage"
BUILD="$OUT/build"
cd "$ROOT"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS="--coverage" -DCMAKE_EXE_LINKER_FLAGS="--coverage" >/dev/null
cmake --build "$BUILD"
# Counts from an earlier run would add up with this one's.
find "$BUILD" -name '*.gcda' -delete
ctest --test-dir "$BUILD" --output-on-failure </dev/null || echo "coverage: some tests failed; the report covers what ran" >&2

# Product sources only: not the tests, the fake or GoogleTest. Branches
# the compiler adds for exceptions (the test build keeps them) are noise.
# gcov runs once, into a JSON tracefile; the reports are made from it.
filters=()
for dir in console driver launch platform publisher runtime; do
  filters+=(--filter "$ROOT/$dir/")
done
gcovr --root "$ROOT" --object-directory "$BUILD" --exclude-directories '.*/CMakeFiles/[0-9.]+/.*' \
  "${filters[@]}" --exclude-throw-branches --exclude-unreachable-branches --json "$OUT/coverage.json"
report=(--root "$ROOT" --add-tracefile "$OUT/coverage.json")
gcovr "${report[@]}" --html-details "$OUT/index.html" --html-title "winrepair: host unit test coverage"
# Never name /dev/null as an output: gcovr 5.2 tries an output path by
# creating it and then unlinks it.
gcovr "${report[@]}" --txt "$OUT/summary.txt" --print-summary
gcovr "${report[@]}" --branches --txt "$OUT/branches.txt"
echo "coverage report: $OUT/index.html, $OUT/summary.txt (lines), $OUT/branches.txt (branches)"
