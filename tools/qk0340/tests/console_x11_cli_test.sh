#!/usr/bin/env bash
# The console on a real X server (Xvfb), as a person meets it: started
# through the machine's rundll32.exe with the simulated camera streaming, it
# shows a real X window at its place with its size and the very pixels of its
# headless picture; a click by xdotool opens the "Face Tracking" panel,
# another on its check box switches face tracking on in the driver (the
# driver's own answer, read by the qk0340 process after the console has
# gone), and a click on the close button ends the console cleanly.
# Skipped (exit 77) where Xvfb or xdotool are not installed.
# Usage: console_x11_cli_test.sh path/to/qk0340 ARTEFACTS
set -uo pipefail
QK="$1"
ARTEFACTS="$2"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

if ! command -v Xvfb >/dev/null || ! command -v xdotool >/dev/null; then
  echo "SKIP: Xvfb or xdotool is not installed (scripts/deps.sh installs them)"
  exit 77
fi

CAPTION="Lumora Camera Console"
CONSOLE_WIDTH=364          # template 120: 208 dialog units of 1.75 pixels
SCREEN_WIDTH=1280 SCREEN_HEIGHT=1024
OUT="$WORK/console.out"
xvfb="" console=""
cleanup() {
  [ -n "$console" ] && kill "$console" 2>/dev/null && wait "$console" 2>/dev/null
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

# A failure that leaves nothing more to check: the output so far, and out.
fatal() {
  fail "$*"
  echo "--- the console's output:"; cat "$OUT" 2>/dev/null
  echo "--- its errors:"; cat "$WORK/console.err" 2>/dev/null
  finish
}

# eventually SECONDS COMMAND...: COMMAND succeeds within SECONDS, tried
# every tenth of a second (the machine may be loaded: no fixed sleeps).
eventually() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do
    [ "$SECONDS" -ge "$end" ] && return 1
    sleep 0.1
  done
}

# The console prints its layout each time it comes to rest with a new one
# ("layout N", the lines, "end of layout N") and keeps its headless picture
# of that moment as $PICTURES/layout_N.png.
PICTURES="$WORK/layouts"
layouts() { grep -c '^end of layout ' "$OUT"; }
newest_layout() {
  awk '/^layout [0-9]+$/ {inside = 1; block = ""; next}
       /^end of layout [0-9]+$/ {inside = 0; done = block; next}
       inside {block = block $0 "\n"}
       END {printf "%s", done}' "$OUT"
}
# control_line ID PLACE: "control ID X Y W H 'PLACE'" of the newest layout.
control_line() { newest_layout | grep -m1 "^control $1 [0-9]* [0-9]* [0-9]* [0-9]* '$2'\$"; }

# shows_newest: the console is at rest and the display shows it so: its X
# window, found by its caption, is mapped where the newest layout puts the
# console's window, and the X server's pixels there are those of the
# layout's headless picture. Sets wx wy ww wh; why not in $WORK/why.
shows_newest() {
  local n ids
  n=$(layouts)
  [ "$n" -gt 0 ] || { echo "no layout yet" >"$WORK/why"; return 1; }
  read -r _ wx wy ww wh _ <<<"$(newest_layout | grep -m1 "^window .* '$CAPTION'\$")"
  ids=$(xdotool search --onlyvisible --name "^$CAPTION\$" 2>/dev/null)
  [ "$(printf '%s\n' "$ids" | grep -c .)" -eq 1 ] || { echo "mapped X windows called '$CAPTION': [$ids]" >"$WORK/why"; return 1; }
  eval "$(xdotool getwindowgeometry --shell "$ids")"
  [ "$X $Y $WIDTH $HEIGHT" = "$wx $wy $ww $wh" ] \
    || { echo "the X window is at $X $Y, $WIDTH x $HEIGHT; layout $n puts the console at $wx $wy, $ww x $wh" >"$WORK/why"; return 1; }
  "$QK" ui display "$wx" "$wy" "$ww" "$wh" --compare "$PICTURES/layout_$n.png" -o "$WORK/display.png" >"$WORK/why" 2>&1 \
    || return 1
  [ "$(layouts)" = "$n" ] || { echo "a newer layout came" >"$WORK/why"; return 1; }
}
# shows_newest_with ID PLACE: ... and its layout shows the control.
shows_newest_with() {
  shows_newest || return 1
  control_line "$1" "$2" >/dev/null || { echo "layout $(layouts) shows no control $1 in '$2'" >"$WORK/why"; return 1; }
}
# click ID PLACE: xdotool presses and releases the left button in the middle
# of the control's visible part, as the X server's own pointer, then takes
# the pointer off the console (no tooltip or hover picture to wait out).
click() {
  local line x y w h
  line=$(control_line "$1" "$2") || { fail "no control $1 in '$2' in the layout"; return 1; }
  read -r _ _ x y w h _ <<<"$line"
  xdotool mousemove --sync $((x + w / 2)) $((y + h / 2)) click 1 mousemove --sync 0 0
}
running() { kill -0 "$console" 2>/dev/null; }

