#!/usr/bin/env bash
# The video effects engine at the command line: its effects and thumbnails on
# an installed root, a camera's effect set after the engine's service starts
# from its program file, effect files imported once and damaged ones refused.
# Usage: kfx_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
command -v python3 >/dev/null || { echo "FAIL: python3 is missing"; exit 1; }

refused_saying "no root" "" kfx list --root "$WORK/none"
ok "install" install --root "$R"
ok "list" kfx list --root "$R"
contains "list" "Black and White	C:\\Program Files\\Lumora Tech\\KFXE\\Thumbnails\\Colour\\BlackWhite.jpg"
grep -q "(missing)" "$WORK/out" && fail "list: a shipped thumbnail is missing: $(cat "$WORK/out")"
ok "set" kfx set --root "$R" --effect Fun/Mosaic
contains "set" "QK0340 Camera: effects on, Fun/Mosaic"
ok "off" kfx set --root "$R" --off
contains "off" "effects off, Fun/Mosaic"
refused_saying "unknown effect" "cannot apply \"Fun/Warp\"" kfx set --root "$R" --effect Fun/Warp
refused_saying "no category" "CATEGORY/EFFECT" kfx set --root "$R" --effect Mosaic
refused_saying "nothing to do" "--on, --off or --effect" kfx set --root "$R"

# An effect file written by Python's zipfile, then the same again, then cut short.
python3 - "$WORK" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1] + "/warm.vfz", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("effect.ini", "[Effect]\r\nCategory=Mine\r\nName=Warm\r\nKind=sepia\r\nVersion=1\r\n")
data = open(sys.argv[1] + "/warm.vfz", "rb").read()
open(sys.argv[1] + "/cut.vfz", "wb").write(data[:len(data) // 2])
PY
ok "import" kfx import --root "$R" "$WORK/warm.vfz"
contains "import" "imported Mine/Warm"
refused_saying "import twice" "already installed" kfx import --root "$R" "$WORK/warm.vfz"
refused_saying "cut short" "damaged" kfx import --root "$R" "$WORK/cut.vfz"
refused_saying "missing file" "cannot read" kfx import --root "$R" "$WORK/none.vfz"
ok "list after import" kfx list --root "$R"
contains "list after import" "Mine"
ok "apply imported" kfx set --root "$R" --effect Mine/Warm
contains "apply imported" "effects on, Mine/Warm"
finish
