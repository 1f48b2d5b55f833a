#!/usr/bin/env bash
# The song on Windows, under Wine, through a PulseAudio server of the test's
# own with a null sink: each format plays (the sink's monitor hears the
# clicks) and taps made right after each click was heard land in the frames
# of the song time heard; with no audio server, and without Media
# Foundation, the clear errors; a review of a chart; Ctrl+C, Ctrl+Break and
# a close of the window with the song playing.
#   wine_song_test.sh TAP_RECORDER_EXE CONSOLE_EVENTS_TEST_EXE WINEPREFIX
source "$(dirname "$0")/wine_tmux.sh"
events_exe=$(realpath "$2")
prefix=$(realpath -m "$3")
here=$(dirname "$(realpath "$0")")

g++ -std=c++17 -O2 -o "$work/song_helper" "$here/song_helper.cpp" -lsndfile
"$work/song_helper" write "$work"
gst-launch-1.0 -q filesrc location="$work/clicks.wav" ! wavparse ! audioconvert ! avenc_aac ! mp4mux ! \
  filesink location="$work/clicks.m4a"

# The server, stopped by its pid however the test ends.
export HOME=$work XDG_RUNTIME_DIR=$work PULSE_RUNTIME_PATH=$work/pulse
export PULSE_SERVER=unix:$work/pulse.sock WINEPREFIX=$prefix WINEDEBUG=-all
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disable-shm=yes --log-target=file:"$work/pulse.log" \
  -L "module-native-protocol-unix socket=$work/pulse.sock auth-anonymous=1" \
  -L "module-null-sink sink_name=tap rate=48000" &
pulse=$!
listener=
stop_all() {
  [ -z "$listener" ] || kill "$listener" 2>/dev/null || true
  kill "$pulse" 2>/dev/null || true
  wait 2>/dev/null || true
  cleanup
}
trap stop_all EXIT
for ((i = 0; i < 100; i++)); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done

# Wine's clock is only right once the null sink runs at low latency: a
# recording client on its monitor at 5 ms keeps it there, and listens.
sink_latency_us() { pactl list sinks | sed -n 's/.*Latency: \([0-9]*\) usec.*/\1/p' | head -1; }
listen() {  # CLICKS DELAY_MS
  "$work/song_helper" listen "$sock" "$2" "$1" 2>>"$work/helper.log" \
    < <(exec parec -d tap.monitor --latency-msec=5 --format=s16le --rate=48000 --channels=2) &
  listener=$!
  for ((i = 0; i < 100; i++)); do
    l=$(sink_latency_us)
    [ -n "$l" ] && [ "$l" -lt 20000 ] && return 0
    sleep 0.05
  done
  fail "the null sink did not come down to 20 ms (it reports ${l:-nothing} us)"
}

