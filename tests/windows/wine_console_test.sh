#!/usr/bin/env bash
# Runs tap-recorder.exe under Wine with Wine's console attached to a tmux
# pane, types at it with tmux send-keys as a user would, and checks the
# dialogue on the screen, the exit code and the bytes of ved.txt.
#   wine_console_test.sh PATH/TO/tap-recorder.exe WINEPREFIX
source "$(dirname "$0")/wine_tmux.sh"

start_in_pane "wine '$exe'"
wait_for "終了時にENTERで出力します" 120
keys Left Space x            # before the start: no answer, nothing recorded
sleep 0.5
keys Enter
wait_for "計測開始！" 10
keys Left
wait_for "←が押されました" 10
keys Down Up Right Space S-Left
wait_for "←が押されました" 10 2
keys C-Left M-Left F1
wait_for "何らかのキーが押されました" 10 3
keys Enter
wait_for "ENTERで終了します" 10
keys Enter
[ "$(wait_exit 10)" = "EXIT=0" ] || fail "exit: $(cat "$work/exit")"

# The dialogue from the start line on, exactly (chart values vary with timing).
got=$(screen | sed -n '/計測開始！/,/終了！/p' | sed -E 's/^(&(left|down|up|right|space)_data=)[0-9,]*$/\1N/')
expected=$(cat <<'LINES'
計測開始！
←が押されました
↓が押されました
↑が押されました
→が押されました
SPACEが押されました
←が押されました
何らかのキーが押されました
何らかのキーが押されました
何らかのキーが押されました
ENTERが押されました
Can Open File
&left_data=N
&down_data=N
&up_data=N
&right_data=N
&space_data=N
&frzLeft_data=
&frzDown_data=
&frzUp_data=
&frzRight_data=
&frzSpace_data=
&stop_data=
&speed_data=
&tuning=Name
That's All !!
ENTERで終了します
終了！
LINES
)
[ "$got" = "$expected" ] || fail "dialogue differs: $(diff <(echo "$expected") <(echo "$got"))"
[ "$(screen | grep -c 'が押されました' || true)" -eq 10 ] || fail "keys before the start were answered"

# ved.txt: thirteen CR LF lines; one tap in each lane but two in Up (Left, Shift+Left).
chart="$work/ved.txt"
[ -f "$chart" ] || fail "no ved.txt"
[ "$(tr -cd '\r' < "$chart" | wc -c)" -eq 13 ] || fail "not 13 CR: $(od -c "$chart" | head)"
[ "$(wc -l < "$chart")" -eq 13 ] || fail "not 13 lines"
grep -qxP '&left_data=\d+\r' "$chart" || fail "left_data"
grep -qxP '&down_data=\d+\r' "$chart" || fail "down_data"
grep -qxP '&up_data=\d+,\d+\r' "$chart" || fail "up_data"
grep -qxP '&right_data=\d+\r' "$chart" || fail "right_data"
grep -qxP '&space_data=\d+\r' "$chart" || fail "space_data"
[ "$(tail -c 14 "$chart")" = $'&tuning=Name\r' ] || fail "last line: $(tail -c 14 "$chart" | od -c)"
# The console showed the same lines as the file holds.
[ "$(screen | sed -n '/^Can Open File$/,/^&tuning=Name$/p' | tail -n 13)" = "$(tr -d '\r' < "$chart")" ] ||
  fail "console and file differ"
echo "PASS: dialogue, lanes, exit code and ved.txt under Wine"
