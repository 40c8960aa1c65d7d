#!/usr/bin/env bash
# `qk0340 install` as an installer is used: a fresh root, the same root
# installed again (nothing doubled, the user's settings kept), and roots or
# module folders that cannot serve, refused with a message that names the
# cause, never a crash.
# Usage: install_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

snapshot() {  # the whole registry of $R and the list of its files
  for hive in HKLM HKU; do "$QK" reg export --root "$R" "$hive" - || echo "export of $hive failed"; done
  (cd "$R" && find . -path ./registry.lock -prune -o -path ./registry.db -prune -o -type f -printf '%p %s\n' | sort)
}

ok "fresh install" install --root "$R"
contains "fresh install" "installed the QK0340 package into"
for f in Windows/System32/drivers/K0340Dev.sys Windows/System32/K0340Vfw.dll Windows/System32/K0340Cvw.crl; do
  [ -s "$R/$f" ] || fail "the installation lacks $f"
done
ok "the driver's service" reg query --root "$R" 'HKLM\SYSTEM\CurrentControlSet\Services\K0340Dev'
snapshot >"$WORK/first"

# A user setting made after the first installation survives the second.
ok "a user setting" reg add --root "$R" 'HKCU\Software\Lumora Tech\Web Cameras\QK0340\Console' --value AlwaysOnTop --type dword --data 1
snapshot >"$WORK/with-setting"
ok "install again" install --root "$R"
snapshot >"$WORK/second"
diff -u "$WORK/with-setting" "$WORK/second" >"$WORK/diff" || fail "installing again changed the root: $(head -40 "$WORK/diff")"
grep -q '"AlwaysOnTop"=dword:00000001' "$WORK/second" || fail "the user's setting is gone after installing again"
cmp -s "$WORK/first" "$WORK/with-setting" && fail "the user setting did not show in the snapshot"

# Roots and module folders that cannot serve.
touch "$WORK/a-file"
refused_saying "root is a file" "cannot create the system root" install --root "$WORK/a-file"
refused_saying "root under /proc" "cannot create the system root" install --root /proc/qk-no-such/root
mkdir "$WORK/no-modules"
refused_saying "empty module folder" "K0340Dev.sys" install --root "$WORK/r2" --modules "$WORK/no-modules"
refused_saying "missing module folder" "K0340Dev.sys" install --root "$WORK/r3" --modules "$WORK/none"
# A refused installation leaves an installed root as it was.
refused_saying "reinstall from an empty folder" "K0340Dev.sys" install --root "$R" --modules "$WORK/no-modules"
snapshot >"$WORK/after-refusal"
diff -u "$WORK/second" "$WORK/after-refusal" >"$WORK/diff" || fail "a refused installation changed the root: $(head -40 "$WORK/diff")"

finish