# FILE|ARGUMENTS|CLICKS|DELAY_MS|SPACE_DATA. Taps go DELAY_MS after each
# click reached the monitor: under Wine and PulseAudio a tap reads 6 to
# 14 ms less song time than that (measured), so 25 ms puts it mid-frame.
# A file starting with @ is given as Explorer gives a song dropped on the
# .exe: its whole Windows path. An AAC's decoder leads with 1024 samples, which stay in the song time:
# its clicks are heard at 1023 ms and on.
rows=(
  "clicks.wav||4|25|30,60,90,120"
  "@clicks.flac||4|25|30,60,90,120"
  "clicks.ogg||4|25|30,60,90,120"
  "clicks.mp3||4|25|30,60,90,120"
  "clicks.m4a||4|35|31,61,91,121"
  "centre.wav||4|25|30,60,90,120"
  "clicks.ogg|--start 1.5 --rate 0.5|3|40|60,90,120"
  "clicks.wav|--device 'Null Output'|4|25|30,60,90,120"
)
# One take of a row; false with `why` set when its taps are off. The
# program's faults show in every take; this machine's noise (a late tap
# from tmux or Wine under load) seldom twice, so a row gets three.
play() {  # FILE ARGUMENTS CLICKS DELAY_MS SPACE_DATA ATTEMPT
  local file=$1 args=$2 clicks=$3 delay=$4 expected=$5
  rm -f "$work/exit" "$work/ved.txt"
  sock=tap-recorder-wine-song-$$-${file#*.}-${#args}-$6
  listen "$clicks" "$delay"
  local path=$file
  [ "${file#@}" = "$file" ] || path="Z:${work//\//\\}\\${file#@}"
  start_in_pane "wine '$exe' $args '$path'"
  wait_for "Song: ${file#@} (0:06." 60
  wait_for "ENTERで計測を開始します" 10
  keys Enter
  wait "$listener" || fail "$file $args: the monitor did not hear the song: $(tail -1 "$work/helper.log")"
  listener=
  sleep 0.3
  keys Enter
  wait_for "ENTERで終了します" 10
  keys Enter
  [ "$(wait_exit 10)" = "EXIT=0" ] || fail "$file $args: exit $(cat "$work/exit")"
  got=$(screen | sed -n 's/^&space_data=//p')
  tmux -L "$sock" kill-server 2>/dev/null || true
  why="taps in frames $got, not $expected ($(tail -"$clicks" "$work/helper.log" | tr '\n' ' '))"
  [ "$got" = "$expected" ]
}
# WINE_SONG_SWEEP="0 3 6 ..." measures instead: the WAV row once for each
# delay, its frames printed; where they turn from 29 to 30 and from 30 to 31
# tells how far a tap's song time is from when the click was heard.
if [ -n "${WINE_SONG_SWEEP:-}" ]; then
  for delay in $WINE_SONG_SWEEP; do
    play clicks.wav "" 4 "$delay" - "sweep-$delay" || true
    echo "tap $delay ms after each click: frames $got"
  done
  exit 0
fi
for row in "${rows[@]}"; do
  IFS='|' read -r file args clicks delay expected <<<"$row"
  for attempt in 1 2 3; do
    play "$file" "$args" "$clicks" "$delay" "$expected" "$attempt" && break
    echo "$file $args, take $attempt: $why"
    [ "$attempt" -lt 3 ] || fail "$file $args: $why"
  done
  echo "$file $args: taps in frames $expected"
done

# A review: each note's line as the song reaches it (a hold's once), ENTER
# to stop, and ved.txt only read.
printf '&left_data=15\r\n&space_data=30,45\r\n&frzUp_data=60,75\r\n&tuning=Mine\r\n' >"$work/ved.txt"
cp "$work/ved.txt" "$work/ved.before"
rm -f "$work/exit"
sock=tap-recorder-wine-song-$$-review
start_in_pane "wine '$exe' --review clicks.wav"
wait_for "Review: 4 notes of ved.txt, each heard as a click in the song; nothing is recorded" 60
wait_for "ENTERで計測を開始します" 10
keys Enter
wait_for "←が押されました" 10
sleep 0.5
keys Enter
wait_for "ENTERで終了します" 10
keys Enter
[ "$(wait_exit 10)" = "EXIT=0" ] || fail "--review: exit $(cat "$work/exit")"
shown=$(screen | grep -F 'が押されました' | tr '\n' '|')
[ "$shown" = "↓が押されました|SPACEが押されました|SPACEが押されました|←が押されました|ENTERが押されました|" ] ||
  fail "--review showed: $shown"
cmp -s "$work/ved.txt" "$work/ved.before" || fail "--review changed ved.txt"
[ ! -e "$work/ved.txt~" ] || fail "--review kept a ved.txt~"
tmux -L "$sock" kill-server 2>/dev/null || true
echo "--review: the notes' lines in order, ved.txt as it was"

# The outputs by their friendly names, the default marked: the null sink,
# and Wine's own name for the default.
(cd "$work" && wine "$exe" --list-devices 2>/dev/null) | tr -d '\r' >"$work/devices" ||
  fail "--list-devices: $(cat "$work/devices")"
[ "$(sort "$work/devices" | tr '\n' '|')" = "Null Output|PulseAudio (default)|" ] ||
  fail "--list-devices: $(cat "$work/devices")"
echo "--list-devices: $(tr '\n' '|' <"$work/devices")"

# What cannot be played is told before the console is touched, with the
# exit codes of the POSIX build. Wine's own ALSA driver may say more.
expect_error() {  # CODE LINE COMMAND...
  local code=$1 line=$2 status=0
  shift 2
  (cd "$work" && "$@") >"$work/out" 2>"$work/err.crlf" </dev/null || status=$?
  tr -d "\r" <"$work/err.crlf" >"$work/err"
  [ "$status" = "$code" ] || fail "$*: exit $status, not $code: $(cat "$work/err")"
  grep -qxF "$line" "$work/err" || fail "$*: no '$line' in: $(cat "$work/err")"
  echo "$*: exit $code, $line"
}
expect_error 69 "tap-recorder: no audio output: no output device found" \
  env PULSE_SERVER=unix:$work/nowhere wine "$exe" clicks.wav
expect_error 66 "tap-recorder: cannot play 'missing.mp3': No such file or directory" wine "$exe" missing.mp3
expect_error 66 "tap-recorder: cannot play 'clicks.opus': an Opus file, which this program reads on Linux and macOS only" \
  wine "$exe" clicks.opus
# Cut short (its last page), an Ogg file has no length to tell: it is what
# decodes, short of the whole song's 6 s.
head -c $(($(stat -c %s "$work/clicks.ogg") - 200)) "$work/clicks.ogg" >"$work/cut.ogg"
status=0
(cd "$work" && wine "$exe" --start 9 cut.ogg) >/dev/null 2>"$work/err" </dev/null || status=$?
[ "$status" = 64 ] && tr -d '\r' <"$work/err" | grep -qxE "tap-recorder: --start 9[.]000 s is past the song's end [(][1-5][.][0-9]{3} s[)]" ||
  fail "a cut Ogg file: exit $status: $(cat "$work/err")"
echo "a cut Ogg file: $(tr -d '\r' <"$work/err")"
printf 'OggS%0500d' 0 >"$work/damaged.ogg"
expect_error 66 "tap-recorder: cannot play 'damaged.ogg': not an Ogg Vorbis file this program reads (damaged, or cut short)" \
  wine "$exe" damaged.ogg
# The usage names what this build reads, and no more.
(cd "$work" && wine "$exe" --help 2>/dev/null) | tr -d '\r' | grep -qxF "Songs it reads: WAV, FLAC, Ogg Vorbis, MP3, M4A." ||
  fail "--help does not list the Windows build's song files"
# Without Media Foundation (Windows "N" editions) an MP3 cannot be read,
# and an Ogg Vorbis song still is: it gets as far as the output.
expect_error 66 "tap-recorder: cannot play 'clicks.mp3': this Windows has no Media Foundation: songs other than Ogg Vorbis need the Media Feature Pack" \
  env WINEDLLOVERRIDES=mfplat=d wine "$exe" clicks.mp3
expect_error 69 "tap-recorder: no audio output named 'none' (see --list-devices)" \
  env WINEDLLOVERRIDES=mfplat=d wine "$exe" --device none clicks.ogg

# Console events with the song playing: the chart written, the right exit
# code, and the song and its decoder stopped before the process ends.
for event in ctrl_c ctrl_break close; do
  rm -f "$work/exit" "$work/ved.txt" "$work/result.txt"
  sock=tap-recorder-wine-song-$$-$event
  start_in_pane "wine '$events_exe' $event 'Z:$work' clicks.mp3"
  wait_exit 60 >/dev/null
  grep -q '^PASS' "$work/result.txt" 2>/dev/null || fail "$event with a song: $(cat "$work/result.txt" 2>/dev/null)"
  echo "with a song: $(cat "$work/result.txt")"
  tmux -L "$sock" kill-server 2>/dev/null || true
done
