#!/usr/bin/env bash
# The audio effects library at the command line: its effects and each audio
# device's choice on an installed root, kept between runs; effects run over a
# sound file ffmpeg wrote and read back by ffprobe; bad arguments refused.
# Usage: afx_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
command -v ffmpeg >/dev/null || { echo "FAIL: ffmpeg is missing (scripts/deps.sh installs it)"; exit 1; }

refused_saying "no root" "" afx list --root "$WORK/none"
ok "install" install --root "$R"
ok "list" afx list --root "$R"
contains "list" "QK0340 Microphone: effects off"
contains "list" "Concert Hall"
ok "set" afx set --root "$R" --effect telephone
ok "list after set" afx list --root "$R"
contains "list after set" "effects on"
contains "list after set" "* telephone"
ok "another device" afx list --root "$R" --device "USB Microphone"
contains "another device" "effects off"
ok "off" afx set --root "$R" --off
ok "list after off" afx list --root "$R"
contains "list after off" "effects off"
contains "list after off" "* telephone"
refused_saying "unknown effect" "no effect named \"nope\"" afx set --root "$R" --effect nope
refused_saying "on and off" "exclude each other" afx set --root "$R" --on --off
refused_saying "long device name" "1 to 259 characters" afx list --root "$R" --device "$(printf 'x%.0s' $(seq 300))"

ffmpeg -v error -f lavfi -i "sine=frequency=1000:sample_rate=48000" -t 1 -ac 2 -c:a pcm_s16le "$WORK/tone.wav"
for effect in robot telephone hall underwater; do
  ok "$effect" afx apply "$WORK/tone.wav" "$WORK/$effect.wav" --effect "$effect"
  contains "$effect" "48000 frames"
  [ "$(ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels -of csv=p=0 "$WORK/$effect.wav")" = "48000,2" ] ||
    fail "$effect: ffprobe reads $(ffprobe -v error -show_entries stream=sample_rate,channels -of csv=p=0 "$WORK/$effect.wav")"
done
cmp -s "$WORK/tone.wav" "$WORK/hall.wav" && fail "the hall left the tone as it was"
echo "not a sound file" >"$WORK/junk.wav"
cp "$WORK/hall.wav" "$WORK/keep.wav"
refused_saying "not a sound file" "cannot read" afx apply "$WORK/junk.wav" "$WORK/keep.wav" --effect hall
cmp -s "$WORK/hall.wav" "$WORK/keep.wav" || fail "a refused run touched the existing output"
ffmpeg -v error -f lavfi -i "sine=frequency=1000:sample_rate=4000" -t 0.2 -c:a pcm_s16le "$WORK/low.wav"
refused_saying "a rate below the range" "8000 to 192000 Hz" afx apply "$WORK/low.wav" "$WORK/x.wav" --effect hall
[ -e "$WORK/x.wav" ] && fail "a refused run wrote its output"
finish
