#!/bin/bash
# The whole test run: installs what is missing, builds every preset, runs every test natively and
# under Wine, and ends with ctest's summaries. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

status=0
run() { echo "==> $*"; "$@" || status=1; }

for preset in native release windows-x64 windows-x86; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# Results of this run only: a program that dies writes none.
rm -rf build/native/tests/test-results build/windows-x64/tests/test-results
run ctest --preset native
run ctest --preset windows-x64
run scripts/test-fuzz.sh
run scripts/test-packages.sh
# Last, so that the count of skipped tests ends the output; fails on any skip not expected.
run scripts/check-skips.sh build/native/tests/test-results build/windows-x64/tests/test-results

if [ "$status" -ne 0 ]; then
  echo "Some tests failed."
fi
exit "$status"
