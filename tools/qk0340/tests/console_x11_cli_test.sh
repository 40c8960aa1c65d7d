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

# The console prints its layout each time its picture comes to rest with a
# new one: "layout N", the lines, "end of layout N".
layouts() { grep -c '^end of layout ' "$OUT"; }
newest_layout() {
  awk '/^layout [0-9]+$/ {inside = 1; block = ""; next}
       /^end of layout [0-9]+$/ {inside = 0; done = block; next}
       inside {block = block $0 "\n"}
       END {printf "%s", done}' "$OUT"
}
# control_line ID PLACE: "control ID X Y W H 'PLACE'" of the newest layout.
control_line() { newest_layout | grep -m1 "^control $1 [0-9]* [0-9]* [0-9]* [0-9]* '$2'\$"; }
# The newest layout shows the control and stays the newest for a second
# (a layout caught in the middle of a change is replaced at once).
settled_with() {
  local n; n=$(layouts)
  control_line "$1" "$2" >/dev/null || return 1
  sleep 1
  [ "$(layouts)" = "$n" ]
}
# click ID PLACE: xdotool presses and releases the left button in the middle
# of the control's visible part, as the X server's own pointer.
click() {
  local line x y w h
  line=$(control_line "$1" "$2") || { fail "no control $1 in '$2' in the layout"; return 1; }
  read -r _ _ x y w h _ <<<"$line"
  xdotool mousemove --sync $((x + w / 2)) $((y + h / 2)) click 1
}
running() { kill -0 "$console" 2>/dev/null; }

# ---- an X server in memory, on a display number it picks free -------------------------------
Xvfb -displayfd 3 -screen 0 "${SCREEN_WIDTH}x${SCREEN_HEIGHT}x24" -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
xvfb=$!
eventually 60 test -s "$WORK/display" || fatal "Xvfb did not start: $(cat "$WORK/xvfb.log")"
export DISPLAY=":$(head -n1 "$WORK/display")"
unset QK_UI_HEADLESS

# ---- the console, through the machine's rundll32.exe, with the camera streaming --------------
timeout 300 "$QK" console --root "$R" --print-controls --screenshot "$WORK/headless.png" \
  >"$OUT" 2>"$WORK/console.err" &
console=$!
eventually 180 grep -q '^end of layout 1$' "$OUT" || fatal "the console printed no layout"
grep -qF "the driver's face tracking at the start: off" "$OUT" \
  || fatal "face tracking is not off in the driver at the start"

# Its real X window, found by its caption: mapped, at the console's place
# (the right edge of the screen, a fifth down) and with its size.
read -r _ wx wy ww wh _ <<<"$(newest_layout | grep -m1 "^window .* '$CAPTION'\$")"
[ "${ww:-}" = "$CONSOLE_WIDTH" ] || fail "the console window is ${ww:-?} pixels wide, not $CONSOLE_WIDTH"
eventually 60 xdotool search --onlyvisible --name "^$CAPTION\$" >"$WORK/windows" \
  || fatal "no mapped X window is called '$CAPTION'"
[ "$(wc -l <"$WORK/windows")" -eq 1 ] || fail "$(wc -l <"$WORK/windows") X windows are called '$CAPTION'"
eval "$(xdotool getwindowgeometry --shell "$(head -n1 "$WORK/windows")")"
[ "$X $Y $WIDTH $HEIGHT" = "$wx $wy $ww $wh" ] \
  || fail "the X window is at $X $Y, $WIDTH x $HEIGHT; the console's window at $wx $wy, $ww x $wh"
[ "$X $Y" = "$((SCREEN_WIDTH - CONSOLE_WIDTH)) $((SCREEN_HEIGHT / 5))" ] || fail "the console opened at $X $Y"

# The display shows the console exactly as its headless picture (the X
# server's own pixels, read back once the presenter has copied them).
eventually 60 "$QK" ui display "$wx" "$wy" "$ww" "$wh" --compare "$WORK/headless.png" -o "$WORK/display.png" \
  >"$WORK/compare.out" 2>&1 || fail "the display differs from the headless picture: $(cat "$WORK/compare.out")"
mkdir -p "$ARTEFACTS" && cp "$WORK/headless.png" "$WORK/display.png" "$ARTEFACTS/" 2>/dev/null

# The "Face Tracking" panel opens under a click on its header, then a click
# on its check box switches tracking on.
click 69 "Face Tracking" || fatal "the face tracking panel's header cannot be clicked"
eventually 60 settled_with 1025 "Face Tracking" || fatal "the face tracking panel did not open under the click"
click 1025 "Face Tracking" || fatal "the face tracking box cannot be clicked"

# The close button ends the console; the qk0340 process then reads the
# driver's face tracking and ends with it.
click 1058 "$CAPTION" || fatal "the close button cannot be clicked"
eventually 120 eval '! running' || fatal "the console did not close under a click on its close button"
wait "$console"
rc=$?
console=""
[ "$rc" -eq 0 ] || fail "the console ended with exit code $rc: $(cat "$WORK/console.err")"
grep -qE "^the driver's face tracking at the end: on, mode [12] " "$OUT" \
  || fail "the driver did not switch face tracking on: $(grep "face tracking at the end" "$OUT")"
grep -Eq "the camera streamed [1-9][0-9]* frames while the console ran" "$OUT" \
  || fail "no frames were streamed while the console ran"
finish
