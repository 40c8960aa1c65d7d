#!/usr/bin/env bash
# The capture driver's controls at the command line: `qk0340 props` lists
# what the capture filter offers, reads and changes controls by name or
# set/id, says clearly what the driver refused and why, and what it stores
# is there for the next process.
# Usage: props_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

# ---- Refused before any machine starts ---------------------------------------------------------------
refused_saying "no action" "subcommand is required" props --root "$R"
refused_saying "unknown name" "no control is called 'zoomm'; the controls are brightness" props --root "$R" get zoomm
refused_saying "unknown set/id" "no control of the capture filter is CameraControl item 77" props --root "$R" get camera/77
refused_saying "bad set/id" "is no SET/ID" props --root "$R" get nowhere/3
refused_saying "bad value" "zoom wants a number (digital zoom" props --root "$R" set zoom lots
refused_saying "bad word" "mirror wants a number or one of off, h, v, hv, vh" props --root "$R" set mirror sideways
refused_saying "bad mode" "auto or manual, not 'sometimes'" props --root "$R" set white-balance 4650 sometimes
refused_saying "no value" "value" props --root "$R" set zoom
[ -e "$R" ] && fail "refused arguments created the root"
touch "$WORK/plainfile"
refused_saying "root is a file" "system root" props --root "$WORK/plainfile" list

# ---- list ---------------------------------------------------------------------------------------------------
ok "list" props --root "$R" list
contains "list" "installed the QK0340 package into"
contains "list" "CONTROL               SET/ID        ACCESS   CURRENT"
line() { grep -E "^$1 " "$WORK/out" | tr -s ' '; }
[ "$(line brightness)" = "brightness procamp/0 get/set 0, manual -64 to 64 in steps of 1, default 0" ] ||
  fail "brightness line: $(line brightness)"
[ "$(line exposure)" = "exposure camera/4 get/set -5 (1/32 s), auto -6 to -2 in steps of 1, default -5" ] ||
  fail "exposure line: $(line exposure)"
[ "$(line camera-variant)" = "camera-variant c/262 get 1 read only: 1 on camera variant 2, else 0" ] ||
  fail "camera-variant line: $(line camera-variant)"
[ "$(line lock)" = "lock a/2053 get/set disabled get: disabled, locked or released; set: disable, enable or release" ] ||
  fail "lock line: $(line lock)"
contains "list" "busy: face tracking is off: the value waits for tracking to start"
contains "list" "not offered by this camera: color-enable (procamp/6), iris (camera/5), pan-tilt (camera/9), quality (compression/3)"
# Every item the filter offers, once (the lock's check value is the lock's item).
[ "$(grep -cE '^[a-z-]+ +[a-z]+/[0-9]+ ' "$WORK/out")" -eq 35 ] || fail "list has $(grep -cE '^[a-z-]+ +[a-z]+/[0-9]+ ' "$WORK/out") items"

# ---- get and set, and what stays for the next process --------------------------------------------------
ok "get zoom" props --root "$R" get zoom
contains "get zoom" "zoom (camera/3): 50, manual"
contains "get zoom" "digital zoom, 50 (the whole picture) to 100 (half its width); get/set, 50 to 100 in steps of 1, default 50"
grep -qF "installed" "$WORK/out" && fail "installed a second time"
ok "set by set/id" props --root "$R" set camera/3 80
contains "set by set/id" "zoom 80: set"
contains "set by set/id" "zoom (camera/3) now: 80, manual"
ok "read back" props --root "$R" get ZOOM
contains "read back" "zoom (camera/3): 80, manual"
ok "negative value" props --root "$R" set exposure -- -4
contains "negative value" "exposure (camera/4) now: -4 (1/16 s), manual (can be auto or manual)"
ok "automatic" props --root "$R" set exposure auto
contains "automatic" "exposure auto: set"
contains "automatic" "-4 (1/16 s), auto"
ok "frame rates" props --root "$R" get video/2
contains "frame rates" "record 0: 5, 10, 15, 20, 25, 30 fps"

# ---- Refusals with the driver's answer ---------------------------------------------------------------------
refused_saying "out of range" \
  "brightness 100: refused by the driver: STATUS_UNSUCCESSFUL (0xC0000001); it takes -64 to 64 in steps of 1, default 0" \
  props --root "$R" set brightness 100
refused_saying "off the steps" "it takes 20 to 250 in steps of 10, default 100" props --root "$R" set gamma 25
refused_saying "not in the list" "tracking-mode 5: refused by the driver: STATUS_UNSUCCESSFUL (0xC0000001); it takes 0 off, 1 continuous following, 2 following a still scene" \
  props --root "$R" set tracking-mode 5
refused_saying "camera refuses" "focus-area 0: refused by the driver: STATUS_NOT_SUPPORTED (0xC00000BB): the camera did not take it" \
  props --root "$R" set focus-area 0
refused_saying "lacking" "the camera has no iris control: its capture filter offers no item camera/5 (STATUS_NOT_FOUND (0xC0000225))" \
  props --root "$R" get iris
refused_saying "read only" "camera-variant (c/262) is read only" props --root "$R" set camera-variant 0
refused_saying "no still from props" "still-capture (a/2051): not read: a still needs a running stream" props --root "$R" get still-capture

# ---- Busy: tracking owns the framing ------------------------------------------------------------------------------
ok "unchanged while off" props --root "$R" set tracking-speed 1
contains "unchanged while off" "tracking-speed 1 (normal): unchanged (the driver answered STATUS_DEVICE_BUSY (0x80000011): the value is unchanged and face tracking is off)"
ok "tracking on" props --root "$R" set tracking-mode continuous
contains "tracking on" "tracking-mode (b/2) now: 1 (continuous), manual"
ok "busy get" props --root "$R" get pan
contains "busy get" "pan (camera/0): 0, manual, busy: face tracking owns the framing while it runs"
refused_saying "busy set" "pan 10: refused by the driver: STATUS_DEVICE_BUSY (0x80000011): face tracking owns the framing while it runs (set tracking-mode 0 first); it stays 0" \
  props --root "$R" set pan 10
ok "tracking off" props --root "$R" set b/2 0
# The framing before tracking is remembered by the running driver only: a
# new start reads back the zoom tracking stored (50), and tracking turned off
# in this later process returns to that.
ok "zoom after tracking" props --root "$R" get zoom
contains "zoom after tracking" "zoom (camera/3): 50, manual"

# ---- The parental lock and other words ------------------------------------------------------------------------------
ok "lock" props --root "$R" set lock enable
contains "lock" "lock enable: set"
contains "lock" "lock (a/2053) now: locked"
ok "lock stays" props --root "$R" get a/2053
contains "lock stays" "lock (a/2053): locked"
ok "check value" props --root "$R" set lock-check-value 305419896
contains "check value" "lock-check-value 305419896: set"
ok "unlock" props --root "$R" set lock disable
contains "unlock" "lock (a/2053) now: disabled"
ok "mirror" props --root "$R" set mirror hv
contains "mirror" "mirror (video/3) now: hv"
ok "power line" props --root "$R" set power-line 60hz
contains "power line" "power-line (a/259) now: 3 (60hz)"
ok "variant 1" props --root "$R" --variant 1 get camera-variant
contains "variant 1" "camera-variant (c/262): 0"

finish
