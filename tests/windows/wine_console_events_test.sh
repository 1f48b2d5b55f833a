#!/usr/bin/env bash
# Runs console_events_test.exe under Wine with Wine's console attached to a
# tmux pane, once for each console control event, and once for holds told
# by key-up records.
#   wine_console_events_test.sh PATH/TO/console_events_test.exe WINEPREFIX
source "$(dirname "$0")/wine_tmux.sh"

for event in ctrl_c ctrl_break close holds; do
  rm -f "$work/exit" "$work/ved.txt" "$work/result.txt"
  tmux -L "$sock" kill-server 2>/dev/null || true
  sock=tap-recorder-wine-$$-$event
  start_in_pane "wine '$exe' $event 'Z:$work'"
  wait_exit 60 >/dev/null
  grep -q '^PASS' "$work/result.txt" 2>/dev/null || fail "$event: $(cat "$work/result.txt" 2>/dev/null)"
  cat "$work/result.txt"
done
