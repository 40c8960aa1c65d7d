#!/usr/bin/env bash
# qk0340 console as a user runs it headless: a replay script that switches
# tabs, opens the settings and the first-time password dialog, unplugs and
# plugs the camera back in, with a picture at each step (kept in ARTEFACTS
# for a person to look at); the microphone box switching the audio filter;
# every screen of the console on one contact sheet (kept in
# ARTEFACTS/screens); and bad scripts refused with the line at fault before
# anything runs.
# Usage: console_cli_test.sh path/to/qk0340 ARTEFACTS
set -uo pipefail
QK="$1"
ARTEFACTS="$2"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
unset DISPLAY

P="$WORK/pictures"
mkdir -p "$P"
cat >"$WORK/round.txt" <<SCRIPT
# the video tab (painted, on a busy machine too), then the audio tab
wait 1000
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

# The microphone box of the audio tab switches NoiseGuard in the audio filter
# itself (read through its control device before and after the run); the
# switch is kept on the machine, so a second click turns it back.
printf 'click 1142\nclick 1104\nwait 300\n' >"$WORK/microphone.txt"
ok "the microphone box" console --root "$R" --script "$WORK/microphone.txt"
contains "the box switched NoiseGuard off" "NoiseGuard in the audio filter: on at the start, off at the end"
ok "the microphone box again" console --root "$R" --script "$WORK/microphone.txt"
contains "the box switched NoiseGuard on" "NoiseGuard in the audio filter: off at the start, on at the end"

# Every screen of the console on one contact sheet: each panel open alone,
# both tabs, every dialog (and the lock's messages), the camera pulled out
# and back. Panels count 1-5 on the video tab (with the installed effects
# engine's panel third) and 6-7 on the audio tab.
S="$WORK/screens"
mkdir -p "$S"
cat >"$WORK/tour.txt" <<SCRIPT
# the first panel shown and painted on a busy machine too
expand 1
wait 1000
screenshot $S/01_video_tab_picture.png
click 1094
wait 800
screenshot $S/02_picture_advanced_settings.png
click 2
collapse 1
expand 2
click 1025
wait 800
screenshot $S/03_face_tracking.png
click 1037
wait 800
screenshot $S/04_tracking_options.png
click 2
click 1025
collapse 2
expand 3
wait 500
screenshot $S/05_video_effects.png
click 1050
wait 500
screenshot $S/06_video_effects_on.png
click 1050
click 1055
wait 800
screenshot $S/06a_more_effects_message.png
key enter
click 1054
wait 800
screenshot $S/06b_no_effect_editor.png
key enter
collapse 3
expand 4
screenshot $S/07_pan_and_tilt.png
collapse 4
expand 5
screenshot $S/08_focus.png
click 1148
wait 800
screenshot $S/09_focus_settings.png
click 2
collapse 5
screenshot $S/10_video_tab_closed.png
click 1142
screenshot $S/11_audio_tab_microphone.png
collapse 6
expand 7
click 1030
wait 800
screenshot $S/12_audio_effects.png
click 1030
collapse 7
expand 6
click 1141
expand 1
click 1107
wait 800
screenshot $S/13_console_settings.png
click 1132
wait 800
screenshot $S/14_set_password.png
type secret
key tab
type secrets
click 1
wait 800
screenshot $S/15_passwords_differ.png
key enter
key tab
type secret
click 1
wait 800
screenshot $S/16_password_set.png
key enter
wait 800
screenshot $S/17_console_settings_with_password.png
click 1132
wait 800
screenshot $S/18_enter_password_to_lock.png
type secret
click 1
wait 800
screenshot $S/18a_camera_locked.png
key enter
click 1132
wait 800
screenshot $S/18b_enter_password_to_unlock.png
click 2
click 1113
wait 800
screenshot $S/19_change_password.png
click 2
click 2
unplug
wait 1500
screenshot $S/20_unplugged.png
plug
wait 3000
screenshot $S/21_plugged_again.png
SCRIPT
ok "every screen" console --root "$R" --script "$WORK/tour.txt" --sheet "$S/console_sheet.png"
contains "the sheet holds every picture" "console_sheet.png: 25 pictures"
for shown in "02_picture_advanced_settings.png: 'Advanced Picture Settings'" \
  "06a_more_effects_message.png: 'Lumora Camera Console'" "07_pan_and_tilt.png: 'Lumora Camera Console'" \
  "04_tracking_options.png: 'Face Tracking Settings'" "09_focus_settings.png: 'Focus Settings'" \
  "13_console_settings.png: 'Console Settings'" "14_set_password.png: 'Set Password'" \
  "15_passwords_differ.png: 'Viewing Lock'" "16_password_set.png: 'Viewing Lock'" \
  "17_console_settings_with_password.png: 'Console Settings'" \
  "18_enter_password_to_lock.png: 'Lock the Camera'" "18a_camera_locked.png: 'Viewing Lock'" \
  "18b_enter_password_to_unlock.png: 'Unlock the Camera'" "19_change_password.png: 'Change Password'" \
  "20_unplugged.png: 'Lumora Camera Console'"; do
  contains "the screen in front" "$shown"
done
# The width of a PNG file, from its header: the messages are boxes of their own, narrower than the console.
png_width() { od -An -tu1 -j16 -N4 "$1" | awk '{print $1*16777216 + $2*65536 + $3*256 + $4}'; }
for box in 06a_more_effects_message 06b_no_effect_editor; do
  [ "$(png_width "$S/$box.png")" -lt "$(png_width "$S/01_video_tab_picture.png")" ] \
    || fail "$box.png shows no message box in front of the console"
done
[ -s "$S/console_sheet.png" ] || fail "no contact sheet"
mkdir -p "$ARTEFACTS/screens" && cp "$S"/*.png "$ARTEFACTS/screens/"

printf 'click 1107\nclik 1108\n' >"$WORK/typo.txt"
refused_saying "an unknown command" "line 2: 'clik 1108': no command is called 'clik'" \
  console --root "$R" --script "$WORK/typo.txt"
printf 'wait 99999999\n' >"$WORK/long.txt"
refused_saying "a wait too long" "line 1: 'wait 99999999': wait wants milliseconds" \
  console --root "$R" --script "$WORK/long.txt"
printf 'click 4242\n' >"$WORK/missing.txt"
refused_saying "a control that is not there" "line 1: no control 4242 shows in 'Lumora Camera Console'" \
  console --root "$R" --script "$WORK/missing.txt"
printf 'expand 9\n' >"$WORK/nopanel.txt"
refused_saying "a panel that is not there" "line 1: no panel 9 shows in 'Lumora Camera Console'" \
  console --root "$R" --script "$WORK/nopanel.txt"
printf 'expand 1142\n' >"$WORK/notpanel.txt"
refused_saying "a control that is no panel" "line 1: control 1142 is no panel" \
  console --root "$R" --script "$WORK/notpanel.txt"
printf 'plug\n' >"$WORK/twice.txt"
refused_saying "plugging a plugged camera" "plugged in already" console --root "$R" --script "$WORK/twice.txt"
refused_saying "no script file" "cannot read the script" console --root "$R" --script "$WORK/none.txt"
refused_saying "a picture that is no PNG" "ending in .png" console --root "$R" --screenshot "$WORK/end.jpg"
refused_saying "a sheet that is no PNG" "--sheet wants a file name ending in .png" console --root "$R" --sheet "$WORK/s.jpg"
finish
