#!/usr/bin/env bash
# With standard output going to a file, the messages land there as the
# Shift-JIS bytes, lines ended by CR LF; keys still come from the console.
#   wine_redirected_output_test.sh PATH/TO/tap-recorder.exe WINEPREFIX
source "$(dirname "$0")/wine_tmux.sh"

start_in_pane "wine '$exe' > out.txt"
for ((i = 0; i < 2400; i++)); do [ -s "$work/out.txt" ] && break; sleep 0.05; done
sleep 0.5
keys Enter
sleep 0.5
keys Right
sleep 0.3
keys Enter
sleep 0.5
keys Enter
[ "$(wait_exit 20)" = "EXIT=0" ] || fail "exit: $(cat "$work/exit")"

expected_utf8="ENTERで計測を開始します
終了時にENTERで出力します
計測開始！
→が押されました
ENTERが押されました
Can Open File
&left_data=
&down_data=N
&up_data=
&right_data=
&space_data=
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
終了！"
expected=$(printf '%s\n' "$expected_utf8" | iconv -f UTF-8 -t CP932 | sed 's/$/\r/' | od -An -tx1)
got=$(sed -E 's/^(&down_data=)[0-9]+\r$/\1N\r/' "$work/out.txt" | od -An -tx1)
[ "$got" = "$expected" ] || fail "bytes differ: $(diff <(echo "$expected") <(echo "$got") | head)"
echo "PASS: redirected standard output holds the Shift-JIS bytes with CR LF"
