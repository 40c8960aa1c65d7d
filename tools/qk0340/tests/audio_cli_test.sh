#!/usr/bin/env bash
# The camera's microphone at the command line: `qk0340 audio` lists the audio
# devices, records through the USB audio function driver and K0340Aud into
# WAV files that ffmpeg reads, and switches the filter's features, which stay
# switched in the root's registry for the next run; every bad argument is
# refused with a message, never a crash.
# Usage: audio_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
command -v ffmpeg >/dev/null || { echo "FAIL: ffmpeg is missing (scripts/deps.sh installs it)"; exit 1; }
wav() { ffprobe -v error -select_streams a:0 -show_entries "stream=$2" -of csv=p=0 "$1"; }
# mean FILE: the mean volume in dB as ffmpeg measures it.
mean() { ffmpeg -hide_banner -nostats -i "$1" -af volumedetect -f null - 2>&1 | sed -n 's/.*mean_volume: \(-*[0-9.]*\) dB/\1/p'; }

ok "devices" audio --root "$R" devices
contains "devices" "USB\\VID_FA57&PID_0340&MI_02"
contains "devices" "capture: 2 channel(s), 16-bit, 8000-48000 Hz"
contains "devices" "K0340Aud: 1 device(s) filtered"
contains "devices" "bfa3       on"

ok "record" audio --root "$R" record --seconds 1 -o "$WORK/default.wav"
contains "record" "recorded 16000 frames at 16000 Hz, 2 channel(s)"
[ "$(wav "$WORK/default.wav" sample_rate,channels,duration)" = "16000,2,1.000000" ] ||
  fail "record: ffprobe reads $(wav "$WORK/default.wav" sample_rate,channels,duration)"
ok "record at 48000 Hz" audio --root "$R" record --seconds 0.5 --rate 48000 -o "$WORK/48k.wav"
[ "$(wav "$WORK/48k.wav" sample_rate,channels,duration)" = "48000,2,0.500000" ] ||
  fail "48000 Hz: ffprobe reads $(wav "$WORK/48k.wav" sample_rate,channels,duration)"

# With every feature off the filter passes the microphones through: a tone
# ffmpeg wrote comes back at its own level.
ok "features off" audio --root "$R" features noiseguard=off bfa3=off bfa=off
contains "features off" "noiseguard off"
contains "features off" "bfa3       off"
ok "features persist" audio --root "$R" features
contains "features persist" "bfa3       off"
ffmpeg -v error -f lavfi -i "sine=frequency=300:sample_rate=16000" -t 2 -ac 2 -c:a pcm_s16le "$WORK/tone.wav"
ok "record a tone" audio --root "$R" --source "wav:$WORK/tone.wav" record --seconds 1 -o "$WORK/tone-out.wav"
in=$(mean "$WORK/tone.wav"); out=$(mean "$WORK/tone-out.wav")
awk -v a="$in" -v b="$out" 'BEGIN { d = a - b; exit !(d < 0.5 && d > -0.5) }' ||
  fail "the tone went in at $in dB and came out at $out dB"
# Mono from the same: the average of the two microphones.
ok "record mono" audio --root "$R" --source "wav:$WORK/tone.wav" record --seconds 1 --channels 1 -o "$WORK/mono.wav"
[ "$(wav "$WORK/mono.wav" channels)" = "1" ] || fail "mono: $(wav "$WORK/mono.wav" channels) channels"
ok "features back on" audio --root "$R" features bfa3=on noiseguard=on
contains "features back on" "bfa3       on"

# The control device while a recording runs: the meter moves, the stream's events come.
ok "levels" audio --root "$R" levels --seconds 0.5
contains "levels" "capture peak"
grep -q "capture peak [1-9]" "$WORK/out" || fail "levels: the meter never moved: $(cat "$WORK/out")"
ok "events" audio --root "$R" events --seconds 0.3
contains "events" "capture started (1)"
contains "events" "capture stopped (3)"

