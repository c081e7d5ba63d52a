#!/bin/bash
# Benchmarks the Linux program on large hosts files with the release build: each row is the best
# of five whole-process runs of `tarnwk -s -r -e utf8 -o OUT FILE`, its peak memory, and the best
# of five runs of `cat FILE >/dev/null` in the same run with the ratio to it (the machine is noisy;
# the ratio stays comparable), and beside it the ratio to bench/group-names.awk under mawk (awk where
# there is no mawk): four lines that group the names of an address nine to a line, a yardstick
# anyone can rerun. The rows for --check (the report to /dev/null) and --dedupe on the
# 1,000,000-line file also show their ratio to the normal run just before them.
# The last rows time glibc's lookups in the files before and after the run (root only).
# Usage: scripts/bench.sh [--quick] [--wine]
#   --quick  leaves out the 10,000,000-line file
#   --wine   also times tarnwk.exe (windows-x64 build) under Wine on the 1,000,000-line file, less
#            Wine's start-up (the same run on an empty file)
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0 wine=0
for arg in "$@"; do
  case "$arg" in
  --quick) quick=1 ;;
  --wine) wine=1 ;;
  *) echo "usage: scripts/bench.sh [--quick] [--wine]" >&2; exit 2 ;;
  esac
done
cmake --preset release >/dev/null
cmake --build --preset release --target tarnwick_bench tarnwk >/dev/null
bench=build/release/bench/tarnwick_bench
tarnwk=${TARNWK:-build/release/app/tarnwk} # TARNWK=path times another build
data=build/release/bench-data
runs=5
mkdir -p "$data"
[ -f "$data/single-1M" ] || "$bench" generate-single 1000000 "$data/single-1M"
[ -f "$data/pairs-50k" ] || "$bench" generate-pairs 50000 "$data/pairs-50k"
[ -f "$data/long-400k" ] || "$bench" generate-long 400000 "$data/long-400k"
[ -f "$data/long-1M" ] || "$bench" generate-long 1000000 "$data/long-1M"
[ "$quick" = 1 ] || [ -f "$data/single-10M" ] || "$bench" generate-single 10000000 "$data/single-10M"

awk=$(command -v mawk || command -v awk)
printf '%-34s %10s %9s %9s %9s %8s %9s %9s %7s\n' file lines time peak cat ratio \
  "${awk##*/}" peak ratio
row() {
  local name=$1 file=$2
  local lines tarnwk_s peak cat_s awk_s awk_peak
  lines=$(wc -l <"$file")
  read -r tarnwk_s peak < <("$bench" time "$runs" "$tarnwk" -s -r -e utf8 -o "$data/out" "$file")
  read -r cat_s _ < <("$bench" time "$runs" cat "$file")
  read -r awk_s awk_peak < <("$bench" time "$runs" "$awk" -f bench/group-names.awk "$file")
  awk -v n="$name" -v l="$lines" -v t="$tarnwk_s" -v p="$peak" -v c="$cat_s" -v a="$awk_s" \
    -v ap="$awk_peak" 'BEGIN {
    printf "%-34s %10d %8.3fs %6.1fMiB %8.4fs %7.0fx %8.3fs %6.1fMiB %6.2fx\n",
      n, l, t, p / 1024, c, t / c, a, ap / 1024, t / a }'
  normal_s=$tarnwk_s
}
# The same file with an option, beside the row before: the ratio to that normal run, and the
# most it may be.
option_row() {
  local name=$1 file=$2 limit=$3
  shift 3
  local lines option_s peak cat_s
  lines=$(wc -l <"$file")
  read -r option_s peak < <("$bench" time "$runs" "$tarnwk" "$@" "$file")
  read -r cat_s _ < <("$bench" time "$runs" cat "$file")
  awk -v n="$name" -v l="$lines" -v t="$option_s" -v p="$peak" -v c="$cat_s" -v b="$normal_s" \
    -v m="$limit" 'BEGIN {
    printf "%-34s %10d %8.3fs %6.1fMiB %8.4fs %7.0fx  %.2fx the normal run (at most %sx)\n",
      n, l, t, p / 1024, c, t / c, t / b, m }'
}
row "(a) 1M one-name lines" "$data/single-1M"
option_row "(a) --check" "$data/single-1M" 1.5 -n -r -e utf8
option_row "(a) --dedupe" "$data/single-1M" 1.3 -s -r -e utf8 --dedupe -o "$data/out"
[ "$quick" = 1 ] || row "(b) 10M one-name lines" "$data/single-10M"
corpus=../shared/corpus/stevenblack-hosts
if [ -f "$corpus" ]; then
  row "(c) stevenblack-hosts" "$corpus"
