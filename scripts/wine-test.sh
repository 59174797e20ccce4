#!/usr/bin/env bash
# Runs the x86_64 Windows build under Wine in a private prefix: registers
# VELQUIN.dll with regsvr32 and checks its keys with reg query, unregisters it
# and checks they are gone, registers it again and runs the Windows clients
# (camlist, presetctl, camfiles with torwen.dll) and the portable unit tests
# built for Windows. Each check is one case; the stage ends with
# "wine: N passed, N failed" and fails when a case fails.
# Needs scripts/cross-build.sh first; builds the native presetctl it compares with.
set -uo pipefail
cd "$(dirname "$0")/.."

out=build/mingw64
dll=$out/camctl/object/VELQUIN.dll
tools=$out/tools
wine=/usr/lib/wine/wine64
clsid='{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}'
libid='{47AA0C35-5634-46F1-8709-8F8F8CD36739}'
class_key="HKCR\\CLSID\\$clsid"

for needed in "$dll" "$out/storage/microdriver/torwen.dll" "$tools/camlist/camlist.exe" \
              "$tools/presetctl/presetctl.exe" "$tools/camfiles/camfiles.exe" \
              "$out/tests/windows/windows_unit_tests.exe" "$out/tests/windows/windows_mutex_holder.exe" \
              "$out/tests/windows/windows_vcam_lock_holder.exe"; do
  [ -f "$needed" ] || { echo "wine-test: $needed is missing (run scripts/cross-build.sh first)" >&2; exit 1; }
done
echo "== native presetctl (compared with the Windows one) =="
cmake --preset native >/dev/null && cmake --build --preset native --target presetctl vcam_tool -j2 >/dev/null || {
  echo "wine-test: the native presetctl and vcam did not build" >&2; exit 1; }

# A prefix of our own, made anew each run so no registration survives from an earlier one.
export WINEPREFIX="$PWD/$out/wine-test-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
timeout 60 wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"
work=$(mktemp -d)
trap 'timeout 60 wineserver -k 2>/dev/null; rm -rf "$work"' EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "PASS $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1: $2"; }

# Runs a Windows program with a time bound; its standard output (carriage
# returns removed) goes to $work/out, its error output to $work/err, and
# $status holds the exit code.
run() {
  timeout "${RUN_TIMEOUT:-60}" "$wine" "$@" >"$work/raw" 2>"$work/err"
  status=$?
  tr -d '\r' <"$work/raw" >"$work/out"
  sed -i 's/\r$//' "$work/err"
}

# The data of value $2 of key $1 ("" for the default value), or a failure.
reg_value() {
  local key=$1 name=$2 line
  if [ -z "$name" ]; then run reg query "$key" /ve; else run reg query "$key" /v "$name"; fi
  [ "$status" = 0 ] || return 1
  line=$(grep -m1 'REG_SZ' "$work/out") || return 1
  printf '%s\n' "${line#*REG_SZ    }"
}

# Case: value $2 of key $1 is $3.
expect_value() {
  local got
  if got=$(reg_value "$1" "$2") && [ "$got" = "$3" ]; then
    pass "reg: $1 ${2:-(default)} = $3"
  else
    fail "reg: $1 ${2:-(default)}" "expected \"$3\", got \"${got:-(no such value)}\""
  fi
}

# Case: key $1 does not exist.
expect_no_key() {
  run reg query "$1"
  if [ "$status" != 0 ]; then pass "reg: $1 removed"; else fail "reg: $1 removed" "the key is still there"; fi
}

# Case: the last run exited with $2 and its output ($3: out or err) is exactly $4.
expect_run() {
  local name=$1 code=$2 stream=$3 text=$4
  if [ "$status" = "$code" ] && [ "$(cat "$work/$stream")" = "$text" ]; then
    pass "$name"
  else
    fail "$name" "exit $status, output: $(head -c 400 "$work/out") $(head -c 400 "$work/err")"
  fi
}

started=$SECONDS
echo "== wine: prefix $WINEPREFIX =="
RUN_TIMEOUT=300 run wineboot -i
[ "$status" = 0 ] || fail "prefix" "wineboot exited $status"

module=$(winepath -w "$dll" 2>/dev/null)
check_registered() {
  expect_value "$class_key" "" "CameraControl Class"
  expect_value "$class_key\\ProgID" "" "VELQUIN.CameraControl.1"
  expect_value "$class_key\\VersionIndependentProgID" "" "VELQUIN.CameraControl"
  expect_value "$class_key\\InprocServer32" "" "$module"
  expect_value "$class_key\\InprocServer32" "ThreadingModel" "Apartment"
  expect_value "$class_key\\TypeLib" "" "$libid"
  expect_value "HKCR\\VELQUIN.CameraControl.1\\CLSID" "" "$clsid"
  expect_value "HKCR\\VELQUIN.CameraControl\\CLSID" "" "$clsid"
  expect_value "HKCR\\VELQUIN.CameraControl\\CurVer" "" "VELQUIN.CameraControl.1"
  expect_value "HKCR\\TypeLib\\$libid\\1.0" "" "VEL-QUIN 1.0 Type Library"
  run reg query "HKCR\\TypeLib\\$libid\\1.0" /s
  if [ "$status" = 0 ] && grep -q "^HKEY_CLASSES_ROOT\\\\TypeLib\\\\$libid\\\\1.0\\\\[0-9a-f]*\\\\win64\$" "$work/out" &&
     grep -qF "REG_SZ    $module" "$work/out"; then
    pass "reg: the type library's win64 path is the module"
  else
    fail "reg: the type library's win64 path is the module" "$(cat "$work/out")"
  fi
}

