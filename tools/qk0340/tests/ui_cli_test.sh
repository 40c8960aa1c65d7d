#!/usr/bin/env bash
# The console's dialogs through the qk0340 command, as a user sees them: the
# gallery of every template of the installed resource library, one dialog
# shown, and the errors for what is not there. The contact sheet is kept in
# ARTEFACTS for a person to look at.
# Usage: ui_cli_test.sh path/to/qk0340 ARTEFACTS
set -uo pipefail
QK="$1"
ARTEFACTS="$2"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

refused_saying "gallery before install" "qk0340 install" ui gallery --root "$R" -o "$WORK/gallery"
ok "install" install --root "$R"

ok "gallery" ui gallery --root "$R" -o "$WORK/gallery"
for n in 115 116 117 118 119 120 121 122 123 124 126 127 128 129 131 134; do
  contains "gallery lists $n" "template_$n.png"
  [ -s "$WORK/gallery/template_$n.png" ] || fail "no picture of template $n"
done
[ -s "$WORK/gallery/contact_sheet.png" ] || fail "no contact sheet"
mkdir -p "$ARTEFACTS" && cp "$WORK/gallery/contact_sheet.png" "$ARTEFACTS/contact_sheet.png"

ok "show" ui show --root "$R" 122 -o "$WORK/settings.png"
[ -s "$WORK/settings.png" ] || fail "show wrote no picture"
refused_saying "unknown template" "template 999" ui show --root "$R" 999
refused_saying "not a number" "" ui show --root "$R" twelve

# On a desktop (an X server in memory, when installed): the dialog stays until
# the user closes it; a click gives it the keyboard, Escape cancels it.
if command -v Xvfb >/dev/null && command -v xdotool >/dev/null; then
  Xvfb :59 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  sleep 1
  (DISPLAY=:59 timeout 30 "$QK" ui show --root "$R" 122 >"$WORK/show.out" 2>&1; echo "exit $?" >>"$WORK/show.out") &
  shown=$!
  sleep 2
  DISPLAY=:59 xdotool mousemove 260 170 click 1 && sleep 0.5 && DISPLAY=:59 xdotool key Escape
  wait "$shown"
  kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null
  grep -q "exit 0" "$WORK/show.out" && grep -q "closed" "$WORK/show.out" || fail "show on a display: $(cat "$WORK/show.out")"
fi

# A resource library that is not a module: a clean error naming it.
echo "not a module" >"$R/Windows/System32/K0340Cvw.crl"
refused_saying "damaged library" "K0340Cvw.crl" ui gallery --root "$R" -o "$WORK/g2"

finish
