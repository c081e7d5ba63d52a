#!/bin/bash
# The whole test run: installs what is missing, builds every preset, runs every test natively and
# under Wine (the 32-bit Windows build's in a 32-bit Debian of its own, scripts/test-x86.sh), and
# ends with ctest's summaries and a table of the Windows test counts, 64-bit beside 32-bit.
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

status=0
run() { echo "==> $*"; "$@" || status=1; }

for preset in native release windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# Counts and results from this run only (a program that dies writes none).
rm -f build/windows-x64/Testing/Temporary/LastTest.log build/windows-x86/Testing/Temporary/LastTest.log
rm -rf build/native/tests/test-results build/windows-x64/tests/test-results \
  build/windows-x86/tests/test-results

run ctest --preset native
# The same memory code again as it ships: optimized, without the sanitizers and the asserts.
run ctest --test-dir build/release --output-on-failure
run ctest --preset windows-x64
# tarnwkc.exe (64-bit here, 32-bit inside test-x86.sh) writes what the Linux program writes.
run scripts/test-console.sh build/windows-x64
run scripts/test-x86.sh
run scripts/test-fuzz.sh
run scripts/test-packages.sh

# One row per Windows test program: GoogleTest's counts in each build (from ctest's log).
counts() { # BUILD_DIR -> "program<TAB>cell" lines
  local log=$1/Testing/Temporary/LastTest.log
  [ -f "$log" ] || return 0
  awk '
    function flush() {
      if (name == "") return
      cell = passed " passed"
      if (failed != "") cell = cell ", " failed " FAILED"
      if (skipped != "") cell = cell ", " skipped " skipped"
      if (passed == "" && failed == "") cell = "no count"
      if (!ok) cell = cell " (ctest: FAILED)"
      print name "\t" cell
      name = ""
    }
    / Test: / && $1 ~ /^[0-9]+\/[0-9]+$/ { flush(); name = $3; passed = ""; failed = ""; skipped = ""; ok = 0 }
    /^\[  PASSED  \] [0-9]+ tests?\./ { passed = $4 }
    /^\[  FAILED  \] [0-9]+ tests?, listed below/ { failed = $4 }
    /^\[  SKIPPED \] [0-9]+ tests?, listed below/ { skipped = $4 }
    /^Test Passed\./ { ok = 1 }
    END { flush() }' "$log"
}
echo
echo "Windows tests (GoogleTest cases, one ctest run each):"
printf '  %-14s %-34s %s\n' program "64-bit (windows-x64)" "32-bit (windows-x86, 32-bit Wine)"
x64=$(counts build/windows-x64)
x86=$(counts build/windows-x86)
for program in $( (echo "$x64"; echo "$x86") | cut -f1 | awk 'NF && !seen[$0]++'); do
  a=$(echo "$x64" | awk -F'\t' -v p="$program" '$1 == p { print $2 }')
  b=$(echo "$x86" | awk -F'\t' -v p="$program" '$1 == p { print $2 }')
  printf '  %-14s %-34s %s\n' "$program" "${a:-not run}" "${b:-not run}"
done

# The count of skipped tests; fails on any skip not expected.
echo
run scripts/check-skips.sh build/native/tests/test-results build/windows-x64/tests/test-results \
  build/windows-x86/tests/test-results

if [ "$status" -ne 0 ]; then
  echo "Some tests failed."
fi
exit "$status"
