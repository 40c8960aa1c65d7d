#!/usr/bin/env bash
# Installs what is missing, builds the qk0340 tool and runs the main job with
# face tracking on: the simulated camera films the synthetic scene (a face
# that rests, moves right, rests, leaves and comes back), and the capture
# driver, told by a kernel-streaming property request to track the face,
# frames it as it moves. Captured as YUY2 320x240 (the driver films 640x480
# for it, so the zoomed framing keeps its detail) at 30 frames a second for
# the scene's whole 16 s: the contact sheet shows the framing follow the face,
# open out while it is gone, and close in again when it comes back.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$QK_TOP"

"$QK_TOP/scripts/deps.sh"
qk_configure build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
qk_build build/release --target qk0340

ROOT="${QK_ROOT:-$QK_TOP/qk0340-root}"
OUT="${QK_OUT:-$QK_TOP/qk0340-capture}"
QK=build/release/tools/qk0340/qk0340
echo "== installing the package into $ROOT"
"$QK" install --root "$ROOT"
echo "== the product key of the installed machine"
"$QK" reg query --root "$ROOT" 'HKLM\Software\Lumora Tech\Web Cameras\QK0340'
echo "== the capture driver's controls, as its capture filter offers them"
"$QK" props --root "$ROOT" list
echo "== capturing sixteen seconds of YUY2 320x240 at 30 fps with face tracking on"
"$QK" capture --root "$ROOT" --format yuy2 --size 320x240 --fps 30 --seconds 16 --scene synthetic --track 1 \
  -o "$OUT/capture.y4m"
echo "== face tracking stays on in $ROOT (the driver keeps it); '$QK props --root $ROOT set tracking-mode 0' turns it off"
echo "== the capture is in $OUT: capture.y4m (the video) and capture-sheet.png (a contact sheet of its frames)"
