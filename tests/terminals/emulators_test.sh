#!/usr/bin/env bash
# Runs the built program in real terminal emulators under Xvfb and types at
# it with real X key events (xdotool, through XTEST), as a user would: the
# answer to each key, a held-down arrow, and the terminal's mode after the
# exit against its mode before. Exit 77 (skipped) when Xvfb, xdotool or no
# emulator is installed; the test command installs them and sets
# TAP_RECORDER_REQUIRE_EMULATORS, and then an emulator that does not start
# fails the test.
#   emulators_test.sh PATH/TO/tap-recorder
set -uo pipefail
program=$(realpath "$1")
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null && continue
  echo "${TAP_RECORDER_REQUIRE_EMULATORS:+FAIL}${TAP_RECORDER_REQUIRE_EMULATORS:-SKIP}: no $tool"
  [ -n "${TAP_RECORDER_REQUIRE_EMULATORS:-}" ] && exit 1
  exit 77
done

work=$(mktemp -d)
display=:$((90 + RANDOM % 400))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  kill "$xvfb" 2>/dev/null
  pkill -f "tap-recorder-emulator-$$" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 100); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.05; done

failures=0
tested=0
OTHER="何らかのキーが押されました"

answers() { grep -c "$1" "$run/out.txt" 2>/dev/null || true; }
lines() { wc -l < "$run/out.txt" 2>/dev/null || echo 0; }
wait_for_lines() {  # COUNT: until out.txt has that many lines, or 5 s
  for _ in $(seq 100); do [ "$(lines)" -ge "$1" ] && return 0; sleep 0.05; done
  return 1
}

# KEY EXPECTED: one key, and the one line it must be answered with ("" for none).
press() {
  local before
  before=$(lines)
  xdotool key --clearmodifiers "$1"
  if [ -z "$2" ]; then
    sleep 0.3
    [ "$(lines)" -eq "$before" ] || { echo "FAIL: $name: $1 was answered: $(tail -n +$((before + 1)) "$run/out.txt")"; return 1; }
    return 0
  fi
  wait_for_lines $((before + 1)) || { echo "FAIL: $name: $1 got no answer"; return 1; }
  sleep 0.1
  local got
  got=$(tail -n +$((before + 1)) "$run/out.txt")
  [ "$got" = "$2" ] || { echo "FAIL: $name: $1 answered '$got', not '$2'"; return 1; }
}

