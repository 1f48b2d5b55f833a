#!/usr/bin/env bash
# With no console to read keys from, the program ends at once with a
# one-line message on standard error and exit code 2.
#   wine_no_console_test.sh PATH/TO/tap-recorder.exe WINEPREFIX
set -uo pipefail
exe=$(realpath "$1")
export WINEPREFIX=$(realpath -m "$2") WINEDEBUG=-all
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
timeout 60 setsid -w wine "$exe" < /dev/null > out.txt 2> err.txt
status=$?
grep -v -e wine32 -e multiarch -e 'dpkg --add' -e 'apt-get install' err.txt > message.txt
expected='tap-recorder: no terminal to read keys from (opening the console input CONIN$ failed, error 6)'
[ "$status" -eq 2 ] || { echo "FAIL: exit $status"; cat err.txt; exit 1; }
[ "$(tr -d '\r' < message.txt)" = "$expected" ] || { echo "FAIL: message:"; cat -A message.txt; exit 1; }
[ ! -s out.txt ] || { echo "FAIL: standard output not empty"; od -c out.txt | head; exit 1; }
[ ! -e ved.txt ] || { echo "FAIL: ved.txt written"; exit 1; }
echo "PASS: no console gives exit 2 and one line on standard error"
