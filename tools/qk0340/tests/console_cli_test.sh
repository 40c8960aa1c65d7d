#!/usr/bin/env bash
# qk0340 console as a user runs it headless: a replay script that switches
# tabs, opens the settings and the first-time password dialog, unplugs and
# plugs the camera back in, with a picture at each step (kept in ARTEFACTS
# for a person to look at); and bad scripts refused with the line at fault
# before anything runs.
# Usage: console_cli_test.sh path/to/qk0340 ARTEFACTS
set -uo pipefail
QK="$1"
ARTEFACTS="$2"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
unset DISPLAY

P="$WORK/pictures"
mkdir -p "$P"
cat >"$WORK/round.txt" <<SCRIPT
# the video tab, then the audio tab
screenshot $P/video_tab.png
click 1142
screenshot $P/audio_tab.png
click 1141
click 1107
wait 300
screenshot $P/settings.png
click 1132
wait 300
screenshot $P/set_password.png
key escape
wait 200
click 2
wait 200
unplug
wait 1500
screenshot $P/unplugged.png
plug
wait 3000
screenshot $P/replugged.png
SCRIPT
ok "a scripted round" console --root "$R" --script "$WORK/round.txt" --screenshot "$P/end.png"
contains "the settings dialog was in front" "settings.png: 'Console Settings'"
contains "the password dialog was in front" "set_password.png: 'Set Password'"
contains "the console came back in front" "unplugged.png: 'Lumora Camera Console'"
grep -Eq "the camera streamed [1-9][0-9]* frames while the console ran" "$WORK/out" \
  || fail "no frames were streamed while the console ran: $(cat "$WORK/out")"
for f in video_tab audio_tab settings set_password unplugged replugged end; do
  [ -s "$P/$f.png" ] || fail "no picture $f.png"
done
mkdir -p "$ARTEFACTS" && cp "$P"/*.png "$ARTEFACTS/"

printf 'click 1107\nclik 1108\n' >"$WORK/typo.txt"
refused_saying "an unknown command" "line 2: 'clik 1108': no command is called 'clik'" \
  console --root "$R" --script "$WORK/typo.txt"
printf 'wait 99999999\n' >"$WORK/long.txt"
refused_saying "a wait too long" "line 1: 'wait 99999999': wait wants milliseconds" \
  console --root "$R" --script "$WORK/long.txt"
printf 'click 4242\n' >"$WORK/missing.txt"
refused_saying "a control that is not there" "line 1: no control 4242 shows in 'Lumora Camera Console'" \
  console --root "$R" --script "$WORK/missing.txt"
printf 'plug\n' >"$WORK/twice.txt"
refused_saying "plugging a plugged camera" "plugged in already" console --root "$R" --script "$WORK/twice.txt"
refused_saying "no script file" "cannot read the script" console --root "$R" --script "$WORK/none.txt"
refused_saying "a picture that is no PNG" "ending in .png" console --root "$R" --screenshot "$WORK/end.jpg"
finish
