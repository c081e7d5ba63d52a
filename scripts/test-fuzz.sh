#!/bin/bash
# Builds the libFuzzer targets (preset "fuzz", clang) and runs each for a short while on a corpus
# in the build folder: the committed seeds of fuzz/seeds/ and, where ../shared/corpus/ is present,
# pieces of its hosts files (read from there, written only into the build folder). Fails when any
# target reports a finding; the input that caused it is left in build/fuzz/findings/.
#
#   scripts/test-fuzz.sh [SECONDS]     (default 30 seconds per target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
targets="fuzz_parse_line fuzz_document fuzz_command_line fuzz_address"
build=build/fuzz
scripts/fuzz-seeds.sh

passed=0
failed=0
for t in $targets; do
  echo "==> $t (${seconds}s)"
  log="$build/findings/$t.log"
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
    "$build/corpus/$t" "$build/seeds/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "${runs:-0}" -gt 0 ] 2>/dev/null; then
      echo "$t: $runs runs, no finding"
      passed=$((passed + 1))
    else
      # A target that ran no input found nothing because it tested nothing.
      tail -n 20 "$log"
      echo "$t: FAILED, ${runs:-no} run count (log: $log)"
      failed=$((failed + 1))
    fi
  else
    grep -E "invariant broken|ERROR|SUMMARY|Test unit written" "$log" || tail -n 20 "$log"
    echo "$t: FAILED (log: $log)"
    failed=$((failed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
