#!/usr/bin/env bash
# `qk0340 convert` as a user meets it: a real photograph converted between
# RGB24, YUY2 and I420, resized and flipped, odd sizes, and every kind of bad
# input (sizes zero, huge, overflowing or odd, unknown formats, wrong lengths,
# missing files, an unwritable output) refused with a message and a non-zero
# exit, never a crash.
# Usage: convert_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

need_photos astronaut.png camera.png hubble_deep_field.jpg truncated.jpg

# The photograph's pixels, decoded by the tool (its own test covers decoding).
"$QK" jpeg decode "$PHOTOS/hubble_deep_field.jpg" -o "$WORK/hubble.ppm" >/dev/null || fail "cannot decode the photograph"
"$QK" jpeg decode "$PHOTOS/hubble_deep_field.jpg" -o "$WORK/hubble.yuy2" --kind 4 >/dev/null || fail "cannot decode the photograph to YUY2"

# ---- convert -------------------------------------------------------------------------------------
# The decoded photograph's pixels (B, G, R after the header) as a raw RGB24 picture.
tail -c $(( 1000 * 872 * 3 )) "$WORK/hubble.ppm" >"$WORK/hubble.rgb"
ok "RGB24 to I420" convert --from rgb24 --to i420 --size 1000x872 "$WORK/hubble.rgb" "$WORK/hubble.i420"
contains "RGB24 to I420" "1000x872 i420, $(( 1000 * 872 * 3 / 2 )) bytes"
ok "YUY2 resized and flipped" convert --from yuy2 --size 1000x872 --resize 640x480 --flip "$WORK/hubble.yuy2" "$WORK/small.yuy2"
contains "YUY2 resized and flipped" "640x480 yuy2, $(( 640 * 480 * 2 ))"
head -c 27 /dev/zero >"$WORK/27.raw"; head -c 12 /dev/zero >"$WORK/12.raw"; head -c 1 /dev/zero >"$WORK/1.raw"
ok "odd I420" convert --from rgb24 --to i420 --size 3x3 "$WORK/27.raw" "$WORK/odd.i420"
contains "odd I420" "3x3 i420, 11 bytes"

refused_saying "zero size" "sides from 1 to 16384" convert --from rgb24 --size 0x10 "$WORK/hubble.rgb" "$WORK/x"
refused_saying "huge size" "sides from 1 to 16384" convert --from rgb24 --size 100000x100000 "$WORK/hubble.rgb" "$WORK/x"
refused_saying "overflowing size" "sides from 1 to 16384" convert --from rgb24 --size 4294967296x1 "$WORK/hubble.rgb" "$WORK/x"
refused_saying "huge resize" "sides from 1 to 16384" convert --from rgb24 --size 1000x872 --resize 16385x2 "$WORK/hubble.rgb" "$WORK/x"
refused_saying "bad size" "WxH" convert --from rgb24 --size 1000-872 "$WORK/hubble.rgb" "$WORK/x"
refused_saying "unknown format" "--from" convert --from nv12 --size 1000x872 "$WORK/hubble.rgb" "$WORK/x"
refused_saying "wrong length" "holds $(( 1000 * 872 * 3 )) bytes" convert --from yuy2 --size 1000x872 "$WORK/hubble.rgb" "$WORK/x"
refused_saying "odd YUY2 width" "even width" convert --from yuy2 --to rgb24 --size 3x2 "$WORK/12.raw" "$WORK/x"
refused_saying "odd YUY2 resize" "even width" convert --from rgb24 --to yuy2 --size 2x2 --resize 5x5 "$WORK/12.raw" "$WORK/x"
refused_saying "no conversion" "no conversion from i420 to rgb24" convert --from i420 --to rgb24 --size 1000x872 "$WORK/hubble.i420" "$WORK/x"
refused_saying "I420 from one pixel" "2x2" convert --from i420 --size 1x1 --resize 4x4 "$WORK/1.raw" "$WORK/x"
refused_saying "missing picture" "does not exist" convert --from rgb24 --size 2x2 "$WORK/none.rgb" "$WORK/x"
refused_saying "unwritable output" "cannot write" convert --from rgb24 --to i420 --size 1000x872 "$WORK/hubble.rgb" /proc/qk-no-such/x
[ -e "$WORK/x" ] && fail "a refused conversion wrote its output"


finish
