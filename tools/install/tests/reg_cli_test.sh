#!/usr/bin/env bash
# End to end through the qk0340 command: every call is a process of its own on
# the same system root, so what one writes the next must read back.
# Usage: reg_cli_test.sh path/to/qk0340
set -uo pipefail
QK="$1"
source "$(dirname "$0")/../../testing/cli_test_lib.sh"

snapshot() { "$QK" reg export --root "$R" HKLM - >"$1" 2>&1 || fail "export for a snapshot"; }

# A root that was never installed.
refused_saying "query before install" "" reg query --root "$R" HKLM
grep -qF "qk0340 install" "$WORK/err" || fail "the error does not suggest qk0340 install: $(cat "$WORK/err")"

ok "install" install --root "$R"
ok "install again" install --root "$R"
for folder in Windows/System32/drivers Windows/System32 Windows/TWAIN_32; do
  [ -d "$R/$folder" ] || fail "install made no $folder"
done
# The capture driver and the pictures it reads from its folder, as the build made them.
for file in K0340Dev.sys K0340Pv2.bmp K0340Pc.bmp K0340Pvc.bmp; do
  cmp -s "$(dirname "$QK")/$file" "$R/Windows/System32/drivers/$file" || fail "install did not copy $file"
done
cmp -s "$(dirname "$QK")/K0340Cvw.crl" "$R/Windows/System32/K0340Cvw.crl" || fail "install did not copy the console's resource library"
cmp -s "$(dirname "$QK")/SkinHook.DLL" "$R/Windows/TWAIN_32/Lumora/QK0340/SkinHook.DLL" || fail "install did not copy SkinHook.DLL"
cmp -s "$(dirname "$QK")/K0340Cvw.bff" "$R/Windows/System32/K0340Cvw.bff" || fail "install did not copy the skin bundle"

# The example of the issue, each command in its own process.
ok "add" reg add --root "$R" 'HKLM\Software\X' --value V --type dword --data 5 &&
  ok "query" reg query --root "$R" 'HKLM\Software\X' && contains "query" "    V    REG_DWORD    0x5"

# The installation entries the Plug and Play manager reads.
ok "service" reg query --root "$R" 'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\K0340Dev' --value ImagePath
contains "service" 'ImagePath    REG_EXPAND_SZ    \SystemRoot\System32\drivers\K0340Dev.sys'
ok "microphone" reg query --root "$R" 'HKLM\SYSTEM\DriverDatabase\DeviceIds\USB#VID_FA57&PID_0340&MI_02'
contains "microphone" "UpperFilters    REG_MULTI_SZ    K0340Aud"
contains "microphone" "Service    REG_SZ    QkUsbAudio"
ok "partner" reg query --root "$R" 'HKLM\SYSTEM\DriverDatabase\DeviceIds\USB#VID_FA05' --value Service
ok "twin" reg query --root "$R" 'HKLM\Software\Wow6432Node\Lumora Tech\Web Cameras\QK0340'

# Every type, the default value, the 32-bit view and the user's hive.
ok "qword" reg add --root "$R" 'HKLM\Software\X' --value Q --type qword --data 0x1122334455667788
ok "multi" reg add --root "$R" 'HKLM\Software\X' --value M --type multi_sz --data 'one\0two'
ok "binary" reg add --root "$R" 'HKLM\Software\X' --value B --type binary --data 'de,ad,be,ef'
ok "expand" reg add --root "$R" 'HKLM\Software\X' --value E --type expand_sz --data '%SystemRoot%\x'
ok "default" reg add --root "$R" 'HKLM\Software\X' --value '' --data 'the default'
ok "none" reg add --root "$R" 'HKLM\Software\X' --value N --type none
ok "text" reg add --root "$R" 'HKLM\Software\X' --value T --data $'caf\xc3\xa9 \xf0\x9f\x98\x80\ttab'
ok "query all" reg query --root "$R" 'hklm\software\x'
for line in "Q    REG_QWORD    0x1122334455667788" "M    REG_MULTI_SZ    one\\0two" "B    REG_BINARY    DEADBEEF" \
            "E    REG_EXPAND_SZ    %SystemRoot%\\x" "(Default)    REG_SZ    the default" "N    REG_NONE    " \
            $'T    REG_SZ    caf\xc3\xa9 \xf0\x9f\x98\x80\\x09tab'; do
  contains "query all" "$line"
