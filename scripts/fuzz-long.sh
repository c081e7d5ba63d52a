#!/bin/bash
# Runs every libFuzzer target (or the ones named) for MINUTES each, one after the other, on the
# kept corpus build/fuzz/corpus/<target>/ (what the runs before found stays and grows; the seeds
# come as in scripts/test-fuzz.sh), and prints for each target its runs and its findings. A finding
# does not end the target's time: its input is kept in build/fuzz/findings/ and the target starts
# again (after ten findings it stops). Exits non-zero when any target found anything.
#
#   scripts/fuzz-long.sh MINUTES [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

minutes="${1:?usage: scripts/fuzz-long.sh MINUTES [TARGET...]}"
shift
targets="${*:-fuzz_parse_line fuzz_document fuzz_command_line fuzz_address}"
build=build/fuzz
scripts/fuzz-seeds.sh >/dev/null

all_findings=0
summary=""
for t in $targets; do
  echo "==> $t (${minutes} min)"
  start=$(date +%s)
  end=$((start + minutes * 60))
  runs=0
  findings=0
  round=0
  while now=$(date +%s) && [ "$now" -lt "$end" ] && [ "$findings" -lt 10 ]; do
    log="$build/findings/$t.long.$round.log"
    if "$build/fuzz/$t" -max_total_time=$((end - now)) -timeout=20 -rss_limit_mb=2048 -reload=0 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
      "$build/corpus/$t" "$build/seeds/$t" >"$log" 2>&1; then
      :
    else
      findings=$((findings + 1))
      echo "  finding $findings:"
      grep -E "invariant broken|^SUMMARY|Test unit written" "$log" | sed 's/^/    /' ||
        tail -n 5 "$log" | sed 's/^/    /'
    fi
    done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ -z "$done_runs" ]; then
      done_runs=$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#')
    fi
    runs=$((runs + ${done_runs:-0}))
    round=$((round + 1))
  done
  seconds=$(($(date +%s) - start))
  [ "$seconds" -gt 0 ] || seconds=1
  line="$t: $runs runs in ${seconds}s ($((runs / seconds)) a second), $findings findings, corpus $(ls "$build/corpus/$t" | wc -l) inputs"
  echo "$line"
  summary="$summary$line"$'\n'
  all_findings=$((all_findings + findings))
done

echo
printf '%s' "$summary"
[ "$all_findings" -eq 0 ]
