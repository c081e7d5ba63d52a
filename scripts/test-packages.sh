#!/bin/bash
# Builds the three packages (the Windows zips and the Debian package) in the standard preset
# folders and checks what they hold. Ends with "packages: N passed, M failed"; exits non-zero when
# any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."

# The preset folders (build/<preset>) unless TARNWICK_BUILD_ROOT names another parent folder.
builds=${TARNWICK_BUILD_ROOT:-build}
version=$(sed -n 's/^project(Tarnwick VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
problems=0
fail() { echo "  FAIL: $*"; problems=$((problems + 1)); }

build_package() { # preset
  cmake --preset "$1" -B "$builds/$1" >/dev/null &&
    cmake --build "$builds/$1" --target package >"$work/$1.log" 2>&1
}

# Every packages folder holds SHA256SUMS for what it holds.
check_sums() { # preset
  local folder="$builds/$1/packages"
  (cd "$folder" && sha256sum --quiet -c SHA256SUMS) >/dev/null 2>&1 &&
    [ "$(wc -l <"$folder/SHA256SUMS")" -eq "$(find "$folder" -maxdepth 1 -type f ! -name SHA256SUMS | wc -l)" ] ||
    fail "$folder/SHA256SUMS does not check every package"
}

check_zip() { # preset system
  local preset=$1 system=$2
  local name="tarnwick-$version-$system"
  local zip="$builds/$preset/packages/$name.zip"
  echo "==> $name.zip"
  problems=0
  if ! build_package "$preset"; then
    fail "the package build failed:"; tail -n 20 "$work/$preset.log"
  elif [ ! -f "$zip" ]; then
    fail "$zip was not made"
  else
    local list="$work/$name.list"
    unzip -Z1 "$zip" | sort >"$list"
    printf '%s\n' "$name/LICENSE.txt" "$name/README.txt" "$name/tarnwk.exe" "$name/tarnwkc.exe" |
      sort >"$work/$name.expected"
    diff -u "$work/$name.expected" "$list" >/dev/null ||
      fail "the archive holds $(tr '\n' ' ' <"$list")"
    mkdir -p "$work/$name" && unzip -q -o "$zip" -d "$work" || fail "cannot unzip"
    local dir="$work/$name"
    if [ -f "$dir/README.txt" ]; then
      # Every line of the readme ends with CR LF.
      [ "$(grep -c $'\r$' "$dir/README.txt")" -eq "$(wc -l <"$dir/README.txt")" ] ||
        fail "README.txt has lines without CR LF"
      grep -qF "tarnwk.exe [/s] [/b] [/l|r] [/e:ANSI|UTF8|UTF16LE] [file]" "$dir/README.txt" ||
        fail "README.txt lacks the command-line syntax"
      grep -qi "administrator" "$dir/README.txt" || fail "README.txt says nothing of administrator rights"
      grep -qF "Version $version" "$dir/README.txt" || fail "README.txt does not name version $version"
    fi
    [ -f "$dir/LICENSE.txt" ] && ! grep -q "MIT License" "$dir/LICENSE.txt" &&
      fail "LICENSE.txt is not the MIT licence"
    for exe in tarnwk.exe tarnwkc.exe; do
      # The version record of each program carries the project version. grep reads the whole
      # list (no -q): strings must not end on a closed pipe, which pipefail counts as a failure.
      [ -f "$dir/$exe" ] && { strings -el "$dir/$exe" | grep -x "$version.0" >/dev/null ||
        fail "$exe has no version record $version.0"; }
    done
    # The console program is a console program (PE subsystem 3), the window program is not.
    [ -f "$dir/tarnwkc.exe" ] && ! objdump -p "$dir/tarnwkc.exe" 2>/dev/null |
      grep '^Subsystem[[:space:]]*0*3[[:space:]]' >/dev/null && fail "tarnwkc.exe is no console program"
    check_sums "$preset"
  fi
  if [ "$problems" -eq 0 ]; then passed=$((passed + 1)); echo "  ok"; else failed=$((failed + 1)); fi
}

check_deb() {
  local arch deb root
  arch=$(dpkg --print-architecture)
  deb="$builds/release/packages/tarnwick_${version}_$arch.deb"
  echo "==> $(basename "$deb")"
  problems=0
  if ! build_package release; then
    fail "the package build failed:"; tail -n 20 "$work/release.log"
  elif [ ! -f "$deb" ]; then
    fail "$deb was not made"
  else
    [ "$(dpkg-deb -f "$deb" Package)" = tarnwick ] || fail "the package name is not tarnwick"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package version is not $version"
    [ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "the section is not utils"
    [ "$(dpkg-deb -f "$deb" Maintainer)" = "Tarnwick developers <developers@tarnwick.invalid>" ] ||
      fail "wrong maintainer"
    # Debian's own checks: no error and no warning (information is allowed).
    local findings
    findings=$(lintian --no-tag-display-limit "$deb" 2>&1 | grep -E '^[EW]: ')
    [ -z "$findings" ] || fail "lintian reports: $findings"
    [ -n "$(dpkg-deb -f "$deb" Description)" ] || fail "no description"

    # Exactly these files, nothing else (no test programs, no benchmark).
    dpkg -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/deb.list"
    printf '%s\n' ./usr/bin/tarnwk ./usr/share/bash-completion/completions/tarnwk \
      ./usr/share/doc/tarnwick/changelog.gz ./usr/share/doc/tarnwick/copyright \
      ./usr/share/man/man1/tarnwk.1.gz | sort >"$work/deb.expected"
    diff -u "$work/deb.expected" "$work/deb.list" || fail "the package holds other files than expected"

    root="$work/root"
    mkdir -p "$root"
    if dpkg -x "$deb" "$root"; then
      local shown
      shown=$("$root/usr/bin/tarnwk" --version 2>&1)
      [ "$shown" = "tarnwk $version" ] || fail "tarnwk --version printed '$shown'"

      local page="$root/usr/share/man/man1/tarnwk.1.gz"
      if [ -f "$page" ]; then
        local warnings
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "man reports: $warnings"
        local text
        text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
        for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES FILES; do
          grep -q "^$section" <<<"$text" || fail "the man page has no $section section"
        done
        for option in --silent --backup --include-localhost --remove-localhost --encoding \
          --output --help --version /etc/hosts "$version"; do
          grep -qF -- "$option" <<<"$text" || fail "the man page does not mention $option"
        done
      fi

      local completion="$root/usr/share/bash-completion/completions/tarnwk"
      if [ -f "$completion" ]; then
        bash -n "$completion" || fail "the completion file has a syntax error"
        local offered
        offered=$(bash -c 'source "$1"
          COMP_WORDS=(tarnwk --enc); COMP_CWORD=1; _tarnwk; echo "${COMPREPLY[*]}"
          COMP_WORDS=(tarnwk -e u); COMP_CWORD=2; _tarnwk; echo "${COMPREPLY[*]}"' _ "$completion" 2>&1)
        [ "$offered" = $'--encoding=\nutf8 utf16le' ] || fail "the completion offered: $offered"
      fi
    else
      fail "dpkg -x failed"
    fi
    check_sums release
  fi
  if [ "$problems" -eq 0 ]; then passed=$((passed + 1)); echo "  ok"; else failed=$((failed + 1)); fi
}


check_zip windows-x64 win64
check_zip windows-x86 win32
check_deb

echo "packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
