#!/usr/bin/env bash
# `qk0340 jpeg decode` as a user meets it: a real photograph decoded to PPM
# and YUY2, and every kind of bad input (missing, truncated, cut off, empty,
# not a JPEG, a frame header announcing a huge picture, an unwritable output)
# refused with a message and a non-zero exit, never a crash.
# Usage: jpeg_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

need_photos astronaut.png camera.png hubble_deep_field.jpg truncated.jpg

# ---- jpeg decode ---------------------------------------------------------------------------------
ok "decode a photograph" jpeg decode "$PHOTOS/hubble_deep_field.jpg" -o "$WORK/hubble.ppm"
contains "decode a photograph" "1000x872"
[ "$(head -c 2 "$WORK/hubble.ppm")" = "P6" ] || fail "the decoded picture is no PPM"
[ "$(size_of "$WORK/hubble.ppm")" -eq $(( 16 + 1000 * 872 * 3 )) ] || fail "PPM size $(size_of "$WORK/hubble.ppm")"
ok "decode to YUY2" jpeg decode "$PHOTOS/hubble_deep_field.jpg" -o "$WORK/hubble.yuy2" --kind 4
[ "$(size_of "$WORK/hubble.yuy2")" -eq $(( 1000 * 872 * 2 )) ] || fail "YUY2 size $(size_of "$WORK/hubble.yuy2")"

refused_saying "missing JPEG" "does not exist" jpeg decode "$WORK/none.jpg" -o "$WORK/x.ppm"
refused_saying "unknown kind" "--kind" jpeg decode "$PHOTOS/hubble_deep_field.jpg" -o "$WORK/x.ppm" --kind 5
refused_saying "truncated photograph" "failed with result" jpeg decode "$PHOTOS/truncated.jpg" -o "$WORK/x.ppm"
head -c 20000 "$PHOTOS/hubble_deep_field.jpg" >"$WORK/cut.jpg"
refused_saying "cut off JPEG" "failed with result" jpeg decode "$WORK/cut.jpg" -o "$WORK/x.ppm"
: >"$WORK/empty.jpg"
refused_saying "empty JPEG" "failed with result" jpeg decode "$WORK/empty.jpg" -o "$WORK/x.ppm"
refused_saying "PNG as JPEG" "failed with result" jpeg decode "$PHOTOS/camera.png" -o "$WORK/x.ppm"
# A frame header announcing 65535 x 65535: refused before any memory is asked for.
{ printf '\xff\xd8\xff\xc0\x00\x11\x08\xff\xff\xff\xff\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01'
  printf '\xff\xd9'; } >"$WORK/huge.jpg"
refused_saying "huge JPEG" "65535x65535" jpeg decode "$WORK/huge.jpg" -o "$WORK/x.ppm"
refused_saying "unwritable PPM" "cannot write" jpeg decode "$PHOTOS/hubble_deep_field.jpg" -o /proc/qk-no-such/x.ppm
[ -e "$WORK/x.ppm" ] && fail "a refused decode wrote its output"


finish
