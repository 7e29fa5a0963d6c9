#!/bin/bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) and runs each
# for the given number of seconds (default 10), starting from its committed
# seeds. Fails on any finding, and on anything that would let a run pass
# without fuzzing: a target without seeds or seeds without a target, a
# missing program, a run that executed nothing. The input that found a fault
# is left in build/fuzz/findings/<target>/ (commit it under
# tests/fuzz/regressions/<target>/ with the fix). Inputs that reach new code
# are kept in build/fuzz/corpus/, so a later run goes on where this one
# stopped.
#   bash scripts/dev/fuzz.sh            # 10 s per target, one after the other, as the test script runs it
#   bash scripts/dev/fuzz.sh 3600       # an hour per target
#   bash scripts/dev/fuzz.sh -j 2 10    # two targets at a time (FUZZ_JOBS=2 does the same)
# Ten seconds is about ten times the longest any target took to find a fault
# planted in the code it covers; longer runs are for hunting, not for every change.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
jobs="${FUZZ_JOBS:-1}"
if [[ "${1:-}" == "-j" ]]; then
  jobs="${2:-}"
  shift 2 || { echo "fuzz.sh: -j needs a number" >&2; exit 2; }
fi
seconds="${1:-10}"
# 0 would mean no time limit to libFuzzer, anything else not a number an error
# it might read as a corpus folder.
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: seconds must be a positive whole number, not '$seconds'" >&2; exit 2; }
[[ "$jobs" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: jobs must be a positive whole number, not '$jobs'" >&2; exit 2; }
cd "$ROOT"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# The targets the build defines, and the seed folders: the two lists must agree.
list="build/fuzz/fuzz_targets.txt"
[[ -s "$list" ]] || { echo "fuzz.sh: $list is missing or empty: no fuzz targets defined" >&2; exit 1; }
mapfile -t targets < <(sed -n 's/^fuzz_//p' "$list" | sort)
mapfile -t seeded < <(find tests/fuzz/corpus -mindepth 1 -maxdepth 1 -type d -printf '%f\n' | sort)
status=0
if [[ "${targets[*]}" != "${seeded[*]}" ]]; then
  echo "fuzz.sh: targets (${targets[*]}) and seed folders (${seeded[*]}) differ" >&2
  status=1
fi
for target in "${targets[@]}"; do
  if [[ ! -x "build/fuzz/fuzz_$target" ]]; then
    echo "fuzz.sh: MISSING program build/fuzz/fuzz_$target" >&2
    status=1
  elif [[ -z "$(find "tests/fuzz/corpus/$target" -type f -print -quit 2>/dev/null)" ]]; then
    echo "fuzz.sh: no seeds in tests/fuzz/corpus/$target" >&2
    status=1
  fi
done
[[ $status -eq 0 ]] || exit 1

# One target; its exit status is left in build/fuzz/<target>.status.
run_target() {
  local target="$1" corpus="build/fuzz/corpus/$1" findings="build/fuzz/findings/$1" log="build/fuzz/$1.log"
  mkdir -p "$corpus" "$findings"
  # -timeout: one input taking seconds is a finding too (a hang).
  local rc=0
  "build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "tests/fuzz/corpus/$target" \
    >"$log" 2>&1 </dev/null || rc=$?
  echo "$rc" >"build/fuzz/$target.status"
}

rm -f build/fuzz/*.status
echo "fuzzing ${#targets[@]} targets for ${seconds}s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
  if (( running >= jobs )); then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
wait || true

for target in "${targets[@]}"; do
  log="build/fuzz/$target.log"
  rc="$(cat "build/fuzz/$target.status" 2>/dev/null || echo none)"
  executed="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" 2>/dev/null | tail -1)"
  if [[ "$rc" == none ]]; then
    echo "FAILED $target: the run left no exit status (log: $log)"
    status=1
  elif [[ "$rc" != 0 ]]; then
    echo "FINDING in $target (exit status $rc; log: $log, input in build/fuzz/findings/$target/):"
    grep -E 'property broken|ERROR:|runtime error|SUMMARY' "$log" | head -5 || tail -5 "$log" || true
    status=1
  elif grep -qE 'runtime error:|ERROR: [A-Za-z]+Sanitizer|property broken' "$log"; then
    # A sanitizer report the build let the run recover from is a finding all the same.
    echo "FINDING in $target (reported, though the run went on; log: $log):"
    grep -E 'runtime error:|ERROR: [A-Za-z]+Sanitizer|property broken' "$log" | head -5
    status=1
  elif [[ -z "$executed" || "$executed" == 0 ]] || ! grep -q '^Done [0-9]* runs' "$log"; then
    # A clean exit that ran nothing proves nothing.
    echo "FAILED $target: the run ended without executing any input (log: $log)"
    status=1
  else
    echo "$target: $executed inputs, no finding"
  fi
done
exit $status