# ---- an X server in memory, on a display number it picks free -------------------------------
Xvfb -displayfd 3 -screen 0 "${SCREEN_WIDTH}x${SCREEN_HEIGHT}x24" -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
xvfb=$!
eventually 60 test -s "$WORK/display" || fatal "Xvfb did not start: $(cat "$WORK/xvfb.log")"
export DISPLAY=":$(head -n1 "$WORK/display")"
unset QK_UI_HEADLESS

# ---- the console, through the machine's rundll32.exe, with the camera streaming --------------
timeout 300 "$QK" console --root "$R" --print-controls --layout-pictures "$PICTURES" \
  >"$OUT" 2>"$WORK/console.err" &
console=$!
eventually 120 grep -q '^end of layout 1$' "$OUT" || fatal "the console printed no layout"
grep -qF "the driver's face tracking at the start: off" "$OUT" \
  || fatal "face tracking is not off in the driver at the start"

# Its real X window, mapped with the console's place and size (the right
# edge of the screen, a fifth down), showing the headless picture exactly.
eventually 60 shows_newest || fatal "the display does not show the console: $(cat "$WORK/why")"
[ "$ww" = "$CONSOLE_WIDTH" ] || fail "the console window is $ww pixels wide, not $CONSOLE_WIDTH"
[ "$wx $wy" = "$((SCREEN_WIDTH - CONSOLE_WIDTH)) $((SCREEN_HEIGHT / 5))" ] || fail "the console opened at $wx $wy"
mkdir -p "$ARTEFACTS" && cp "$WORK/display.png" "$ARTEFACTS/display_start.png"

# The "Face Tracking" panel opens under a click on its header, then a click
# on its check box switches tracking on.
click 69 "Face Tracking" || fatal "the face tracking panel's header cannot be clicked"
eventually 60 shows_newest_with 1025 "Face Tracking" \
  || fatal "the face tracking panel did not open under the click: $(cat "$WORK/why")"
cp "$WORK/display.png" "$ARTEFACTS/display_face_tracking.png"
# The comparison tells pictures apart: the opened panel is not the start.
refused_saying "the display compared with the first picture" "pixels differ from $PICTURES/layout_1.png" \
  ui display "$wx" "$wy" "$ww" "$wh" --compare "$PICTURES/layout_1.png"
DISPLAY= refused_saying "no display to read" "no X display can be opened" ui display 0 0 10 10
refused_saying "an area off the screen" "outside the ${SCREEN_WIDTH} x ${SCREEN_HEIGHT} screen" \
  ui display $((SCREEN_WIDTH - 10)) 0 20 10
n=$(layouts)
click 1025 "Face Tracking" || fatal "the face tracking box cannot be clicked"
# The click brings a new picture at rest, and the display shows it.
eventually 60 eval '[ "$(layouts)" -gt "$n" ] && shows_newest_with 1025 "Face Tracking"' \
  || fatal "the display does not show the ticked box: $(cat "$WORK/why")"
cp "$WORK/display.png" "$ARTEFACTS/display_ticked.png"

# The close button ends the console; the qk0340 process then reads the
# driver's face tracking and ends with it.
click 1058 "$CAPTION" || fatal "the close button cannot be clicked"
eventually 60 eval '! running' || fatal "the console did not close under a click on its close button"
wait "$console"
rc=$?
console=""
[ "$rc" -eq 0 ] || fail "the console ended with exit code $rc: $(cat "$WORK/console.err")"
grep -qE "^the driver's face tracking at the end: on, mode [12] " "$OUT" \
  || fail "the driver did not switch face tracking on: $(grep "face tracking at the end" "$OUT")"
grep -Eq "the camera streamed [1-9][0-9]* frames while the console ran" "$OUT" \
  || fail "no frames were streamed while the console ran"
finish
