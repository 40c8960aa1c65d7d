#!/usr/bin/env bash
# Faults during the main job: `qk0340 capture --inject` spoils packets and
# stalls the camera's video endpoint, pulls the camera out and plugs it back
# in, and the summary shows the driver living through it: its recoveries as
# the camera saw them, bad frames, and frames after the replug.
# Usage: inject_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

# number NAME PATTERN: the number a line of the last output holds where PATTERN's (N) is.
number() { sed -nE "s/.*$2.*/\1/p" "$WORK/out" | head -n 1; }

# ---- Refused before any machine starts ---------------------------------------------------------------
refused_saying "every packet" "lose-every wants a whole number of packets from 2" capture --root "$R" --inject lose-every=1 -o "$WORK/x"
refused_saying "replug alone" "replug-at needs an unplug-at" capture --root "$R" --inject replug-at=2 -o "$WORK/x"
refused_saying "replug first" "must come after unplug-at" capture --root "$R" --inject unplug-at=2,replug-at=1 -o "$WORK/x"
refused_saying "after the run" "fall after the end of a 1 s run" capture --root "$R" --seconds 1 --inject unplug-at=1.5 -o "$WORK/x"
refused_saying "frames too" "fall after the end of a 0.5 s run" capture --root "$R" --frames 15 --inject stall-at=1 -o "$WORK/x"
[ -e "$R" ] && fail "refused arguments created the root"

# ---- Lost packets and a stall: the driver recovers and the run completes ------------------------------
# Every 31st packet drifts through the 33 packets of a frame period, so the
# losses fall on payload as often as payload is sent.
ok "stall" capture --root "$R" --size 320x240 --seconds 2 --inject lose-every=31,stall-at=0.5 -o "$WORK/stall"
contains "stall" "injecting: every 31st packet lost, a stall at 0.5 s"
contains "stall" "stalls of its video endpoint; the driver's recoveries (the host came back for video after a stall): 1"
contains "stall" "1 stalls"
lost=$(number "stall" 'the camera: ([0-9]+) packets lost')
[ -n "$lost" ] && [ "$lost" -gt 5 ] || fail "stall: lost packets '$lost'"
# A frame that lost payload is never delivered: it comes back cancelled.
bad=$(number "stall" 'the driver: ([0-9]+) bad frames')
[ -n "$bad" ] && [ "$bad" -gt 0 ] || fail "stall: $bad bad frames"
contains "stall" "wrote 60 frames to $WORK/stall.y4m"

# ---- Pulled out and plugged back in: the stream opens again on the new filter ---------------------------
ok "replug" capture --root "$R" --size 160x120 --seconds 3 --inject unplug-at=1,replug-at=1.5 -o "$WORK/replug"
contains "replug" "injecting: unplugged at 1 s, plugged back in at 1.5 s"
contains "replug" "plugged the camera back in at"
contains "replug" "before the unplug:"
contains "replug" "after the replug:"
before=$(number "replug" '; ([0-9]+) frames before the unplug')
after=$(number "replug" ', ([0-9]+) after the replug')
[ -n "$before" ] && [ "$before" -ge 15 ] && [ "$before" -le 32 ] || fail "replug: $before frames before the unplug"
[ -n "$after" ] && [ $(( before + after )) -eq 90 ] || fail "replug: $before before and $after after the replug"
contains "replug" "wrote 90 frames to $WORK/replug.y4m"

# ---- Pulled out for good: the run ends there, as asked ------------------------------------------------
ok "unplug" capture --root "$R" --size 160x120 --seconds 3 --inject unplug-at=1 -o "$WORK/unplug"
before=$(number "unplug" '; ([0-9]+) frames before the unplug')
[ -n "$before" ] && [ "$before" -ge 15 ] && [ "$before" -le 32 ] || fail "unplug: $before frames before the unplug"
contains "unplug" "wrote $before frames to $WORK/unplug.y4m"
grep -qF "after the replug" "$WORK/out" && fail "unplug: a replug was reported"

finish
