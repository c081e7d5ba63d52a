#!/bin/bash
# Benchmarks load + merge + save on large hosts files with the release build.
# Usage: scripts/bench.sh [--quick]   (--quick leaves out the 10,000,000-line case)
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target tarnwick_bench >/dev/null
bench=build/release/bench/tarnwick_bench
data=build/release/bench-data
mkdir -p "$data"
[ -f "$data/single-1M" ] || "$bench" generate-single 1000000 "$data/single-1M"
[ -f "$data/pairs-50k" ] || "$bench" generate-pairs 50000 "$data/pairs-50k"
"$bench" run "$data/single-1M" "$data/out"
if [ "${1:-}" != "--quick" ]; then
  [ -f "$data/single-10M" ] || "$bench" generate-single 10000000 "$data/single-10M"
  "$bench" run "$data/single-10M" "$data/out"
fi
corpus=../shared/corpus/stevenblack-hosts
if [ -f "$corpus" ]; then
  "$bench" run "$corpus" "$data/out"
else
  echo "stevenblack-hosts: the shared corpus is not here; skipped"
fi
"$bench" run "$data/pairs-50k" "$data/out"
rm -f "$data/out"