# NAME COMMAND...: the emulator runs the program through a shell that notes
# the terminal's mode before and after, and the exit code.
try_emulator() {
  name=$1
  shift
  if ! command -v "$1" >/dev/null; then
    echo "not installed: $name"
    [ -z "${TAP_RECORDER_REQUIRE_EMULATORS:-}" ] || failures=$((failures + 1))
    return 0
  fi
  run="$work/$name"
  mkdir -p "$run"
  # VTE sets IUTF8 on its terminal a moment after the shell starts: the mode
  # before is read once the emulator has settled.
  # Mouse tracking is left on, as a program that crashed would leave it: a
  # click must be no key.
  printf '#!/bin/sh\ncd "%s"\nsleep 1\nstty -g > before\nprintf "\\033[?1000h"\n"%s" > out.txt\necho $? > exit\nprintf "\\033[?1000l"\nstty -g > after\nsleep 30\n' \
    "$run" "$program" > "$run/run.sh"
  chmod +x "$run/run.sh"
  "$@" "$run/run.sh" >/dev/null 2>&1 &
  local emulator=$!
  for _ in $(seq 200); do grep -q "終了時にENTERで出力します" "$run/out.txt" 2>/dev/null && break; sleep 0.05; done
  if ! grep -q "終了時にENTERで出力します" "$run/out.txt" 2>/dev/null; then
    echo "did not start here: $name"
    # Where the test command installed the emulators, one that does not start
    # is a failure, not a skip.
    [ -z "${TAP_RECORDER_REQUIRE_EMULATORS:-}" ] || failures=$((failures + 1))
    kill "$emulator" 2>/dev/null
    return 0
  fi
  tested=$((tested + 1))
  local window
  window=$(xdotool search --sync --limit 1 --name "tap-recorder-emulator-$$" 2>/dev/null | head -1)
  [ -n "$window" ] && xdotool windowfocus --sync "$window" 2>/dev/null
  sleep 0.3
  local ok=0
  press Return "計測開始！" || ok=1
  press Left "←が押されました" || ok=1
  press Down "↓が押されました" || ok=1
  press Up "↑が押されました" || ok=1
  press Right "→が押されました" || ok=1
  press space "SPACEが押されました" || ok=1
  press shift+Left "←が押されました" || ok=1
  press shift+Right "→が押されました" || ok=1
  press ctrl+Left "$OTHER" || ok=1
  press alt+Left "$OTHER" || ok=1
  press ctrl+Up "$OTHER" || ok=1
  press F1 "$OTHER" || ok=1
  press shift+F5 "$OTHER" || ok=1
  press ctrl+F5 "$OTHER" || ok=1
  press Home "$OTHER" || ok=1
  press End "$OTHER" || ok=1
  press KP_Left "←が押されました" || ok=1   # the keypad's arrows with Num Lock off
  press KP_Up "↑が押されました" || ok=1
  press Escape "$OTHER" || ok=1
  press Insert "$OTHER" || ok=1
  press shift+Delete "$OTHER" || ok=1
  press ctrl+End "$OTHER" || ok=1
  press alt+space "SPACEが押されました" || ok=1  # xterm's eight-bit Alt sends U+00A0
  press Shift_L "" || ok=1                   # a modifier alone
  press Control_L "" || ok=1
  local before_click
  before_click=$(lines)
  xdotool mousemove --window "$window" 40 40 click 1
  sleep 0.4
  [ "$(lines)" -eq "$before_click" ] || { echo "FAIL: $name: a mouse click was answered"; ok=1; }
  # A held-down arrow: one answer per repeat, each recorded.
  local held_before
  held_before=$(answers "→が押されました")
  xdotool keydown Right
  sleep 1
  xdotool keyup Right
  sleep 0.3
  local held=$(( $(answers "→が押されました") - held_before ))
  [ "$held" -ge 3 ] || { echo "FAIL: $name: a held arrow gave $held answers"; ok=1; }
  [ "$(answers "$OTHER")" -eq 12 ] || { echo "FAIL: $name: $(answers "$OTHER") other-key answers, not 12"; ok=1; }
  press Return "ENTERが押されました" >/dev/null
  wait_for_lines $(( $(lines) + 15 ))
  xdotool key Return
  for _ in $(seq 100); do [ -s "$run/after" ] && break; sleep 0.05; done
  [ "$(cat "$run/exit" 2>/dev/null)" = "0" ] || { echo "FAIL: $name: exit $(cat "$run/exit" 2>/dev/null)"; ok=1; }
  [ -s "$run/after" ] && [ "$(cat "$run/before")" = "$(cat "$run/after")" ] ||
    { echo "FAIL: $name: the terminal's mode changed: $(cat "$run/before") to $(cat "$run/after" 2>/dev/null)"; ok=1; }
  local right
  right=$(grep -a '^&down_data=' "$run/ved.txt" | tr -d '\r' | sed 's/^&down_data=//' | tr ',' '\n' | grep -c . || true)
  [ "$right" -eq "$(answers "→が押されました")" ] || { echo "FAIL: $name: $right Right taps in ved.txt"; ok=1; }
  kill "$emulator" 2>/dev/null
  if [ "$ok" -eq 0 ]; then echo "PASS: $name ($held answers to a held arrow)"; else failures=$((failures + 1)); fi
}

title="tap-recorder-emulator-$$"
try_emulator xterm xterm -title "$title" -geometry 100x40 -e
try_emulator urxvt urxvt -title "$title" -geometry 100x40 -e
try_emulator st st -t "$title" -g 100x40 -e
try_emulator sakura sakura -t "$title" -e

[ "$tested" -gt 0 ] || [ -n "${TAP_RECORDER_REQUIRE_EMULATORS:-}" ] || { echo "SKIP: no emulator started"; exit 77; }
[ "$failures" -eq 0 ] || exit 1
echo "emulators: $tested tested, all passed"