done
ok "32-bit add" reg add --root "$R" 'HKLM\Software\Lumora Tech\Thirty' --view 32 --value W --type dword --data 32
ok "32-bit lands in Wow6432Node" reg query --root "$R" 'HKLM\Software\Wow6432Node\Lumora Tech\Thirty' --value W
refused_saying "not in the 64-bit view" "" reg query --root "$R" 'HKLM\Software\Lumora Tech\Thirty'
ok "user hive" reg add --root "$R" 'HKCU\Software\Lumora Tech\Web Cameras\QK0340\Console' --value AlwaysOnTop --type dword --data 1
ok "user hive query" reg query --root "$R" 'HKEY_USERS' --recursive
contains "user hive query" 'Console'

# Export, delete, import.
ok "export" reg export --root "$R" 'HKLM\Software\X' "$WORK/x.reg"
ok "delete key" reg delete --root "$R" 'HKLM\Software\X'
refused_saying "deleted" "" reg query --root "$R" 'HKLM\Software\X'
ok "import" reg import --root "$R" "$WORK/x.reg"
ok "imported" reg query --root "$R" 'HKLM\Software\X' --value Q && contains "imported" "0x1122334455667788"
ok "export to stdout" reg export --root "$R" 'HKLM\Software\X' - && contains "export to stdout" "Windows Registry Editor Version 5.00"
ok "delete value" reg delete --root "$R" 'HKLM\Software\X' --value Q
refused_saying "value deleted" "" reg query --root "$R" 'HKLM\Software\X' --value Q

# Malformed input changes nothing and never crashes.
snapshot "$WORK/before"
refused_saying "unknown root" "" reg query --root "$R" 'HKXX\Software'
refused_saying "empty level" "" reg add --root "$R" 'HKLM\Software\\X'
refused_saying "long level" "" reg add --root "$R" "HKLM\\Software\\$(printf 'a%.0s' $(seq 256))"
refused_saying "control character" "" reg add --root "$R" $'HKLM\\Software\\a\tb'
refused_saying "bad UTF-8" "" reg add --root "$R" $'HKLM\\Software\\\xff'
refused_saying "below a root" "" reg add --root "$R" 'HKLM\Stray'
refused_saying "unknown type" "" reg add --root "$R" 'HKLM\Software\X' --value V --type wat --data 1
refused_saying "dword too large" "" reg add --root "$R" 'HKLM\Software\X' --value V --type dword --data 4294967296
refused_saying "dword negative" "" reg add --root "$R" 'HKLM\Software\X' --value V --type dword --data -1
refused_saying "dword text" "" reg add --root "$R" 'HKLM\Software\X' --value V --type dword --data five
refused_saying "qword too large" "" reg add --root "$R" 'HKLM\Software\X' --value V --type qword --data 0x10000000000000000
refused_saying "odd binary" "" reg add --root "$R" 'HKLM\Software\X' --value V --type binary --data abc
refused_saying "binary text" "" reg add --root "$R" 'HKLM\Software\X' --value V --type binary --data xyz1
refused_saying "data without value" "" reg add --root "$R" 'HKLM\Software\X' --type dword --data 1
refused_saying "bad view" "" reg query --root "$R" HKLM --view 16
refused_saying "delete a root" "" reg delete --root "$R" HKLM
refused_saying "delete a hive" "" reg delete --root "$R" 'HKLM\SOFTWARE'
refused_saying "missing key" "" reg delete --root "$R" 'HKLM\Software\Nothing'
refused_saying "no subcommand" "" reg
refused_saying "missing file" "" reg import --root "$R" "$WORK/nothing.reg"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fresh]\n"A"=dword:1\n"B"=dword:xyz\n' >"$WORK/bad.reg"
refused_saying "malformed import" "" reg import --root "$R" "$WORK/bad.reg"
grep -qF "line 5" "$WORK/err" || fail "the import error names no line: $(cat "$WORK/err")"
head -c 3000 /dev/urandom >"$WORK/noise.reg"
refused_saying "noise import" "" reg import --root "$R" "$WORK/noise.reg"
snapshot "$WORK/after"
cmp -s "$WORK/before" "$WORK/after" || fail "malformed input changed the registry: $(diff "$WORK/before" "$WORK/after" | head)"

# A damaged database is reported, not crashed on.
cp "$R/registry.db" "$WORK/saved.db"
head -c 8192 /dev/zero | tr '\0' 'x' >"$R/registry.db"
refused_saying "damaged database" "" reg query --root "$R" HKLM

finish
