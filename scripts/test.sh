#!/bin/bash
# Installs what is missing, builds everything and runs every test: the unit
# tests natively (with sanitizers), the Windows-side unit tests, the
# end-to-end and console tests of the real executable under Wine, for the
# GCC and the clang build of it; the Windows test kit run under Wine's
# cmd.exe as a user runs it on Windows, and the CI workflows checked against
# the CI's schema and for what each is for; the release's bill of materials
# validated by the CycloneDX library and by jsonschema; clang-tidy over the
# product; a short run of every fuzz target; the layout of every C++ file
# (clang-format), shellcheck and flake8 over every script, and the links of
# every Markdown page.
#
# The Wine tests mostly wait for the programs they start, so each Windows
# tree's CTest runs in the background as soon as that tree is built, while
# the machine compiles the next tree, runs clang-tidy and the host tests and
# fuzzes. Every phase's status is collected: any failure fails the
# script. Output of a background phase is shown when it ends; all of it is
# kept in build/test-logs/. The end is a table of the phases with their wall
# times and the count of phases passed and failed.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SCRIPT_START=$EPOCHREALTIME
"$ROOT/scripts/install_deps.sh"
export WINREPAIR_DEPS_INSTALLED=1
cd "$ROOT"

LOGS="$ROOT/build/test-logs"
rm -rf "$LOGS"
mkdir -p "$LOGS"
# CTest jobs per Windows tree: the console cases still run one at a time
# (they hold a lock), the rest spreads around them.
WINE_TEST_JOBS="${WINE_TEST_JOBS:-4}"

PHASES=()
declare -A PHASE_STATUS=() PHASE_PID=()

seconds_since() { # START -> seconds (one decimal) from START to now
  awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'
}

# run NAME COMMAND...: a phase in the foreground, its output shown as it comes.
run() {
  local name=$1 start=$EPOCHREALTIME status=0
  shift
  PHASES+=("$name")
  echo "=== $name: $*"
  # pipefail: the phase's status, not tee's.
  "$@" </dev/null 2>&1 | tee "$LOGS/$name.log" || status=$?
  PHASE_STATUS[$name]=$status
  echo "$status $(seconds_since "$start")" >"$LOGS/$name.status"
  return 0
}

# start NAME COMMAND...: a phase in the background, its output in its log.
start() {
  local name=$1
  shift
  PHASES+=("$name")
  echo "=== $name (in the background): $*"
  (
    begin=$EPOCHREALTIME
    status=0
    "$@" </dev/null >"$LOGS/$name.log" 2>&1 || status=$?
    echo "$status $(seconds_since "$begin")" >"$LOGS/$name.status"
    exit "$status"
  ) &
  PHASE_PID[$name]=$!
}

# finish NAME: waits for a background phase, then shows its output.
finish() {
  local name=$1 status=0
  wait "${PHASE_PID[$name]}" || status=$?
  PHASE_STATUS[$name]=$status
  echo "=== $name ended (status $status); its output:"
  cat "$LOGS/$name.log"
}

# skip NAME WHY: a phase that cannot run because one it needs failed.
skip() {
  PHASES+=("$1")
  PHASE_STATUS[$1]=1
  echo "1 0.0" >"$LOGS/$1.status"
  echo "=== $1: not run, $2" >&2
}

ok() { [[ "${PHASE_STATUS[$1]}" == 0 ]]; }

# Configuring is mostly serial work: the three trees side by side.
start configure_windows cmake --preset windows
start configure_windows_clang cmake --preset windows-clang
start configure_host cmake --preset host
# The npm tools (links, workflow, sbom) run on Debian 12's Node.js 18, as in
# the CI containers, whatever node this machine has; each checks that every
# package it installed declares that it runs there (scripts/dev/npm_tools.sh).
# Fetched the first time while the trees configure; should it fail, the
# tools run on the machine's node and this phase fails the run.
run debian_node bash scripts/dev/debian_node.sh
if ok debian_node; then
  WINREPAIR_NODE="$(tail -1 "$LOGS/debian_node.log")"
  export WINREPAIR_NODE
fi
# The source checks need no build: the C++ layout, shellcheck and flake8
# over the scripts, the links of every Markdown page. Each names the files
# that fail. The link check's first run mostly waits for the npm registry,
# so it goes on in the background.
start links bash scripts/checks/check_links.sh
# The CI workflows need no build either: checked against the CI's schema and
# for what each is for. Mostly a wait for the npm registry the first time.
start workflow bash scripts/checks/validate_workflow.sh
run format_check bash scripts/checks/format.sh --check
run script_check bash scripts/checks/check_scripts.sh
finish configure_windows
finish configure_windows_clang
finish configure_host

