#!/bin/bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UBSan) and runs each
# for the given number of seconds (default 30), starting from its committed
# seeds. Fails on the first finding; the input that found it is left in
# build/fuzz/findings/<target>/ (commit it under tests/fuzz/regressions/ with
# the fix). Inputs that reach new code are kept in build/fuzz/corpus/, so a
# later run goes on where this one stopped.
#   bash scripts/fuzz.sh          # about 30 s per target, as the test script runs it
#   bash scripts/fuzz.sh 3600     # an hour per target
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-30}"
cd "$ROOT"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in console_output command_line search_path error_text console_input; do
  corpus="build/fuzz/corpus/$target"
  findings="build/fuzz/findings/$target"
  mkdir -p "$corpus" "$findings"
  log="build/fuzz/$target.log"
  echo "fuzzing $target for ${seconds}s"
  # -timeout: one input taking seconds is a finding too (a hang).
  if build/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -artifact_prefix="$findings/" -print_final_stats=1 "$corpus" "tests/fuzz/corpus/$target" \
       >"$log" 2>&1 </dev/null; then
    grep -E '^stat::number_of_executed_units' "$log" || true
  else
    echo "FINDING in $target (log: $log, input in $findings/):"
    grep -E 'property broken|ERROR:|runtime error' "$log" | head -5 || true
    status=1
  fi
done
exit $status
