#!/usr/bin/env bash
# Installs what is missing, builds the qk0340 tool and runs the main job on
# the built-in default.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$QK_TOP"

"$QK_TOP/scripts/deps.sh"
qk_configure build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
qk_build build/release --target qk0340

ROOT="${QK_ROOT:-$QK_TOP/qk0340-root}"
QK=build/release/tools/qk0340/qk0340
echo "== installing the package into $ROOT"
"$QK" install --root "$ROOT"
echo "== the registry of the installed machine"
"$QK" reg query --root "$ROOT" 'HKLM' --recursive
