#!/usr/bin/env bash
# When ved.txt cannot be opened, a console window of the program's own (no
# other process attached, as after a double-click) keeps the chart on the
# screen until ENTER; started from cmd, the program ends at once. Wine's
# console in a tmux pane has the program alone on it unless cmd runs it.
#   wine_own_window_test.sh PATH/TO/tap-recorder.exe WINEPREFIX
source "$(dirname "$0")/wine_tmux.sh"

for start in own cmd; do
  rm -rf "$work/exit" "$work/ved.txt"
  mkdir "$work/ved.txt"
  tmux -L "$sock" kill-server 2>/dev/null || true
  sock=tap-recorder-wine-$$-$start
  if [ "$start" = own ]; then start_in_pane "wine '$exe'"; else start_in_pane "wine cmd /c 'Z:${exe//\//\\}'"; fi
  wait_for "終了時にENTERで出力します" 120
  keys Enter
  wait_for "計測開始！" 10
  keys Space Enter
  wait_for "&tuning=Name" 10
  if [ "$start" = own ]; then
    wait_for "ENTERで終了します" 10
    sleep 0.5
    [ ! -f "$work/exit" ] || fail "own window: ended without waiting for ENTER"
    keys Enter
  fi
  [ "$(wait_exit 10)" = "EXIT=1" ] || fail "$start: exit $(cat "$work/exit")"
  [ "$start" = own ] || ! screen | grep -q "ENTERで終了します" || fail "from cmd: waited for ENTER"
  echo "PASS: $start window: Don't open, exit 1"
done