# A call: the far end through the headset's loudspeaker, its echo cancelled.
ffmpeg -v error -f lavfi -i "anoisesrc=color=pink:sample_rate=8000:amplitude=0.2" -t 3 -ac 1 -c:a pcm_s16le "$WORK/far.wav"
ok "headset" audio --root "$R" --headset devices
contains "headset" "USB\VID_FA05&PID_0001"
contains "headset" "render:  2 channel(s), 16-bit, 8000-48000 Hz"
ok "echoquell on" audio --root "$R" --no-camera --headset features echoquell=on
contains "echoquell on" "echoquell  on"
ok "call" audio --root "$R" --no-camera --headset call --far "$WORK/far.wav" -o "$WORK/call.wav"
contains "call" "call at 8000 Hz: played 24000 frames, recorded 24000"
contains "call" "echo canceller: delay"
[ "$(wav "$WORK/call.wav" sample_rate,channels)" = "8000,2" ] || fail "call: $(wav "$WORK/call.wav" sample_rate,channels)"
echo "not a sound file" >"$WORK/junk.wav"
refused_saying "call with a damaged far end" "cannot read sound file" audio --root "$R" --headset call --far "$WORK/junk.wav" -o "$WORK/x.wav"
refused_saying "call without a far end" "--far is required" audio --root "$R" --headset call -o "$WORK/x.wav"

# Every kind of microphone the filter has a profile for, plugged beside the
# camera: each recognised with its profile; alone, each shows what can be
# switched on there.
ok "all profiles" audio --root "$WORK/profiles" --plug sibling --plug d9 --plug d10 --plug usbmic devices
contains "all profiles" "K0340Aud: 5 device(s) filtered"
contains "all profiles" "VID_FA57 PID_0340, profile the camera"
contains "all profiles" "VID_FFFF PID_0341, profile off"
contains "all profiles" "VID_FA04 PID_0009, profile partner D, product 9"
contains "all profiles" "VID_FA04 PID_000A, profile partner D, product 10"
contains "all profiles" "VID_FB10 PID_0001, profile other USB device"
ok "off: nothing goes on" audio --root "$WORK/off" --no-camera --plug sibling features noiseguard=on bfa3=on
contains "off: nothing goes on" "noiseguard off"
contains "off: nothing goes on" "bfa3       off (not available)"
ok "d9: echoquell" audio --root "$WORK/d9" --no-camera --plug d9 features echoquell=on
contains "d9: echoquell" "echoquell  on"
ok "d10: no echoquell" audio --root "$WORK/d10" --no-camera --plug d10 features echoquell=on
contains "d10: no echoquell" "echoquell  off (not available)"
ok "unknown: bfa3 unavailable" audio --root "$WORK/usbmic" --no-camera --plug usbmic features bfa3=on
contains "unknown: bfa3 unavailable" "bfa3       off (not available)"
# The sibling's recording is the device's own: a tone comes back at its level.
ok "sibling records" audio --root "$WORK/off" --no-camera --plug sibling --source "wav:$WORK/tone.wav" record --seconds 1 -o "$WORK/sib.wav"
in=$(mean "$WORK/tone.wav"); out=$(mean "$WORK/sib.wav")
awk -v a="$in" -v b="$out" 'BEGIN { d = a - b; exit !(d < 0.5 && d > -0.5) }' ||
  fail "the sibling's tone went in at $in dB and came out at $out dB"
refused_saying "an unknown kind of device" "unknown device 'bogus'" audio --root "$R" --plug bogus devices

# The array codec on the high-definition audio bus: no USB device, so the
# array-codec profile; it records through the filter in the installed format,
# and its switches go to the array settings key, not the camera's.
ok "codec" audio --root "$WORK/codec" --no-camera --plug codec devices
contains "codec" "HDAUDIO\\FUNC_01&VEN_FB20&DEV_0A20"
contains "codec" "capture: 2 channel(s), 16-bit, 16000-48000 Hz"
contains "codec" "render:  2 channel(s), 16-bit, 16000-48000 Hz"
contains "codec" "VID_8086 PID_0000, profile array codec"
contains "codec" "array codec: present, beam array not installed"
contains "codec" "bfa3       on"
contains "codec" "echoquell  off"
ok "codec records" audio --root "$WORK/codec" --no-camera --plug codec record --seconds 0.5 --rate 48000 -o "$WORK/codec.wav"
[ "$(wav "$WORK/codec.wav" sample_rate,channels,duration)" = "48000,2,0.500000" ] ||
  fail "codec: ffprobe reads $(wav "$WORK/codec.wav" sample_rate,channels,duration)"