else
  echo "(c) stevenblack-hosts: the shared corpus is not here; skipped"
fi
row "(d) 50,000 addresses x 2" "$data/pairs-50k"
row "(e) 2nd line of 400,000 names" "$data/long-400k"
row "(e) 2nd line of 1,000,000 names" "$data/long-1M"

# What the compact form buys: the time glibc's getaddrinfo takes to answer a name near the end of
# a file, before the run and after it (`tarnwk -s -r`), the files taken in turn, the median of 15
# lookups each in a fresh process; with "multi off" (glibc's default: the first listing answers)
# and "multi on" (Debian's /etc/host.conf: every line is read). Root only: the files are bound
# over /etc/hosts in a private mount namespace.
lookup_row() {
  local label=$1 file=$2 name=$3
  "$tarnwk" -s -r -o "$data/lookup-after" "$file"
  local off on
  off=$(unshare -m --propagation private "$bench" lookup 15 "$name" "$data/host.conf.off" \
    "$file" "$data/lookup-after")
  on=$(unshare -m --propagation private "$bench" lookup 15 "$name" "$data/host.conf.on" \
    "$file" "$data/lookup-after")
  echo "$off $on" | awk -v l="$label" -v n="$name" '{
    printf "%-26s %-26s %8.2f ms %8.2f ms %5.1fx   %8.2f ms %8.2f ms %5.1fx\n",
      l, n, $1, $2, $1 / $2, $3, $4, $3 / $4 }'
  rm -f "$data/lookup-after"
}
if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null; then
  printf 'multi off\n' >"$data/host.conf.off"
  printf 'multi on\n' >"$data/host.conf.on"
  echo
  echo "Lookups through glibc (median of 15): multi off before, after, ratio; multi on the same"
  lookup_row "(a) 1M one-name lines" "$data/single-1M" host999990.example
  if [ -f "$corpus" ]; then
    lookup_row "(c) stevenblack-hosts" "$corpus" \
      "$(awk '!/^[[:space:]]*#/ && NF >= 2 { n = $2 } END { print n }' "$corpus")"
  fi
else
  echo "Lookups through glibc: root only (a private mount namespace); skipped"
fi

if [ "$wine" = 1 ]; then
  exe=build/windows-x64/app/tarnwk.exe
  [ -f "$exe" ] || { echo "no $exe: build the windows-x64 preset first" >&2; exit 1; }
  export WINEPREFIX=$PWD/build/windows-x64/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
  wineserver -p30 >/dev/null 2>&1 || true
  : >"$data/empty"
  read -r empty_s _ < <("$bench" time "$runs" wine "$exe" /s /r /e:UTF8 "$data/empty")
  cp "$data/single-1M" "$data/wine-1M"
  read -r wine_s _ < <("$bench" time "$runs" sh -c "cp $data/single-1M $data/wine-1M && wine $exe /s /r /e:UTF8 $data/wine-1M")
  read -r cp_s _ < <("$bench" time "$runs" cp "$data/single-1M" "$data/wine-1M")
  awk -v w="$wine_s" -v e="$empty_s" -v c="$cp_s" 'BEGIN {
    printf "(a) under Wine: %.3fs less %.3fs start-up and %.3fs copy = %.3fs\n", w, e, c, w - e - c }'
  rm -f "$data/wine-1M" "$data/empty"
fi
rm -f "$data/out"
