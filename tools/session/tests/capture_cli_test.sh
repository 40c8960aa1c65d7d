#!/usr/bin/env bash
# The main job end to end: `qk0340 capture` plugs the simulated camera into a
# fresh system root, streams through the capture driver and writes Y4M files
# and contact sheets; requests the camera cannot meet are refused with what it
# offers, and bad arguments never crash it.
# Usage: capture_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

# header FILE: the first line of a file.
header() { head -n 1 "$1"; }

# byte FILE OFFSET: one byte's value.
byte() { od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '; }

near() {  # near NAME VALUE EXPECTED TOLERANCE
  local d=$(( $2 - $3 )); d=${d#-}
  [ "$d" -le "$4" ] || fail "$1: $2 is not within $4 of $3"
}

# A 64x48 solid red 24-bit BMP (lines bottom-up, B G R), for the camera to film.
le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)))"; }
{
  printf 'BM'; le32 9270; le32 0; le32 54
  le32 40; le32 64; le32 48; printf '\x01\x00\x18\x00'; le32 0; le32 9216; le32 2835; le32 2835; le32 0; le32 0
  for _ in $(seq 3072); do printf '\x00\x00\xff'; done
} >"$WORK/red.bmp"

# A 4:2:0 Y4M of two 32x24 grey frames.
{
  printf 'YUV4MPEG2 W32 H24 F30:1 C420jpeg\n'
  for _ in 1 2; do printf 'FRAME\n'; head -c 1152 /dev/zero | tr '\0' '\200'; done
} >"$WORK/grey.y4m"

# ---- Arguments that are refused before any machine starts -------------------------------------
refused_saying "no output" "output" capture --root "$R"
refused_saying "unknown format" "--format" capture --root "$R" --format nv12 -o "$WORK/x"
refused_saying "bad size" "WIDTHxHEIGHT" capture --root "$R" --size 640-480 -o "$WORK/x"
refused_saying "zero size" "WIDTHxHEIGHT" capture --root "$R" --size 0x480 -o "$WORK/x"
refused_saying "no rate" "--fps" capture --root "$R" --fps 0 -o "$WORK/x"
refused_saying "no frames" "--frames" capture --root "$R" --frames 0 -o "$WORK/x"
refused_saying "no time" "--seconds" capture --root "$R" --seconds -1 -o "$WORK/x"
refused_saying "frames and seconds" "excludes" capture --root "$R" --frames 3 --seconds 1 -o "$WORK/x"
refused_saying "variant 3" "variant" capture --root "$R" --variant 3 -o "$WORK/x"
refused_saying "missing scene" "neither" capture --root "$R" --scene "$WORK/nothing.png" -o "$WORK/x"
head -c 500 /dev/urandom >"$WORK/noise.png"
refused_saying "noise scene" "cannot use the scene" capture --root "$R" --scene "$WORK/noise.png" -o "$WORK/x"
touch "$WORK/plainfile"
refused_saying "root is a file" "system root" capture --root "$WORK/plainfile" --frames 2 -o "$WORK/x"
[ -e "$R" ] && fail "refused arguments created the root"

# ---- The main job --------------------------------------------------------------------------------------
ok "default capture" capture --root "$R" --frames 8 -o "$WORK/cap" --samples "$WORK/samples.csv"
contains "default capture" "installed the QK0340 package into"
contains "default capture" "capturing 8 frames of YUY2 640x480 at 30 fps (AvgTimePerFrame 333333 x 100 ns)"
contains "default capture" "synthetic face scene"
contains "default capture" "frames delivered 8, cancelled "
contains "default capture" "time stamps"
contains "default capture" "the driver's dropped-frames property: picture number"
contains "default capture" "wrote 8 frames to $WORK/cap.y4m (Y4M 4:2:2 (C422)"
contains "default capture" "a contact sheet of 8 frames in $WORK/cap-sheet.png"
[ "$(header "$WORK/cap.y4m")" = "YUV4MPEG2 W640 H480 F30:1 Ip A1:1 C422 XCOLORRANGE=LIMITED" ] ||
  fail "Y4M header: $(header "$WORK/cap.y4m")"
