#!/usr/bin/env bash
# The simulated camera and the microphone processing at the command line:
# `qk0340 sim` writes what the camera and its microphones deliver, `qk0340
# dsp run` cleans a sound file written by another tool (ffmpeg here); every
# bad argument or file is refused with a message, never a crash.
# Usage: sim_dsp_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
command -v ffmpeg >/dev/null || { echo "FAIL: ffmpeg is missing (scripts/deps.sh installs it)"; exit 1; }
# wav FILE ENTRY: one entry of the first audio stream as ffprobe reads it.
wav() { ffprobe -v error -select_streams a:0 -show_entries "stream=$2" -of csv=p=0 "$1"; }

# ---- The camera on its own -------------------------------------------------------------
ok "describe" sim describe
contains "describe" "bDeviceClass              239"
ok "stream" sim stream --seconds 0.2 --out "$WORK/stream"
contains "stream" "frames reassembled (0 damaged)"
[ -s "$WORK/stream/payloads.bin" ] || fail "stream: no payloads.bin"
[ -n "$(ls "$WORK/stream"/frame_*.jpg 2>/dev/null)" ] || fail "stream: no frames"
frame=$(ls "$WORK/stream"/frame_*.jpg | head -1)
[ "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 "$frame")" = "640,480" ] ||
  fail "stream: ffprobe reads $frame as $(ffprobe -v error -show_entries stream=width,height -of csv=p=0 "$frame")"
refused_saying "a size the camera lacks" "the camera offers no mjpeg 7x3" sim stream --size 7x3 --out "$WORK/s2"

ok "sound" sim sound --seconds 1 --out "$WORK/mics.wav"
[ "$(wav "$WORK/mics.wav" sample_rate,channels)" = "16000,2" ] || fail "sound: $(wav "$WORK/mics.wav" sample_rate,channels)"
refused_saying "negative length" "--seconds must be positive" sim sound --seconds -1 --out "$WORK/x.wav"
echo "not a sound file" >"$WORK/junk.wav"
refused_saying "damaged source" "cannot read sound file" sim sound --source "wav:$WORK/junk.wav" --out "$WORK/x.wav"

# ---- The microphone processing on a file ffmpeg wrote ----------------------------------------
ffmpeg -v error -f lavfi -i "sine=frequency=440:sample_rate=16000" -t 1 -ac 2 -c:a pcm_s16le "$WORK/tone.wav"
for feature in noiseguard bfa bfa3; do
  ok "$feature" dsp run --feature "$feature" --in "$WORK/tone.wav" -o "$WORK/$feature.wav"
  [ "$(wav "$WORK/$feature.wav" sample_rate,channels)" = "16000,1" ] ||
    fail "$feature: $(wav "$WORK/$feature.wav" sample_rate,channels)"
done
# What the microphones delivered goes through the whole chain too.
ok "bfa3 on the camera's microphones" dsp run --feature bfa3 --in "$WORK/mics.wav" -o "$WORK/mics-bfa3.wav"
contains "bfa3 on the camera's microphones" "16000 frames at 16000 Hz"
refused_saying "unknown feature" "unknown feature 'bogus'" dsp run --feature bogus --in "$WORK/tone.wav" -o "$WORK/x.wav"
refused_saying "not a sound file" "Format not recognised" dsp run --feature noiseguard --in "$WORK/junk.wav" -o "$WORK/x.wav"
refused_saying "missing file" "No such file" dsp run --feature noiseguard --in "$WORK/missing.wav" -o "$WORK/x.wav"
[ -e "$WORK/x.wav" ] && fail "a refused run wrote its output"
finish
