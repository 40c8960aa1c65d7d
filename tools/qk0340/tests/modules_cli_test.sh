#!/usr/bin/env bash
# The platform's two programs that call into a library by name, as a user or
# an installer runs them: `qk0340 regsvr32 [/u] [/s] MODULE` with its exit
# codes (1 no module named, 3 not loadable, 4 no registration entry) and
# messages, and `qk0340 rundll32 MODULE,ENTRY ARGS`; every bad form refused
# with a message and a non-zero exit, never a crash.
# Usage: modules_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"
exit_code() { "$QK" "$@" >"$WORK/out" 2>"$WORK/err"; echo $?; }

# ---- regsvr32 -----------------------------------------------------------------------------------------------
ok "install" install --root "$R"
ok "register" regsvr32 --root "$R" K0340Vfw.dll
contains "register" "DllRegisterServer in K0340Vfw.dll succeeded."
ok "register again" regsvr32 --root "$R" K0340Vfw.dll
ok "unregister" regsvr32 --root "$R" /u K0340Vfw.dll
contains "unregister" "DllUnregisterServer in K0340Vfw.dll succeeded."
ok "silent" regsvr32 --root "$R" /s K0340Vfw.dll
[ -s "$WORK/out" ] && fail "silent regsvr32 said: $(cat "$WORK/out")"

[ "$(exit_code regsvr32 --root "$R" Nothing.dll)" -eq 3 ] || fail "a missing module is not exit code 3"
grep -qF 'The module "Nothing.dll" failed to load' "$WORK/err" || fail "missing module message: $(cat "$WORK/err")"
[ "$(exit_code regsvr32 --root "$R" /s Nothing.dll)" -eq 3 ] || fail "silent: not exit code 3"
[ -s "$WORK/err" ] && fail "silent regsvr32 said: $(cat "$WORK/err")"
[ "$(exit_code regsvr32 --root "$R")" -eq 1 ] || fail "no module is not exit code 1"
# A file of the right name that is no module, and a library without the entry
# (the audio effects library registers nothing).
printf 'not a module' >"$R/Windows/System32/Broken.dll"
[ "$(exit_code regsvr32 --root "$R" Broken.dll)" -eq 3 ] || fail "a file that is no module is not exit code 3: $(cat "$WORK/err")"
grep -qF 'The module "Broken.dll" failed to load' "$WORK/err" || fail "broken module message: $(cat "$WORK/err")"
[ "$(exit_code regsvr32 --root "$R" K0340Afx.dll)" -eq 4 ] || fail "a library without the entry is not exit code 4: $(cat "$WORK/err")"
grep -qF 'the entry-point DllRegisterServer was not found' "$WORK/err" || fail "missing entry message: $(cat "$WORK/err")"
[ "$(exit_code regsvr32 --root "$R" /u K0340Afx.dll)" -eq 4 ] || fail "unregistering a library without the entry is not exit code 4"
grep -qF 'DllUnregisterServer' "$WORK/err" || fail "the unregister message names another entry: $(cat "$WORK/err")"

# ---- rundll32 -----------------------------------------------------------------------------------------------
# A console asked to quit when none runs: the entry runs and returns at once.
ok "rundll32 an entry" rundll32 --root "$R" K0340Cvw.dll,luCVWConsoleRunDLL32EP /quit
refused_saying "rundll32 missing entry" "Error in K0340Vfw.dll: missing entry: Nope" rundll32 --root "$R" K0340Vfw.dll,Nope
refused_saying "rundll32 no entry" "is no MODULE,ENTRY" rundll32 --root "$R" K0340Vfw.dll
refused_saying "rundll32 empty entry" "is no MODULE,ENTRY" rundll32 --root "$R" K0340Vfw.dll,
refused_saying "rundll32 empty module" "is no MODULE,ENTRY" rundll32 --root "$R" ,Run
refused_saying "rundll32 no module" "There was a problem starting Nothing.dll" rundll32 --root "$R" Nothing.dll,Run
refused_saying "rundll32 not a module" "There was a problem starting Broken.dll" rundll32 --root "$R" Broken.dll,Run

finish
