#!/usr/bin/env bash
# Builds the release packages and checks them as their users' tools would:
# lintian on the .deb, hardening-check on the Linux program, and what a
# Windows user unpacks from the .zip. Installs lintian and devscripts.
set -euo pipefail
cd "$(dirname "$0")/../.."

needed=()
command -v lintian >/dev/null || needed+=(lintian)
command -v hardening-check >/dev/null || needed+=(devscripts)
command -v unzip >/dev/null || needed+=(unzip)
if [ ${#needed[@]} -gt 0 ]; then
  echo "installing: ${needed[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${needed[@]}" >/dev/null
fi

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The package script alone, in a tree as a fresh clone has it (the files git
# tracks, as they are now, and no build): a step that only the full test
# build performs cannot hide there.
mkdir "$work/clone"
git ls-files -z | xargs -0 cp --parents -t "$work/clone"
(cd "$work/clone" && ./scripts/package >/dev/null) || fail "./scripts/package from a clean tree"
cd "$work/clone"

deb=$(echo build/packages/tap-recorder_*.deb)
zip=$(echo build/packages/tap-recorder-*-windows-x86_64.zip)
tgz=$(echo build/packages/tap-recorder-*-Linux.tar.gz)

# No error and no warning; information tags are shown but allowed.
lintian -I --fail-on error,warning "$deb" >"$work/lintian.txt" 2>&1 || fail "lintian"
grep -v 'root privileges' "$work/lintian.txt" || true

dpkg-deb -x "$deb" "$work/deb"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libportaudio2 libpulse0 libsndfile1 libsoundtouch; do
  versioned="(^|, )$library[^,]* \(>= [0-9]"
  [[ "$depends" =~ $versioned ]] || fail "Depends has no versioned $library: $depends"
done
man_footer=$(zcat "$work/deb/usr/share/man/man1/tap-recorder.1.gz" | head -1)
[[ "$man_footer" == *"\"tap-recorder $(sed -n 's/^project(tap_recorder VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)\""* ]] ||
  fail "the manual page gives no version: $man_footer"
for file in usr/bin/tap-recorder usr/share/man/man1/tap-recorder.1.gz usr/share/doc/tap-recorder/copyright \
            usr/share/doc/tap-recorder/changelog.gz; do
  [ -f "$work/deb/$file" ] || fail ".deb has no $file"
done
# Listed to a file first: grep -q stops reading at the first match, and
# tar, cut off, would fail the pipe.
tar -tzf "$tgz" >"$work/tgz.txt"
grep -q 'share/man/man1/tap-recorder\.1\.gz$' "$work/tgz.txt" || fail ".tar.gz has no manual page"

# Debian 12's C start files carry no CET note, so no program linked there
# gets one (hardening-check /bin/ls says the same): the control-flow check
# is made on the project's own objects instead.
hardening-check --nocfprotection "$work/deb/usr/bin/tap-recorder" || fail "hardening-check"
objects=$(ar t build/release/libtap_recorder_core.a | wc -l)
marked=$(readelf -n build/release/libtap_recorder_core.a | grep -c 'x86 feature: IBT, SHSTK' || true)
[ "$objects" -gt 0 ] && [ "$marked" -eq "$objects" ] || fail "$marked of $objects objects built with -fcf-protection"

unzip -q "$zip" -d "$work/zip"
[ "$(cd "$work/zip" && ls | sort | tr '\n' ' ')" = "README.txt tap-recorder.exe " ] || fail ".zip holds $(ls "$work/zip")"
exe="$work/zip/tap-recorder.exe"
! x86_64-w64-mingw32-objdump -h "$exe" | grep -q '\.debug' || fail "tap-recorder.exe has debug sections"
version=$(sed -n 's/^project(tap_recorder VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
resource=$(strings -el "$exe" | tr '\n' ' ')
for value in "ProductName tap-recorder" "ProductVersion $version" "FileDescription Records key taps"; do
  [[ "$resource" == *"$value"* ]] || fail "version resource has no \"$value\""
done
readme="$work/zip/README.txt"
[ "$(grep -c $'\r$' "$readme")" -eq "$(wc -l < "$readme")" ] || fail "README.txt has lines without CR LF"
[ "$(head -1 "$readme")" = "tap-recorder $version for Windows"$'\r' ] || fail "README.txt does not start for Windows"
first_linux=$(grep -n -m1 -i 'linux' "$readme" | cut -d: -f1)
first_exit=$(grep -n -m1 '^Exit codes' "$readme" | cut -d: -f1)
[ "$first_exit" -lt "$first_linux" ] || fail "README.txt speaks of Linux before the Windows user's exit codes"

if [ "$failures" -gt 0 ]; then
  echo "packages: $failures check(s) failed"
  exit 1
fi
echo "packages: lintian, hardening-check, manual page, .tar.gz and .zip contents: all passed"
