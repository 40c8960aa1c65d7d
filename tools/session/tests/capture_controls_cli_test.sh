#!/usr/bin/env bash
# Controls on the main job: `qk0340 capture` sends tracking, zoom, pan,
# tilt, mirror, privacy, the lock and any control by name to the capture
# filter before the stream starts, shows what is in effect, and refuses a
# control the driver refuses before anything is written. The pictures show
# it: a card half red, half blue is filmed and the delivered Y4M read back.
# Usage: capture_controls_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

# byte FILE OFFSET: one byte's value.
byte() { od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' '; }
near() {  # near NAME VALUE EXPECTED TOLERANCE
  local d=$(( $2 - $3 )); d=${d#-}
  [ "$d" -le "$4" ] || fail "$1: $2 is not within $4 of $3"
}
le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $((($1 >> 8) & 255)) $((($1 >> 16) & 255)) $((($1 >> 24) & 255)))"; }

# A 64x48 24-bit BMP, left half red and right half blue (lines bottom-up, B G R).
{
  printf 'BM'; le32 9270; le32 0; le32 54
  le32 40; le32 64; le32 48; printf '\x01\x00\x18\x00'; le32 0; le32 9216; le32 2835; le32 2835; le32 0; le32 0
  row="$(for _ in $(seq 32); do printf '\\x00\\x00\\xff'; done)$(for _ in $(seq 32); do printf '\\xff\\x00\\x00'; done)"
  for _ in $(seq 48); do printf "$row"; done
} >"$WORK/halves.bmp"

# The Y4M (C422, 160x120) of the last run: Y and Cr of a pixel of the first frame.
W=160; H=120
first() { echo $(( $(head -n 1 "$1" | wc -c) + 6 )); }
luma() { byte "$1" $(( $(first "$1") + $3 * W + $2 )); }
cr() { byte "$1" $(( $(first "$1") + W * H + W * H / 2 + $3 * W / 2 + $2 / 2 )); }
capture() {  # capture NAME OUT ARGS...: 3 frames of the card at 160x120
  local name="$1" out="$2"; shift 2
  ok "$name" capture --root "$R" --size 160x120 --frames 3 --scene "$WORK/halves.bmp" -o "$WORK/$out" "$@"
}

# ---- Refused before any machine starts ---------------------------------------------------------------
refused_saying "unknown control" "no control is called 'bogus'" capture --root "$R" --set bogus=1 -o "$WORK/x"
refused_saying "no value" "--set wants NAME=VALUE" capture --root "$R" --set zoom -o "$WORK/x"
refused_saying "bad mirror" "--mirror: mirror wants a number or one of off, h, v, hv" capture --root "$R" --mirror sideways -o "$WORK/x"
refused_saying "bad tracking word" "--track: tracking-mode wants a number or one of off, continuous, still" \
  capture --root "$R" --track fast -o "$WORK/x"
refused_saying "bad inject" "unknown fault 'shake-at'" capture --root "$R" --inject shake-at=1 -o "$WORK/x"
refused_saying "late fault" "fall after the end of a 2 s run" capture --root "$R" --seconds 2 --inject stall-at=3 -o "$WORK/x"
[ -e "$R" ] && fail "refused arguments created the root"

# ---- The picture as filmed, and each control's effect on it -------------------------------------------
capture "plain" plain
contains "plain" "controls in effect: tracking-mode 0 (off), tracking-speed 1 (normal) (busy), pip 0 (off) (busy), zoom 50, pan 0, tilt 0, mirror off, privacy 0 (off), lock disabled"
near "plain: red on the left" "$(cr "$WORK/plain.y4m" 40 60)" 240 4
near "plain: blue on the right" "$(cr "$WORK/plain.y4m" 120 60)" 110 6

capture "mirror" mirror --mirror h
contains "mirror" "mirror h: set"
near "mirror: blue on the left" "$(cr "$WORK/mirror.y4m" 40 60)" 110 6
near "mirror: red on the right" "$(cr "$WORK/mirror.y4m" 120 60)" 240 4
# The driver keeps the mirror for the next run, which shows it.
capture "mirror stays" mirror2
contains "mirror stays" "mirror h, privacy"
capture "mirror off" plain2 --mirror off
near "mirror off: red on the left" "$(cr "$WORK/plain2.y4m" 40 60)" 240 4

