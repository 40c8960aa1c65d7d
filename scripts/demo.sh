#!/usr/bin/env bash
# Installs what is missing, builds the qk0340 tool and runs the main job on
# the built-in default: the simulated camera filming the synthetic scene,
# captured through the capture driver as YUY2 640x480 at 30 frames a second
# for five seconds.
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
echo "== capturing five seconds of YUY2 640x480 at 30 fps from the simulated camera"
"$QK" capture --root "$ROOT" --format yuy2 --size 640x480 --fps 30 --seconds 5 --scene synthetic -o "$OUT/capture.y4m"
echo "== the capture is in $OUT: capture.y4m (the video) and capture-sheet.png (a contact sheet of its frames)"
