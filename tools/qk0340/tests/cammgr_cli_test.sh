#!/usr/bin/env bash
# qk0340 cammgr: the camera manager hosting the console. Without records it
# takes the console's host entry directly, with the records the console's
# registration wrote it takes the viewer they name; the integrated window is
# pictured (kept in ARTEFACTS for a person to look at); its microphone box
# switches the audio filter; with --standalone a
# slider moved in either console shows in the other, and a wrong
# expectation fails the script at its line.
# Usage: cammgr_cli_test.sh path/to/qk0340 ARTEFACTS
set -uo pipefail
QK="$1"
ARTEFACTS="$2"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
unset DISPLAY

P="$WORK/pictures"
mkdir -p "$P"
# The width of a PNG file, from its header.
png_width() { od -An -tu1 -j16 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}'; }

ok "the manager alone" cammgr --root "$R" --screenshot "$P/integrated.png"
contains "no records yet: the host entry directly" "no viewer recorded: K0340Cvw.dll,luCVWEntryPoint"
grep -Eq "streamed [1-9][0-9]* frames while the manager hosted the console" "$WORK/out" \
  || fail "no frames were streamed while the manager ran: $(cat "$WORK/out")"
[ -s "$P/integrated.png" ] || fail "no picture of the integrated window"
w=$(png_width "$P/integrated.png")
[ "${w:-0}" -ge 200 ] || fail "the integrated window's picture is $w pixels wide"

# The hosted console's microphone box switches NoiseGuard in the audio filter.
printf 'click 1142\nclick 1104\nwait 300\n' >"$WORK/microphone.txt"
ok "the hosted microphone box" cammgr --root "$R" --script "$WORK/microphone.txt"
contains "the box switched NoiseGuard off" "NoiseGuard in the audio filter: on at the start, off at the end"

# The console registers itself with the manager now on the machine.
ok "registration" regsvr32 --root "$R" K0340Cvw.dll
cat >"$WORK/both.txt" <<SCRIPT
# the standalone console started last is in front
screenshot $P/standalone.png
drag 1100 40
wait 800
next
screenshot $P/integrated_after.png
expect 1100 40
drag 1100 -20
wait 800
next
expect 1100 -20
SCRIPT
ok "both consoles" cammgr --root "$R" --standalone --script "$WORK/both.txt" --screenshot "$P/end.png"
contains "the recorded viewer" "viewer CustomViewWin: K0340Cvw.dll,luCVWEntryPoint"
contains "the standalone console was in front" "standalone.png: 'Lumora Camera Console'"
for f in standalone integrated_after end; do
  [ -s "$P/$f.png" ] || fail "no picture $f.png"
done
mkdir -p "$ARTEFACTS" && cp "$P"/*.png "$ARTEFACTS/"

printf 'next\nexpect 1100 41\n' >"$WORK/wrong.txt"
refused_saying "a slider that does not show what is expected" "line 2: control 1100 of" \
  cammgr --root "$R" --standalone --script "$WORK/wrong.txt"
printf 'expect 1100\n' >"$WORK/bad.txt"
refused_saying "a bad line" "line 1: 'expect 1100': expect wants" cammgr --root "$R" --script "$WORK/bad.txt"
refused_saying "a picture that is no PNG" "ending in .png" cammgr --root "$R" --screenshot "$WORK/end.jpg"
finish
