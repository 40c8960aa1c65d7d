#!/usr/bin/env bash
# An old Video-for-Windows application at the command line: `qk0340 vfw
# capture` opens the "msvideo" driver through the multimedia runtime, sets
# the format and streams into its own buffers; what it cannot do it says.
# Usage: vfw_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

refused_saying "bad size" "'640by480' is no size WxH" vfw --root "$R" capture --size 640by480 -o "$WORK/x.y4m"
refused_saying "bad format" "no format is called 'MJPG'" vfw --root "$R" capture --format MJPG -o "$WORK/x.y4m"
refused_saying "no output" "output" vfw --root "$R" capture
[ -e "$R" ] && fail "refused arguments created the root"

ok "capture" vfw --root "$R" capture --format YUY2 --size 320x240 --frames 10 -o "$WORK/a.y4m"
contains "capture" "10 frames of YUY2 320x240 through the Video-for-Windows driver"
[ "$(grep -ao FRAME "$WORK/a.y4m" | wc -l)" -eq 10 ] || fail "capture has $(grep -ao FRAME "$WORK/a.y4m" | wc -l) frames"
head -1 "$WORK/a.y4m" | grep -qF "YUV4MPEG2 W320 H240" || fail "capture header: $(head -1 "$WORK/a.y4m")"
ok "capture rgb" vfw --root "$R" capture --format RGB24 --size 176x144 --frames 3 -o "$WORK/b.y4m"
contains "capture rgb" "3 frames of RGB24 176x144"

refused_saying "size not offered" "the camera does not offer that format (DV_ERR_BADFORMAT)" \
  vfw --root "$R" capture --size 333x240 -o "$WORK/c.y4m"
refused_saying "missing camera" "no camera is there (DV_ERR_NOTDETECTED)" vfw --root "$R" --no-camera capture -o "$WORK/c.y4m"
# Frames the driver had already filled when the camera went still arrive
# after the fifth, so the file holds five or more: as many as the message says.
refused_saying "unplugged mid-stream" "frames before" \
  vfw --root "$R" capture --frames 40 --unplug-after 5 -o "$WORK/d.y4m"
kept=$(grep -o "holds the [0-9]* frames before" "$WORK/err" | grep -o "[0-9]*")
[ -n "$kept" ] && [ "$kept" -ge 5 ] && [ "$kept" -lt 40 ] || fail "unplugged mid-stream: $(cat "$WORK/err")"
[ "$(grep -ao FRAME "$WORK/d.y4m" | wc -l)" -eq "${kept:-5}" ] || fail "the frames before the unplug are not kept"

# ---- The dialogs an application offers its user (headless: their pictures) ---------------------------------
ok "format dialog" vfw --root "$R" dialog format --screenshot "$WORK/format.png"
contains "format dialog" 'the format dialog: "QK0340 Camera Properties" with 2 pages, closed with Cancel'
ok "source dialog" vfw --root "$R" dialog source --screenshot "$WORK/source.png"
contains "source dialog" 'the source dialog: "QK0340 Camera Properties" with 1 page, closed with Cancel'
for picture in format.png format-2.png source.png; do
  [ "$(head -c 8 "$WORK/$picture" | od -An -tx1 | tr -d ' \n')" = "89504e470d0a1a0a" ] || fail "$picture is no PNG"
done
cmp -s "$WORK/format.png" "$WORK/format-2.png" && fail "the format dialog's two pages look alike"
refused_saying "no such dialog" "which" vfw --root "$R" dialog display
refused_saying "dialog picture not png" "--screenshot wants a FILE.png" vfw --root "$R" dialog format --screenshot "$WORK/x.jpg"
refused_saying "dialog without camera" "no camera is there (DV_ERR_NOTDETECTED)" vfw --root "$R" --no-camera dialog source
# A root that cannot be a system folder stops either command before any driver is opened.
touch "$WORK/file-root"
refused_saying "capture on a file root" "cannot create the system root" vfw --root "$WORK/file-root" capture -o "$WORK/e.y4m"
refused_saying "dialog on a file root" "cannot create the system root" vfw --root "$WORK/file-root" dialog format
[ -e "$WORK/e.y4m" ] && fail "a capture refused for its root wrote its output"

finish