# Zoomed in all the way and panned to an edge, one colour fills the picture.
capture "zoom right" right --zoom 100 --pan 50
contains "zoom right" "zoom 100: set"
contains "zoom right" "pan 50: set"
near "zoom right: blue on the left" "$(cr "$WORK/right.y4m" 10 60)" 110 6
capture "zoom left" left --pan -50 --tilt 20
near "zoom left: red on the right" "$(cr "$WORK/left.y4m" 150 60)" 240 4
capture "zoom off" plain3 --zoom 50 --pan 0 --tilt 0
near "zoom off: blue on the right" "$(cr "$WORK/plain3.y4m" 150 60)" 110 6

# Privacy: the privacy picture (160x120, so it fills the frame) on its grey
# background instead of the card: neither red nor blue at the corners.
capture "privacy" private --privacy
contains "privacy" "privacy 1 (on): set"
near "privacy: no red at the left" "$(cr "$WORK/private.y4m" 4 4)" 128 8
near "privacy: no blue at the right" "$(cr "$WORK/private.y4m" 154 114)" 128 8
capture "privacy off" plain4 --set privacy=off
near "privacy off: red again" "$(cr "$WORK/plain4.y4m" 40 60)" 240 4

# The lock: set once, it holds every later stream until it is disabled.
capture "lock" locked --lock
contains "lock" "lock enable: set"
contains "lock" "lock locked"
[ "$(cr "$WORK/locked.y4m" 40 60)" -lt 200 ] || fail "lock: the red card shows"
capture "lock stays" locked2
contains "lock stays" "lock locked"
grep -qF "lock enable" "$WORK/out" && fail "lock stays: the lock was touched without --lock"
[ "$(cr "$WORK/locked2.y4m" 40 60)" -lt 200 ] || fail "lock stays: the red card shows"
ok "unlock" props --root "$R" set lock disable
capture "unlocked" plain5
contains "unlocked" "lock disabled"
near "unlocked: red again" "$(cr "$WORK/plain5.y4m" 40 60)" 240 4

# Tracking: on, kept by the driver for the next run, and off again.
capture "tracking" tracked --track 1 --speed fast --pip 0
contains "tracking" "tracking-speed 2 (fast): set"
contains "tracking" "tracking-mode 1 (continuous): set"
contains "tracking" "controls in effect: tracking-mode 1 (continuous), tracking-speed 2 (fast), pip 0 (off)"
capture "tracking stays" tracked2
contains "tracking stays" "controls in effect: tracking-mode 1 (continuous)"

# ---- Refused by the driver: the run does not start and nothing is written ---------------------------------
refused_saying "busy" "zoom 70: refused by the driver: STATUS_DEVICE_BUSY (0x80000011): face tracking owns the framing while it runs (set tracking-mode 0 first); it stays 50" \
  capture --root "$R" --zoom 70 --frames 2 -o "$WORK/refused/out"
refused_saying "kept before it" "; sent before it, and kept by the driver: tracking-mode 0 (off)" \
  capture --root "$R" --track 0 --pan 80 --frames 2 -o "$WORK/refused/out"
grep -qF "pan 80: refused by the driver: STATUS_UNSUCCESSFUL (0xC0000001); it takes -50 to 50 in steps of 1, default 0" "$WORK/err" ||
  fail "out of range: $(cat "$WORK/err")"
refused_saying "lacking" "the camera has no iris control" capture --root "$R" --set iris=3 --frames 2 -o "$WORK/refused/out"
refused_saying "read only" "camera-variant 0: refused by the driver: STATUS_INVALID_DEVICE_REQUEST" \
  capture --root "$R" --set camera-variant=0 --frames 2 -o "$WORK/refused/out"
[ -e "$WORK/refused" ] && fail "a refused control left files"
ok "any control by name" capture --root "$R" --size 160x120 --frames 2 --set white-balance-preset=2800k --set exposure=-3:manual -o "$WORK/named"
contains "any control by name" "white-balance-preset 2 (2800k): set"
contains "any control by name" "exposure -3 (1/8 s): set"

finish
