# Sourced by the Wine session tests: runs a command line in a tmux pane with
# Wine's console attached to it, and reads and types at that pane.
#   start_in_pane COMMAND  (runs in $work, writes its exit code to $work/exit)
set -euo pipefail
exe=$(realpath "$1")
prefix=$(realpath -m "$2")
work=$(mktemp -d)
sock=tap-recorder-wine-$$
cleanup() {
  tmux -L "$sock" kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start_in_pane() {
  tmux -L "$sock" new-session -d -x 120 -y 80 \
    "cd '$work' && LANG=C.UTF-8 WINEPREFIX='$prefix' WINEDEBUG=-all $1; echo \"EXIT=\$?\" > '$work/exit'; sleep 600"
}
screen() { tmux -L "$sock" capture-pane -p -J -S -300; }
keys() { tmux -L "$sock" send-keys "$@"; }
fail() {
  echo "FAIL: $*"
  echo "--- screen ---"
  screen
  exit 1
}
wait_for() {  # TEXT SECONDS [COUNT]
  local want=${3:-1}
  for ((i = 0; i < $2 * 20; i++)); do
    [ "$(screen | grep -cF -- "$1" || true)" -ge "$want" ] && return 0
    sleep 0.05
  done
  fail "waited $2 s for ${want}x '$1'"
}
wait_exit() {  # SECONDS; prints the exit line
  for ((i = 0; i < $1 * 20; i++)); do
    [ -f "$work/exit" ] && { cat "$work/exit"; return 0; }
    sleep 0.05
  done
  fail "the program did not end"
}
