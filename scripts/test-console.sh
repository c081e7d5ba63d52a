#!/bin/bash
# tarnwkc.exe writes what the Linux program writes: the same result, byte for byte, and the same
# --check report, with the same exit status, for the same options, on the samples and the shared
# corpus (both programs keep the input's line ends). Ends with "console: N passed, M failed";
# exits non-zero when any differs.
#
#   scripts/test-console.sh expect FOLDER            the Linux program's outputs into FOLDER
#   scripts/test-console.sh compare FOLDER WINBUILD  tarnwkc.exe of WINBUILD (under Wine) against them
#   scripts/test-console.sh WINBUILD                 both, in a temporary folder
#
# The 32-bit build's comparison runs in the 32-bit Debian of scripts/test-x86.sh, against outputs
# made outside it.
set -uo pipefail
cd "$(dirname "$0")/.."

linux=${TARNWK:-build/release/app/tarnwk}
runs=("-s -r -e utf8 -o -" "-s -l -e utf8 -o -" "-s -r --dedupe -o -" "-s -l -o -"
  "--check -r" "--check -l --dedupe")
inputs() {
  ls samples/*.txt
  [ -d ../shared/corpus ] && ls ../shared/corpus/stevenblack*
  return 0
}
key() { # FILE RUN -> a file name for the pair
  printf '%s %s' "$(basename "$1")" "$2" | tr -c 'A-Za-z0-9.\n-' '_'
}

expect() { # FOLDER
  mkdir -p "$1"
  [ -x "$linux" ] || { echo "no $linux: build the release preset first" >&2; return 1; }
  local file run
  while read -r file; do
    for run in "${runs[@]}"; do
      # shellcheck disable=SC2086
      "$linux" $run "$file" >"$1/$(key "$file" "$run").out" 2>/dev/null
      echo $? >"$1/$(key "$file" "$run").status"
    done
  done < <(inputs)
}

compare() { # FOLDER WINBUILD
  local exe=$2/app/tarnwkc.exe
  [ -f "$exe" ] || { echo "no $exe" >&2; return 1; }
  export WINEPREFIX=$PWD/$2/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  wineserver -p30 >/dev/null 2>&1 || true
  local passed=0 failed=0 file run name got status
  got=$(mktemp)
  while read -r file; do
    for run in "${runs[@]}"; do
      name=$(key "$file" "$run")
      # shellcheck disable=SC2086
      wine "$exe" $run "$(winepath -w "$file" 2>/dev/null)" >"$got" 2>/dev/null
      status=$?
      if cmp -s "$got" "$1/$name.out" && [ "$status" = "$(cat "$1/$name.status")" ]; then
        passed=$((passed + 1))
      else
        failed=$((failed + 1))
        echo "  DIFFERS: tarnwkc $run $file (status $status, Linux $(cat "$1/$name.status"))"
        cmp "$got" "$1/$name.out" | head -n 1
      fi
    done
  done < <(inputs)
  rm -f "$got"
  echo "console: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

case "${1:-}" in
expect) expect "$2" ;;
compare) compare "$2" "$3" ;;
"") echo "usage: see the head of $0" >&2; exit 2 ;;
*)
  folder=$(mktemp -d)
  trap 'rm -rf "$folder"' EXIT
  expect "$folder" && compare "$folder" "$1"
  ;;
esac
