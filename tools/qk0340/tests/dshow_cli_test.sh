#!/usr/bin/env bash
# A DirectShow application at the command line: `qk0340 dshow` lists the
# camera through the system device enumerator, every format of its
# IAMStreamConfig and every control range, changes controls that the next
# process reads back from the driver, and refuses clearly what it cannot do.
# Usage: dshow_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

# ---- Refused before any machine starts ---------------------------------------------------------------
refused_saying "no action" "subcommand is required" dshow --root "$R"
refused_saying "no camera argument" "camera" dshow --root "$R" formats
refused_saying "no assignment" "NAME=VALUE" dshow --root "$R" set 0 brightness
refused_saying "unknown control" "no control is called 'colour'; the controls are brightness" dshow --root "$R" set 0 colour=3
refused_saying "bad value" "brightness wants a number or auto, not 'bright'" dshow --root "$R" set 0 brightness=bright
[ -e "$R" ] && fail "refused arguments created the root"

# ---- devices, formats, controls -------------------------------------------------------------------------
ok "devices" dshow --root "$R" devices
contains "devices" "0  QK0340 Camera"
contains "devices" '\\?\USB#VID_FA57&PID_0340&MI_00#'
contains "devices" '#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\GLOBAL'
ok "formats" dshow --root "$R" formats 0
contains "formats" "QK0340 Camera: 13 formats"
contains "formats" "  0  YUY2    640x480     5 to 30           614400"
contains "formats" " 12  RGB24   1600x1200   5 to 5           5760000"
contains "formats" "current: YUY2 640x480 at 30 fps, 614400 bytes a frame"
ok "formats variant 1" dshow --root "$R" --variant 1 formats qk0340
grep -q "RGB24   1600x1200" "$WORK/out" && fail "variant 1 offers the large sizes"
ok "controls" dshow --root "$R" controls 0
line() { grep -E "^$1 " "$WORK/out" | tr -s ' '; }
[ "$(line brightness)" = "brightness VideoProcAmp /0 0, manual -64 to 64 in steps of 1, default 0, manual only" ] ||
  fail "brightness line: $(line brightness)"
[ "$(line exposure)" = "exposure CameraControl/4 -5, auto -6 to -2 in steps of 1, default -5, auto or manual" ] ||
  fail "exposure line: $(line exposure)"
contains "controls" "not offered by this camera: color-enable, roll, iris"

# ---- set, and what the driver keeps for the next process ----------------------------------------------------
ok "set" dshow --root "$R" set 0 brightness=12 zoom=70 exposure=-3
contains "set" "brightness now: 12, manual"
contains "set" "zoom now: 70, manual"
contains "set" "exposure now: -3, manual"
ok "read back" dshow --root "$R" controls 0
[ "$(line brightness)" = "brightness VideoProcAmp /0 12, manual -64 to 64 in steps of 1, default 0, manual only" ] ||
  fail "brightness after set: $(line brightness)"
ok "automatic" dshow --root "$R" set 0 exposure=auto
contains "automatic" "exposure now: -3, auto"

# ---- Refusals that need the camera -------------------------------------------------------------------------
refused_saying "out of range" "zoom goes from 50 to 100, not 7" dshow --root "$R" set 0 zoom=7
refused_saying "not offered" "roll is not offered by this camera" dshow --root "$R" set 0 roll=3
refused_saying "manual only" "brightness has no automatic mode" dshow --root "$R" set 0 brightness=auto
refused_saying "no such index" "no camera 3: there is 1 camera (0 to 0)" dshow --root "$R" formats 3
refused_saying "no such name" "no camera is called 'Other'; the cameras are: QK0340 Camera" dshow --root "$R" formats Other
refused_saying "missing camera" "no camera: the video input category is empty" dshow --root "$R" --no-camera formats 0
ok "no devices" dshow --root "$R" --no-camera devices
contains "no devices" "no video input devices"

# ---- capture through a filter graph ----------------------------------------------------------------------
ok "capture" dshow --root "$R" capture 0 --format YUY2 --size 320x240 --fps 30 --frames 12 -o "$WORK/a.y4m"
contains "capture" "QK0340 Camera: 12 frames of YUY2 320x240 at 30 fps through DirectShow into"
head -1 "$WORK/a.y4m" | grep -qF "YUV4MPEG2 W320 H240 F30:1" || fail "capture header: $(head -1 "$WORK/a.y4m")"
[ "$(grep -ao FRAME "$WORK/a.y4m" | wc -l)" -eq 12 ] || fail "capture has $(grep -ao FRAME "$WORK/a.y4m" | wc -l) frames"
ok "capture rgb" dshow --root "$R" capture qk --format rgb24 --size 160x120 --fps 15 --frames 3 -o "$WORK/b.y4m"
contains "capture rgb" "3 frames of RGB24 160x120 at 15 fps"
refused_saying "size not offered" "the camera does not offer YUY2 333x240; it offers YUY2 640x480" \
  dshow --root "$R" capture 0 --size 333x240 -o "$WORK/c.y4m"
refused_saying "rate not offered" "RGB24 1600x1200 runs at 5 to 5 fps, not 30" \
  dshow --root "$R" capture 0 --format RGB24 --size 1600x1200 -o "$WORK/c.y4m"
refused_saying "format unknown" "no format is called 'RGB32'" dshow --root "$R" capture 0 --format RGB32 -o "$WORK/c.y4m"
refused_saying "bad size" "'640by480' is no size WxH" dshow --root "$R" capture 0 --size 640by480 -o "$WORK/c.y4m"
refused_saying "unplugged mid-stream" "the camera was unplugged after 10 frames;" \
  dshow --root "$R" capture 0 --size 640x480 --frames 40 --unplug-after 10 -o "$WORK/d.y4m"
[ "$(grep -ao FRAME "$WORK/d.y4m" | wc -l)" -eq 10 ] || fail "the frames before the unplug are not kept"
refused_saying "capture without camera" "no camera: the video input category is empty" \
  dshow --root "$R" --no-camera capture 0 -o "$WORK/e.y4m"

finish
