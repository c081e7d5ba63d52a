#!/bin/bash
# Reads the GoogleTest results that ctest leaves in a build's tests/test-results/ (one XML file
# per test program) and fails on any skipped test that is not expected on this machine: GoogleTest
# ends a skipped test with success, so a skip that hides a fault would otherwise pass unseen.
# Prints one line per skip and a summary "skips: N skipped of T tests (E expected, U unexpected)".
#
#   scripts/check-skips.sh RESULTS_FOLDER...     (e.g. build/native/tests/test-results)
set -euo pipefail
cd "$(dirname "$0")/.."

# The skips this machine may show, as PROGRAM:Suite.Test (PROGRAM: the results file's name
# without .xml). Keep this list short: every entry is a test that runs nowhere on such a machine.
expected=()
if [ ! -d ../shared/corpus ]; then
  # A fresh clone without the shared corpus of real hosts files.
  expected+=(engine_tests:DocumentFile.CorpusRoundTripIsStable)
fi
if [ "$(id -u)" -ne 0 ]; then
  # Natively only root may write a read-only file, run the program as another user and mount
  # (the resolvers that judge the program read their files in a private mount namespace).
  expected+=(engine_tests:SafeSave.EveryFailingStepLeavesTheOldOrTheNewFile
    app_tests:LinuxProgram.ReadOnlyFileAsRoot
    app_tests:LinuxProgram.MissingRightsAsAnotherUser
    app_tests:LinuxProgram.ExtendedAttributesSurviveTheSave
    app_tests:LinuxProgram.OnARealSystem
    judge_tests:GlibcJudge.TheTableAnswersAsBefore
    judge_tests:GlibcJudge.TheSampleAndTheCorpusAnswerAsBefore
    judge_tests:GlibcJudge.GeneratedDocumentsAnswerAsBefore
    judge_tests:DnsmasqJudge.EveryDocumentServesTheSameAddresses)
fi

is_expected() {
  local entry
  for entry in "${expected[@]}"; do
    [ "$entry" = "$1" ] && return 0
  done
  return 1
}

[ "$#" -gt 0 ] || { echo "usage: check-skips.sh RESULTS_FOLDER..." >&2; exit 2; }

total=0
skipped=0
allowed=0
unexpected=0
for folder in "$@"; do
  files=("$folder"/*.xml)
  if [ ! -f "${files[0]}" ]; then
    echo "check-skips: no results in $folder" >&2
    unexpected=$((unexpected + 1))
    continue
  fi
  for file in "${files[@]}"; do
    program=$(basename "$file" .xml)
    count=$(grep -c '<testcase ' "$file" || true)
    total=$((total + count))
    # One line per skipped test: Suite.Test (GoogleTest writes each testcase on one line).
    while IFS= read -r name; do
      [ -n "$name" ] || continue
      skipped=$((skipped + 1))
      entry="$program:$name"
      if is_expected "$entry"; then
        allowed=$((allowed + 1))
        echo "  skipped (expected): $entry"
      else
        unexpected=$((unexpected + 1))
        echo "  SKIPPED: $entry ($file)"
      fi
    done < <(sed -n '/<testcase .*result="skipped"/{
        s/.* name="\([^"]*\)".* classname="\([^"]*\)".*/\2.\1/p
      }' "$file")
  done
done

echo "skips: $skipped skipped of $total tests ($allowed expected, $unexpected unexpected)"
[ "$unexpected" -eq 0 ]
