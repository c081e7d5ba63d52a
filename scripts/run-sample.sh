#!/bin/bash
# Builds the Linux program (release preset) and optimizes a copy of the sample hosts file with it:
# prints the line counts before and after and the first lines of the result.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux

cmake --preset release >/dev/null
cmake --build --preset release --target tarnwk

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp samples/hosts-sample.txt "$work/hosts"

before=$(wc -l <"$work/hosts")
build/release/app/tarnwk "$work/hosts"
after=$(wc -l <"$work/hosts")

echo "Lines before: $before"
echo "Lines after:  $after"
echo "First 15 lines of the result:"
head -n 15 "$work/hosts"