# The GCC tree first: its Wine tests wait the most of anything here. The
# host tree builds beside it: each build has stretches that keep one core
# (a precompiled header, a link), which the other build fills; two jobs
# each, so that together they keep two cores busy without crowding them.
if ok configure_host; then
  start build_host cmake --build --preset host -j 2
else
  skip build_host "configure_host failed"
fi
if ok configure_windows; then
  run build_windows cmake --build --preset windows -j 2
else
  skip build_windows "configure_windows failed"
fi
# The Windows test kit, packed from the tree just built (no third build).
if ok build_windows; then
  run kit_pack bash scripts/release/windows_kit.sh --tree build/windows
else
  skip kit_pack "build_windows failed"
fi
# The release kit_pack made: its bill of materials, validated by the
# CycloneDX library and by jsonschema, one process at a time.
if ok kit_pack; then
  start sbom bash tests/artifacts/release/validate_sbom.sh build/windows/dist/winrepair.cdx.json
else
  skip sbom "kit_pack failed"
fi
# The CTest entries labelled "kit" run the programs the kit holds; the kit's
# own run (in a Wine prefix of its own) runs them from this tree, so they are
# left out here. The windows-clang tree still runs them all under CTest.
if ok build_windows; then
  start ctest_windows ctest --preset windows -LE kit -j "$WINE_TEST_JOBS"
else
  skip ctest_windows "build_windows failed"
fi
if ok kit_pack; then
  start kit_run python3 tests/kit/check_kit.py --zip dist/winrepair-tests.zip --tree build/windows \
    --work build/windows/kit-check
else
  skip kit_run "kit_pack failed"
fi
# While the GCC tree's Wine tests wait: the rest of the host tree's build,
# and its tests.
if [[ -n "${PHASE_PID[build_host]:-}" ]]; then
  finish build_host
fi
if ok build_host; then
  run ctest_host ctest --preset host -j 2
else
  skip ctest_host "build_host failed"
fi

if ok configure_windows_clang; then
  run build_windows_clang cmake --build --preset windows-clang
else
  skip build_windows_clang "configure_windows_clang failed"
fi
# The clang tree's Wine tests start as soon as it is built, and clang-tidy
# and fuzzing run while they wait. clang-tidy reads this tree's compile database; its one generated
# source was built with the tree, so it builds nothing (--no-build): CTest
# runs in the tree meanwhile. No check rebuilds in a tree that another phase
# reads: the reproducibility check builds its second copy in a scratch tree
# and only reads the first (the build presets make the release with the rest).
if ok build_windows_clang; then
  start ctest_windows_clang ctest --preset windows-clang -j "$WINE_TEST_JOBS"
  run tidy bash scripts/checks/tidy.sh --no-build
else
  skip ctest_windows_clang "build_windows_clang failed"
  skip tidy "build_windows_clang failed"
fi
# FUZZ_SECONDS, when set, is the fuzzing time per target instead of fuzz.sh's
# own; FUZZ_JOBS targets at a time, by default one a core.
run fuzz bash scripts/dev/fuzz.sh -j "${FUZZ_JOBS:-2}" ${FUZZ_SECONDS:+"$FUZZ_SECONDS"}

for name in links workflow sbom ctest_windows kit_run ctest_windows_clang; do
  if [[ -n "${PHASE_PID[$name]:-}" ]]; then
    finish "$name"
  fi
done

# The summary: CTest's line of each tree, each phase's wall time, the count.
echo
echo "=== summary"
for name in ctest_host ctest_windows ctest_windows_clang; do
  log="$LOGS/$name.log"
  [[ -f "$log" ]] || continue
  line=$(grep -E 'tests passed, [0-9]+ tests failed' "$log" | tail -1 || true)
  echo "$name: ${line:-no CTest summary}"
done
printf '%-24s %8s  %s\n' phase seconds result
passed=0
failed=0
for name in "${PHASES[@]}"; do
  read -r status wall <"$LOGS/$name.status"
  if ((status == 0)); then
    result=passed
    passed=$((passed + 1))
  else
    result="FAILED (status $status)"
    failed=$((failed + 1))
  fi
  printf '%-24s %8s  %s\n' "$name" "$wall" "$result"
done
printf '%-24s %8s\n' "whole run" "$(seconds_since "$SCRIPT_START")"
echo "test.sh: $passed passed, $failed failed"
((failed == 0))
