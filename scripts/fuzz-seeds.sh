#!/bin/bash
# Builds the libFuzzer targets (preset "fuzz", clang) and lays out their inputs in build/fuzz/:
# seeds/<target>/, rebuilt on every call from the committed seeds of fuzz/seeds/ and, where
# ../shared/corpus/ is present, pieces of its hosts files (read from there, written only into the
# build folder); corpus/<target>/, the corpus the fuzzers grow, kept from run to run; findings/.
# Used by scripts/test-fuzz.sh and scripts/fuzz-long.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

targets="fuzz_parse_line fuzz_document fuzz_command_line fuzz_address"
build=build/fuzz
shared=../shared/corpus

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

# Seeds: rebuilt on every run from the committed ones and the shared files.
rm -rf "$build/seeds"
for t in $targets; do
  mkdir -p "$build/seeds/$t" "$build/corpus/$t"
  cp fuzz/seeds/"$t"/* "$build/seeds/$t/"
done
mkdir -p "$build/findings"

# One line as the line target reads it: a flag byte (keep localhost), then UTF-16 LE. A line that
# is not UTF-8 gives no seed: its seed's name goes to a list, reported at the end.
unconverted=$build/seeds-not-made.txt
: >"$unconverted"
line_seed() {
  if ! { printf '\001'; printf '%s' "$2" | iconv -f UTF-8 -t UTF-16LE 2>/dev/null; } >"$1"; then
    rm -f "$1"
    echo "$1" >>"$unconverted"
  fi
}

for f in "$shared"/*hosts*; do
  [ -f "$f" ] || continue
  name=$(basename "$f")
  # The document target: the file cut into pieces of 50 lines; the head (the header, the
  # localhost and IPv6 lines) and an even spread of the rest.
  pieces=$(mktemp -d)
  split -l 50 -d -a 5 "$f" "$pieces/$name."
  n=0
  for p in "$pieces"/*; do
    if [ "$n" -lt 3 ] || [ $((n % 60)) -eq 0 ]; then
      cp "$p" "$build/seeds/fuzz_document/"
    fi
    n=$((n + 1))
  done
  rm -rf "$pieces"
  # The line target: the first lines of the file (every kind it has) and a few entries.
  k=0
  { head -n 120 "$f"; awk 'NR % 5000 == 0' "$f"; } | tr -d '\r' | while IFS= read -r line; do
    line_seed "$build/seeds/fuzz_parse_line/$name.$k" "$line"
    k=$((k + 1))
  done
  # The address target: the distinct address texts of the file (up to 50). grep finding no line
  # is no failure; awk, not head, takes the first 50, so that sort never writes into a closed pipe.
  { grep -v '^[[:space:]]*#' "$f" || [ $? -eq 1 ]; } | awk 'NF >= 2 { print $1 }' | sort -u |
    awk 'NR <= 50' | while IFS= read -r address; do
      printf '%s' "$address" >"$build/seeds/fuzz_address/$name.$(printf '%s' "$address" | md5sum | cut -c1-12)"
    done
done

if [ -s "$unconverted" ]; then
  echo "fuzz-seeds: $(wc -l <"$unconverted") lines of the shared files are not UTF-8 and gave no" \
    "line seed (list: $unconverted)" >&2
fi