register() {
  run regsvr32 /s "$dll"
  if [ "$status" = 0 ]; then pass "regsvr32 $1"; else fail "regsvr32 $1" "exit $status $(cat "$work/err")"; fi
}

register VELQUIN.dll
check_registered

run regsvr32 /s /u "$dll"
if [ "$status" = 0 ]; then pass "regsvr32 /u VELQUIN.dll"; else fail "regsvr32 /u VELQUIN.dll" "exit $status"; fi
expect_no_key "$class_key"
expect_no_key "HKCR\\VELQUIN.CameraControl.1"
expect_no_key "HKCR\\VELQUIN.CameraControl"
expect_no_key "HKCR\\TypeLib\\$libid"

register "VELQUIN.dll again"
expect_value "$class_key\\InprocServer32" "" "$module"

# camlist creates the object through CoCreateInstance; creating it deletes the log file.
log_file="$WINEPREFIX/drive_c/ORVANELogFile.txt"
echo "left by an earlier run" >"$log_file"
run "$tools/camlist/camlist.exe"
expect_run "camlist.exe lists no camera" 0 out "Cameras found: 0"
if [ ! -e "$log_file" ]; then pass "creating the object deletes C:\\ORVANELogFile.txt"
else fail "creating the object deletes C:\\ORVANELogFile.txt" "the file is still there"; fi

run "$tools/presetctl/presetctl.exe" cameras
expect_run "presetctl.exe cameras" 0 out "No camera found."

build/native/tools/presetctl/presetctl defaults >"$work/native-defaults"
run "$tools/presetctl/presetctl.exe" defaults
if [ "$status" = 0 ] && [ -s "$work/native-defaults" ] && cmp -s "$work/raw" "$work/native-defaults"; then
  pass "presetctl.exe defaults: the same bytes as the native presetctl"
else
  fail "presetctl.exe defaults: the same bytes as the native presetctl" \
       "exit $status; $(cmp "$work/raw" "$work/native-defaults" 2>&1)"
fi

# camfiles loads torwen.dll and resolves its fourteen exports before it looks
# for a camera: an export missing would end it with "the library has no export".
torwen=$(winepath -w "$out/storage/microdriver/torwen.dll" 2>/dev/null)
# Without --device it asks the imaging service for a camera, with COM started
# (CO_E_NOTINITIALIZED would mean it was not); there is none here, whatever
# this Wine's imaging service answers.
run "$tools/camfiles/camfiles.exe" --library "$torwen" status
name="camfiles.exe status: torwen.dll loaded, no camera from the imaging service"
if [ "$status" = 1 ] && grep -qxE 'camfiles: (no camera found|listing the cameras: .*)' "$work/err" &&
   ! grep -q '0x800401F0' "$work/err"; then
  pass "$name"
else
  fail "$name" "exit $status, output: $(head -c 400 "$work/err")"
fi

# A camera's device class key whose storage driver link leads nowhere, as on a
# machine without the storage driver: opening ends cleanly with file-not-found.
device='{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\0001'
run reg add "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\$device" /v DevSymLink /t REG_SZ \
    /d '\??\VelquinTestNoStorageDriver' /f
run "$tools/camfiles/camfiles.exe" --library "$torwen" --device "$device" status
expect_run "camfiles.exe status without a storage driver" 1 err \
  "camfiles: opening the camera: no such file on the camera (0x80070002)"

# The portable unit tests built for Windows: one case for the whole program.
# They start the camera mutex's and the camera lock's second processes by
# name from their own folder. One of them opens a camera made here by the
# Linux tool and exchanges frames with it; its trace is then read here.
other_root="$work/other-vcam"
native_vcam=build/native/sim/vcam
if "$native_vcam" --root "$other_root" create other --unique-id 0800460102ab00ee >/dev/null; then
  pass "vcam (Linux) creates the camera the Windows tests open"
else
  fail "vcam (Linux) creates the camera the Windows tests open" "exit $?"
fi
tests_dir="$out/tests/windows"
pushd "$tests_dir" >/dev/null
VCAM_OTHER_CAMERA=$(winepath -w "$other_root/other" 2>/dev/null) RUN_TIMEOUT=300 run windows_unit_tests.exe
popd >/dev/null
if [ "$status" = 0 ] && grep -q '^\[  PASSED  \]' "$work/out" && ! grep -q '^\[  FAILED  \]' "$work/out" &&
   ! grep -q '^\[  SKIPPED \]' "$work/out"; then
  pass "windows_unit_tests.exe: $(grep -m1 '^\[==========\] .* ran' "$work/out" | sed 's/^\[=*\] //')"
else
  fail "windows_unit_tests.exe" "exit $status; $(grep -E '^\[  (FAILED|SKIPPED) \]' "$work/out" | head -20 | tr '\n' ' ')"
fi
# The exchanges made under Wine, as the Linux tool reads them: same trace format.
trace=$("$native_vcam" --root "$other_root" trace other print 2>&1 | sed 's/^[^ ]* //')
if [ "$trace" = "other avc 012000000085001013FFFF 0C20000000850010130101 0
other avc 00200000008500014109 09200000008500014109 0
other avc 012000000085000141FF 0C200000008500014109 0" ]; then
  pass "the Windows exchanges in the camera's trace, read on Linux"
else
  fail "the Windows exchanges in the camera's trace, read on Linux" "$trace"
fi

timeout 60 wineserver -k 2>/dev/null
echo "wine stage: $((SECONDS - started)) s"
echo "wine: $passed passed, $failed failed"
[ "$failed" = 0 ]
