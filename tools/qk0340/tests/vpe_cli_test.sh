#!/usr/bin/env bash
# `qk0340 vpe zoom | track | scene` as a user meets them: real photographs
# zoomed, a scene made and tracked, and every kind of bad input (sizes zero,
# odd, huge, unknown formats, boxes outside the picture, missing, corrupt and
# truncated files and videos) refused with a message and a non-zero exit,
# never a crash.
# Usage: vpe_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

need_photos astronaut.png camera.png hubble_deep_field.jpg truncated.jpg

# ---- vpe zoom ------------------------------------------------------------------------------------
ok "zoom the portrait" vpe zoom "$PHOTOS/astronaut.png" "$WORK/face.png" --box 150,20,150,180 --size 300x360
[ "$(head -c 8 "$WORK/face.png" | od -An -tx1 | tr -d ' ')" = "89504e470d0a1a0a" ] || fail "the zoomed face is no PNG"
for format in yuy2 i420; do
  ok "zoom in $format" vpe zoom "$PHOTOS/astronaut.png" "$WORK/face-$format.png" --box 150,20,150,180 --format $format --size 320x240
done
ok "I420 one line high" vpe zoom "$PHOTOS/astronaut.png" "$WORK/line.png" --box 0,0,512,512 --format i420 --size 640x1
ok "I420 odd height" vpe zoom "$PHOTOS/camera.png" "$WORK/odd.png" --box 10,10,100,100 --format i420 --size 64x33

refused_saying "huge output" "1 to 16384" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box 0,0,100,100 --size 100000x100000
refused_saying "overflowing output" "1 to 16384" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box 0,0,100,100 --size 2147483647x2
refused_saying "zero output" "WIDTHxHEIGHT" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box 0,0,100,100 --size 0x480
refused_saying "odd YUY2 output" "even widths" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box 0,0,100,100 --format yuy2 --size 641x480
refused_saying "unknown zoom format" "--format" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box 0,0,100,100 --format nv12
refused_saying "box outside" "must lie inside the 512x512 picture" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box 400,400,200,200
refused_saying "tiny I420 box" "at least 4" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box 0,0,3,3 --format i420
refused_saying "box not numbers" "--box wants" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box a,b,c,d
refused_saying "infinite box" "out of range" vpe zoom "$PHOTOS/astronaut.png" "$WORK/x.png" --box inf,0,10,10
refused_saying "missing picture" "does not exist" vpe zoom "$WORK/none.png" "$WORK/x.png" --box 0,0,10,10
head -c 3000 "$PHOTOS/astronaut.png" >"$WORK/cut.png"
refused_saying "cut off PNG" "cut.png" vpe zoom "$WORK/cut.png" "$WORK/x.png" --box 0,0,10,10
refused_saying "JPEG as PNG" "hubble_deep_field.jpg" vpe zoom "$PHOTOS/hubble_deep_field.jpg" "$WORK/x.png" --box 0,0,10,10
refused_saying "unwritable PNG" "qk-no-such" vpe zoom "$PHOTOS/astronaut.png" /proc/qk-no-such/x.png --box 0,0,100,100
[ -e "$WORK/x.png" ] && fail "a refused zoom wrote its output"

# ---- vpe scene and vpe track ---------------------------------------------------------------------
ok "scene" vpe scene "$WORK/scene.y4m" --size 320x240 --frames 40
[ "$(head -n 1 "$WORK/scene.y4m")" = "YUV4MPEG2 W320 H240 F30:1 Ip A1:1 C420jpeg" ] || fail "scene header: $(head -n 1 "$WORK/scene.y4m")"
for format in yuy2 rgb24 i420; do
  ok "track in $format" vpe track "$WORK/scene.y4m" -o "$WORK/tracked-$format.y4m" --format $format --csv --mode 1 --speed 2
  contains "track in $format" "frame,x,y,width,height,target_x,target_y,target_width"
  [ "$(grep -c '^[0-9]' "$WORK/out")" -eq 40 ] || fail "track in $format: $(grep -c '^[0-9]' "$WORK/out") CSV lines"
  [ "$(size_of "$WORK/tracked-$format.y4m")" -eq "$(size_of "$WORK/scene.y4m")" ] || fail "track in $format: output size"
done

refused_saying "huge scene" "WIDTHxHEIGHT" vpe scene "$WORK/x.y4m" --size 100000x100000
refused_saying "odd scene" "even" vpe scene "$WORK/x.y4m" --size 321x240
refused_saying "scene beyond the limit" "4096" vpe scene "$WORK/x.y4m" --size 16384x16384
refused_saying "no frames" "--frames" vpe scene "$WORK/x.y4m" --frames 0
# Cut in the middle of the third frame: the two before are written, and the
# command says what happened and fails.
head -c $(( $(head -n 1 "$WORK/scene.y4m" | wc -c) + 2 * (6 + 320 * 240 * 3 / 2) + 1000 )) "$WORK/scene.y4m" >"$WORK/cut.y4m"
refused_saying "truncated video" "truncated" vpe track "$WORK/cut.y4m" -o "$WORK/cut-out.y4m"
grep -qF "the 2 frames before it were written" "$WORK/err" || fail "truncated video: $(cat "$WORK/err")"
[ "$(size_of "$WORK/cut-out.y4m")" -eq $(( $(head -n 1 "$WORK/scene.y4m" | wc -c) + 2 * (6 + 320 * 240 * 3 / 2) )) ] ||
  fail "truncated video: $(size_of "$WORK/cut-out.y4m") bytes written"
head -c 100 "$WORK/scene.y4m" >"$WORK/header-only.y4m"
refused_saying "header and a scrap" "truncated" vpe track "$WORK/header-only.y4m" -o "$WORK/x.y4m"
printf 'YUV4MPEG2 W16000 H16000 F30:1 C420jpeg\nFRAME\nxyz' >"$WORK/giant.y4m"
refused_saying "giant video cut short" "truncated" vpe track "$WORK/giant.y4m" -o "$WORK/x.y4m"
printf 'YUV4MPEG2 W300 H200 F30:1 C420jpeg\n' >"$WORK/narrow.y4m"
refused_saying "width for no analysis family" "multiple of 160 or 176" vpe track "$WORK/narrow.y4m" -o "$WORK/x.y4m"
printf 'YUV4MPEG2 W320 H240 F30:1 C444\n' >"$WORK/c444.y4m"
refused_saying "not 4:2:0" "c444.y4m" vpe track "$WORK/c444.y4m" -o "$WORK/x.y4m"
printf 'GIF89a' >"$WORK/gif.y4m"
refused_saying "not a video" "gif.y4m" vpe track "$WORK/gif.y4m" -o "$WORK/x.y4m"
refused_saying "missing video" "does not exist" vpe track "$WORK/none.y4m" -o "$WORK/x.y4m"
refused_saying "unknown track format" "--format" vpe track "$WORK/scene.y4m" -o "$WORK/x.y4m" --format nv12
refused_saying "mode 3" "--mode" vpe track "$WORK/scene.y4m" -o "$WORK/x.y4m" --mode 3
refused_saying "unwritable video" "cannot write" vpe track "$WORK/scene.y4m" -o /proc/qk-no-such/x.y4m


finish