ok "codec: noiseguard on" audio --root "$WORK/codec" --no-camera --plug codec features noiseguard=on
contains "codec: noiseguard on" "noiseguard on"
ok "codec: array settings key" reg query --root "$WORK/codec" 'HKLM\Software\Halvard Electronics\Driver\Settings'
contains "codec: array settings key" "NoiseGuard"
ok "codec: camera's settings key" reg query --root "$WORK/codec" 'HKLM\Software\Lumora Tech\Web Cameras\QK0340\AudioFilter'
if grep -q "NoiseGuard" "$WORK/out"; then fail "the codec's switch reached the camera's settings key: $(cat "$WORK/out")"; fi

# Speech scenes (espeak-ng) through the driver against the stages alone: the
# same figures, and NoiseGuard's output the stages' to the rounding.
ok "speech scenes" dsp eval --speech --seconds 3
contains "speech scenes" "noise reduction in the talker's pauses"
contains "speech scenes" "second talker below the beam"
awk '/^NoiseGuard/ && /driver against/ { if ($NF + 0 > -60) bad = 1; n++ } END { exit bad || n != 2 }' "$WORK/out" ||
  fail "speech scenes: NoiseGuard through the driver is not the stages' output: $(cat "$WORK/out")"
awk '/^BFA3/ && /below the beam/ { d = $(NF-1) - $NF; if (d > 0.5 || d < -0.5 || $NF + 0 < 10) bad = 1; n++ } END { exit bad || n != 2 }' "$WORK/out" ||
  fail "speech scenes: BFA3's beam through the driver: $(cat "$WORK/out")"
awk '/^EchoQuell/ && /return loss/ { if ($(NF-1) + 0 < 20 || $NF + 0 < 20) bad = 1; n++ } END { exit bad || n != 1 }' "$WORK/out" ||
  fail "speech scenes: the echo of a far end of speech is not cancelled: $(cat "$WORK/out")"
QK_ESPEAK_NG=/nonexistent ok "speech scenes without espeak-ng" dsp eval --speech --seconds 3
contains "speech scenes without espeak-ng" "speech scenes skipped: espeak-ng is not installed"

refused_saying "mono at 48000 Hz (the filter's rule)" "does not record 48000 Hz with 1 channel" \
  audio --root "$R" record --seconds 1 --rate 48000 --channels 1 -o "$WORK/x.wav"
refused_saying "a rate the device lacks" "does not record 12345 Hz" audio --root "$R" record --rate 12345 -o "$WORK/x.wav"
refused_saying "no such device" "there is no device 3" audio --root "$R" record --device 3 -o "$WORK/x.wav"
refused_saying "three channels" "--channels must be 1 or 2" audio --root "$R" record --channels 3 -o "$WORK/x.wav"
refused_saying "negative length" "--seconds must be positive" audio --root "$R" record --seconds -1 -o "$WORK/x.wav"
refused_saying "no output" "--out is required" audio --root "$R" record
refused_saying "unknown feature" "unknown feature 'bogus'" audio --root "$R" features bogus=on
refused_saying "bad switch" "say NAME=on or NAME=off" audio --root "$R" features bfa3=maybe
refused_saying "no camera: nothing to record" "no audio device is there" audio --root "$R" --no-camera record -o "$WORK/x.wav"
refused_saying "no camera: no control device" "control device is not there" audio --root "$R" --no-camera features
echo "not a sound file" >"$WORK/junk.wav"
refused_saying "damaged source" "cannot read sound file" audio --root "$R" --source "wav:$WORK/junk.wav" devices
refused_saying "unknown source" "unknown source 'radio'" audio --root "$R" --source radio devices
refused_saying "unwritable output" "cannot write" audio --root "$R" record --seconds 0.1 -o "$WORK/no/such/dir/x.wav"
[ -e "$WORK/x.wav" ] && fail "a refused run wrote its output"
finish