size=$(stat -c %s "$WORK/cap.y4m")
[ "$size" -eq $(( $(header "$WORK/cap.y4m" | wc -c) + 8 * (6 + 640 * 480 * 2) )) ] || fail "Y4M size $size"
[ "$(head -c 8 "$WORK/cap-sheet.png" | od -An -tx1 | tr -d ' ')" = "89504e470d0a1a0a" ] || fail "the contact sheet is no PNG"
# One line per sample: the first three cancelled (the pin's first two and the
# exposure kick), eight delivered, the last of them ending the run.
[ "$(grep -c ',0x00000000,614400,' "$WORK/samples.csv")" -eq 8 ] || fail "samples.csv: $(cat "$WORK/samples.csv")"
[ "$(sed -n 2,4p "$WORK/samples.csv" | cut -d, -f2 | sort -u)" = "0xC0000120" ] || fail "the first samples were not cancelled"
[ "$(tail -n 1 "$WORK/samples.csv" | cut -d, -f2,3)" = "0x00000000,614400" ] || fail "the last sample: $(tail -n 1 "$WORK/samples.csv")"

# The second run finds the package installed.
ok "second run" capture --root "$R" --format rgb24 --size 176x144 --fps 15 --seconds 1 -o "$WORK/small.y4m"
grep -qF "installed the QK0340" "$WORK/out" && fail "installed a second time"
contains "second run" "capturing 15 frames of RGB24 176x144 at 15 fps"
[ "$(header "$WORK/small.y4m")" = "YUV4MPEG2 W176 H144 F15:1 Ip A1:1 C444 XCOLORRANGE=LIMITED" ] ||
  fail "Y4M header: $(header "$WORK/small.y4m")"
[ "$(stat -c %s "$WORK/small.y4m")" -eq $(( $(header "$WORK/small.y4m" | wc -c) + 15 * (6 + 176 * 144 * 3) )) ] ||
  fail "RGB24 Y4M size"

# The picture is the scene's: a red card filmed in YUY2 (BT.601: Y 82, Cb 90, Cr 240) and in RGB24.
ok "red YUY2" capture --root "$R" --size 160x120 --frames 2 --scene "$WORK/red.bmp" -o "$WORK/red"
contains "red YUY2" "filming the image $WORK/red.bmp"
first=$(( $(header "$WORK/red.y4m" | wc -c) + 6 ))
near "red Y" "$(byte "$WORK/red.y4m" $(( first + 60 * 160 + 80 )))" 82 3
near "red Cb" "$(byte "$WORK/red.y4m" $(( first + 160 * 120 + 60 * 80 + 40 )))" 90 3
near "red Cr" "$(byte "$WORK/red.y4m" $(( first + 160 * 120 + 160 * 120 / 2 + 60 * 80 + 40 )))" 240 3
ok "red RGB24" capture --root "$R" --format rgb24 --size 320x240 --frames 2 --scene "$WORK/red.bmp" -o "$WORK/redrgb"
first=$(( $(header "$WORK/redrgb.y4m" | wc -c) + 6 ))
# The driver turns the camera's YUY2 into RGB with the camera's full-swing
# factors (red comes out as about 239, 15, 15), which this file then holds as BT.601.
near "red RGB24 Y" "$(byte "$WORK/redrgb.y4m" $(( first + 120 * 320 + 160 )))" 87 4
near "red RGB24 Cr" "$(byte "$WORK/redrgb.y4m" $(( first + 2 * 320 * 240 + 120 * 320 + 160 )))" 226 4

# Variant 1, 800x600 scaled up from the camera's 640x480, filming a Y4M file.
ok "variant 1" capture --root "$R" --variant 1 --size 800x600 --fps 5 --frames 2 --scene "$WORK/grey.y4m" -o "$WORK/v1"
contains "variant 1" "YUY2 800x600 at 5 fps"
contains "variant 1" "frames delivered 2"

# ---- Requests the camera cannot meet: refused with what it offers, nothing written -------------
refused_saying "I420" "does not offer I420; it offers YUY2 640x480" capture --root "$R" --format i420 --frames 2 -o "$WORK/refused/out"
refused_saying "YV12" "RGB24 1600x1200 at 5 fps" capture --root "$R" --format yv12 --frames 2 -o "$WORK/refused/out"
refused_saying "MJPG" "does not offer MJPG" capture --root "$R" --format mjpg --frames 2 -o "$WORK/refused/out"
refused_saying "size" "not at 1024x768" capture --root "$R" --size 1024x768 --frames 2 -o "$WORK/refused/out"
refused_saying "rate" "YUY2 640x480 at 5-30 fps, not at 60 fps" capture --root "$R" --fps 60 --frames 2 -o "$WORK/refused/out"
refused_saying "variant 1 rate" "YUY2 640x480 at 5-15 fps" capture --root "$R" --variant 1 --frames 2 -o "$WORK/refused/out"
[ -e "$WORK/refused" ] && fail "a refused request left files"
refused_saying "unwritable output" "cannot" capture --root "$R" --frames 2 -o /proc/qk-no-such/out

finish
