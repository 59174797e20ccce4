#!/usr/bin/env bash
# Runs the x86_64 Windows build under Wine in a private prefix: first the
# installer (install, upgrades, a failed registration, uninstall), then registers
# VELQUIN.dll with regsvr32 and checks its keys with reg query, unregisters it
# and checks they are gone, registers it again and runs the Windows clients
# (camlist, presetctl, camfiles with torwen.dll) and the portable unit tests
# built for Windows. The virtual DV camera (vcamdv.dll) is registered for
# cameras made with the native vcam tool, its keys checked, and camlist and
# presetctl find its camera through Wine's DirectShow device enumerator.
# Wine's imaging-service device manager lists nothing, so a stand-in
# (tests/windows/imaging_double.exe) is registered in this prefix only. Each
# check is one case; the stage ends with
# "wine: N passed, N failed" and fails when a case fails.
# Needs scripts/cross-build.sh first; builds the native presetctl it compares
# with and the native vcam tool that makes the cameras.
set -uo pipefail
cd "$(dirname "$0")/.."

out=build/mingw64
dll=$out/camctl/object/VELQUIN.dll
tools=$out/tools
wine=/usr/lib/wine/wine64
clsid='{9D3166E1-A31E-4E07-A6BF-ADBE75266CFE}'
libid='{47AA0C35-5634-46F1-8709-8F8F8CD36739}'
class_key="HKCR\\CLSID\\$clsid"

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/CMakeCache.txt")
setup=$out/velquin-setup-$version-x64.exe
unit_programs=(windows_unit_tests windows_devices_tests windows_settings_tests windows_presets_app_tests
               windows_torwen_tests windows_e2e_tests)
vcam_dll=$out/sim/windows/vcamdv.dll
native_vcam=build/native/sim/vcam
needed=("$dll" "$setup" "$vcam_dll" "$out/sim/windows/vcam_dshow_tests.exe" "$out/storage/microdriver/torwen.dll"
        "$tools/camlist/camlist.exe" "$tools/presetctl/presetctl.exe" "$tools/camfiles/camfiles.exe"
        "$out/tests/windows/windows_mutex_holder.exe" "$out/tests/windows/windows_settings_mutex_holder.exe"
        "$out/tests/windows/windows_vcam_lock_holder.exe"
        "$out/tests/windows/imaging_double.exe" "$out/tests/windows/imaging_double_ps.dll"
        "$out/sim/windows/vcamstor.sys" "$out/sim/windows/vcamstor_service.exe" "$out/sim/windows/vcam_storage_tests.exe"
        "$out/app/ui/win32/presets.exe" "$out/tests/windows/windows_presets_window_tests.exe")
for program in "${unit_programs[@]}"; do needed+=("$out/tests/windows/$program.exe"); done
for file in "${needed[@]}"; do
  [ -f "$file" ] || { echo "wine-test: $file is missing (run scripts/cross-build.sh first)" >&2; exit 1; }
done
echo "== the native programs the Windows ones are compared with, and vcam =="
cmake --preset native >/dev/null &&
  cmake --build --preset native --target presetctl camfiles torwen VELQUIN regsvr vcam_tool -j2 >/dev/null || {
  echo "wine-test: the native programs or vcam did not build" >&2; exit 1; }

# A prefix of our own, made anew each run so no registration survives from an earlier one;
# shortcuts the installer makes stay in it (no menu entries on this machine).
export WINEPREFIX="$PWD/$out/wine-test-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
timeout 60 wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"
work=$(mktemp -d)
# A display of our own for the windows the library makes (the removal
# notices' hidden window, the preview's owner): never the user's.
unset DISPLAY
xvfb_pid=
if command -v Xvfb >/dev/null; then
  Xvfb -ac -nolisten tcp -displayfd 3 -screen 0 640x480x24 3>"$work/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
  [ -s "$work/display" ] && export DISPLAY=":$(head -n1 "$work/display")"
fi
trap 'timeout 60 wineserver -k 2>/dev/null; [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; rm -rf "$work"' EXIT

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

# Case: the last run exited with 0.
expect_success() {
  if [ "$status" = 0 ]; then pass "$1"; else fail "$1" "exit $status $(cat "$work/err")"; fi
}

# Case: the last run was a GoogleTest program that passed with no test failed
# or skipped, and its output has a line matching $2 (default: the pass line).
expect_tests() {
  local name=$1 required=${2:-'^\[  PASSED  \]'}
  if [ "$status" = 0 ] && grep -q '^\[  PASSED  \]' "$work/out" && ! grep -qE '^\[  (FAILED|SKIPPED) \]' "$work/out" &&
     grep -q "$required" "$work/out"; then
    pass "$name: $(grep -m1 '^\[==========\] .* ran' "$work/out" | sed 's/^\[=*\] //')"
  else
    fail "$name" "exit $status; $(grep -E '^\[  (FAILED|SKIPPED) \]' "$work/out" | head -20 | tr '\n' ' ') last lines: $(tail -n 3 "$work/out" | tr '\n' ' ') $(tail -n 3 "$work/err" | tr '\n' ' ')"
  fi
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
# Let the first boot's processes end with their wineserver: while they run,
# the COM service that the first out-of-process activation starts fails to
# start, and that activation waits for good.
timeout 60 wineserver -w

# The installer (packaging/windows/velquin.nsi), first, in the fresh prefix:
# a registration that fails leaves nothing; an install, an upgrade in place
# and one moved by /D=, then the uninstaller, after which the machine's keys
# are exactly as before. The rest of the stage registers the build tree's copy.
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VELQUIN'
seconds_since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }'; }
# Machine-wide and user keys (HKCR is a view of both), exported to $work/$1-*.reg.
export_keys() {
  local key n=0
  for key in 'HKLM\Software' 'HKCU\Software' 'HKCR\CLSID' 'HKCR\TypeLib'; do
    n=$((n + 1))
    run reg export "$key" "$(winepath -w "$work/$1-$n.reg" 2>/dev/null)" /y
    [ "$status" = 0 ] || echo "reg export $key exited $status" >>"$work/$1-errors"
  done
}
# Cases: the installed copy in Windows folder $1 (Unix $2): its files, the
# server's class and type library keys into it, its uninstall entry.
expect_installed() {
  local win=$1 dir=$2 files bytes
  files=$(cd "$dir" 2>/dev/null && ls | tr '\n' ' ')
  if [ "$files" = "README.txt Uninstall.exe VELQUIN.dll camfiles.exe camlist.exe presetctl.exe presets.exe torwen.dll " ]; then
    pass "installer: the files in $win"
  else
    fail "installer: the files in $win" "${files:-no folder}"
  fi
  expect_value "$class_key\\InprocServer32" "" "$win\\VELQUIN.dll"
  run reg query "HKCR\\TypeLib\\$libid\\1.0" /s
  if [ "$status" = 0 ] && grep -q "\\\\win64\$" "$work/out" && grep -qxF "    (Default)    REG_SZ    $win\\VELQUIN.dll" "$work/out"; then
    pass "installer: the type library's win64 path is in $win"
  else
    fail "installer: the type library's win64 path is in $win" "$(cat "$work/out")"
  fi
  # The Start menu shortcut of every user, to this copy's preset manager.
  # (the link holds the full path in its 8-bit form)
  if [ -f "$shortcut" ] && strings -a "$shortcut" | grep -qxF "$win\\presets.exe"; then
    pass "installer: the Start menu shortcut opens $win\\presets.exe"
  else
    fail "installer: the Start menu shortcut opens $win\\presets.exe" "$(ls "$(dirname "$shortcut")" 2>&1 | head -5)"
  fi
  bytes=$(cat "$dir"/* | wc -c)
  run reg query "$uninstall_key"
  expect_run "installer: the uninstall entry for $win" 0 out "
HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VELQUIN
    DisplayName    REG_SZ    VELQUIN
    DisplayVersion    REG_SZ    $version
    EstimatedSize    REG_DWORD    $(printf '0x%x' $((bytes / 1024)))
    InstallLocation    REG_SZ    $win
    NoModify    REG_DWORD    0x1
    NoRepair    REG_DWORD    0x1
    Publisher    REG_SZ    The VELQUIN authors
    QuietUninstallString    REG_SZ    \"$win\\Uninstall.exe\" /S
    UninstallString    REG_SZ    \"$win\\Uninstall.exe\""
}
export_keys before
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Marrowfield KV7 Presets Manager.lnk"
default_win='C:\Program Files\VELQUIN'
default_dir="$WINEPREFIX/drive_c/Program Files/VELQUIN"
custom_win='C:\VelquinCustom'
custom_dir="$WINEPREFIX/drive_c/VelquinCustom"
# VELQUIN.dll needs setupapi.dll: without it regsvr32 cannot load the server.
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;setupapi=" run "$setup" /S
failed_status=$status
left=$( [ -e "$default_dir" ] && echo "$default_dir"; run reg query "$uninstall_key"; [ "$status" = 0 ] && echo "the uninstall entry";
    run reg query "$class_key"; [ "$status" = 0 ] && echo "the class key")
if [ "$failed_status" = 2 ] && [ -z "$left" ]; then
  pass "installer: a failed registration fails the install (exit 2) and leaves nothing"
else
  fail "installer: a failed registration fails the install (exit 2) and leaves nothing" "exit $failed_status; left: $left"
fi

begun=$EPOCHREALTIME
run "$setup" /S
install_seconds=$(seconds_since "$begun")
expect_success "installer: $setup /S ($install_seconds s)"
expect_installed "$default_win" "$default_dir"
pushd "$default_dir" >/dev/null && run ./presetctl.exe cameras
popd >/dev/null
expect_run "installer: presetctl.exe cameras from $default_win" 0 out "No camera found."
# The installed preset manager starts and paints its main window (then ends:
# the start-up probe).
PRESETS_STARTUP_PROBE=$(date +%s%N) run "$default_dir/presets.exe"
if [ "$status" = 0 ] && grep -q '^shown_ms=' "$work/out"; then pass "installer: presets.exe from $default_win shows its window"
else fail "installer: presets.exe from $default_win shows its window" "exit $status $(head -c 300 "$work/out") $(head -c 300 "$work/err")"; fi
# Over the installed copy, in place, then moved by /D=: the old folder goes.
run "$setup" /S
expect_success "installer: an upgrade in place"
run "$setup" /S "/D=$custom_win"
expect_success "installer: an upgrade into $custom_win"
if [ ! -e "$default_dir" ]; then pass "installer: the upgrade removed $default_win"
else fail "installer: the upgrade removed $default_win" "$(ls "$default_dir" | tr '\n' ' ')"; fi
expect_installed "$custom_win" "$custom_dir"

# The uninstaller runs from a copy in the temporary folder and returns at
# once: the end of the last Wine process is its end.
begun=$EPOCHREALTIME
run "$custom_dir/Uninstall.exe" /S
timeout 120 wineserver -w
uninstall_seconds=$(seconds_since "$begun")
expect_success "installer: Uninstall.exe /S ($uninstall_seconds s)"
if [ ! -e "$custom_dir" ]; then pass "installer: the uninstaller removed $custom_win"
else fail "installer: the uninstaller removed $custom_win" "$(ls "$custom_dir" | tr '\n' ' ')"; fi
expect_no_key "$uninstall_key"
if [ ! -e "$shortcut" ]; then pass "installer: the uninstaller removed the Start menu shortcut"
else fail "installer: the uninstaller removed the Start menu shortcut" "$shortcut"; fi
expect_no_key "HKCR\\VELQUIN.CameraControl"
expect_no_key "HKCR\\VELQUIN.CameraControl.1"
export_keys after
changed=$(cat "$work"/*-errors 2>/dev/null)
for n in 1 2 3 4; do
  cmp -s "$work/before-$n.reg" "$work/after-$n.reg" || changed+=" $(diff <(iconv -f UTF-16 -t UTF-8 "$work/before-$n.reg") \
  <(iconv -f UTF-16 -t UTF-8 "$work/after-$n.reg") | head -c 400)"
done
if [ -z "$changed" ]; then pass "installer: the keys after uninstalling are those before installing"
else fail "installer: the keys after uninstalling are those before installing" "$changed"; fi
echo "installer: $(du -k "$setup" | cut -f1) KiB; install $install_seconds s, uninstall $uninstall_seconds s"

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
  expect_success "regsvr32 $1"
}

register VELQUIN.dll
check_registered

run regsvr32 /s /u "$dll"
expect_success "regsvr32 /u VELQUIN.dll"
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

# The imaging-service device manager's stand-in (see scripts/wine-prefix.sh).
source scripts/wine-prefix.sh
sti_proxy='{4DB1AD10-3391-11D2-9A33-00C04FA36145}'
image_class="HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}"
double_exe=$(winepath -w "$out/tests/windows/imaging_double.exe" 2>/dev/null)
double_ps=$(winepath -w "$out/tests/windows/imaging_double_ps.dll" 2>/dev/null)
install_imaging_double() {
  local errors
  errors=$(prefix_install_imaging_double)
  if [ -z "$errors" ]; then pass "imaging double installed"; else fail "imaging double installed" "reg failed:$errors"; fi
  # What the arrangement relies on: sti.dll's proxies for the manager and the list.
  expect_value "HKCR\\Interface\\{5EB2502A-8CF1-11D1-BF92-0060081ED811}\\ProxyStubClsid32" "" "$sti_proxy"
  expect_value "HKCR\\Interface\\{5E38B83C-8CF1-11D1-BF92-0060081ED811}\\ProxyStubClsid32" "" "$sti_proxy"
  expect_value "HKCR\\CLSID\\$sti_proxy\\InprocServer32" "" "C:\\windows\\system32\\sti.dll"
  expect_value "$wia_class\\LocalServer32" "" "\"$double_exe\""
  expect_value "HKCR\\Interface\\$wia_storage\\ProxyStubClsid32" "" "$wia_storage"
  expect_value "HKCR\\CLSID\\$wia_storage\\InprocServer32" "" "$double_ps"
  run reg query "$wia_class" /v AppID
  if [ "$status" != 0 ]; then pass "reg: $wia_class AppID removed"
  else fail "reg: $wia_class AppID removed" "$(cat "$work/out")"; fi
}

# Whether the double's process (this build's, by its path) is still running.
double_running() { pgrep -f -- "^$(printf '%s' "$double_exe" | sed 's/[][\\.^$*]/\\&/g') " >/dev/null; }

# camfiles loads torwen.dll and resolves its fourteen exports before it looks
# for a camera: an export missing would end it with "the library has no export".
torwen=$(winepath -w "$out/storage/microdriver/torwen.dll" 2>/dev/null)
install_imaging_double

# Without --device camfiles asks the imaging service for the first camera,
# with COM started (CO_E_NOTINITIALIZED would be "listing the cameras").
# An image class instance without a storage link is no camera.
run reg add "$image_class\\0002" /v DriverDesc /t REG_SZ /d 'Velquin test scanner' /f
run "$tools/camfiles/camfiles.exe" --library "$torwen" status
expect_run "camfiles.exe status: torwen.dll loaded, no camera in the imaging service's list" 1 err \
  "camfiles: no camera found"

# A camera's device class key whose storage driver link leads nowhere, as on a
# machine without the storage driver: the imaging service lists it, and opening
# it ends cleanly with the microdriver's file-not-found.
device='{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\0001'
run reg add "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\$device" /v DevSymLink /t REG_SZ \
    /d '\??\VelquinTestNoStorageDriver' /f
run "$tools/camfiles/camfiles.exe" --library "$torwen" status
expect_run "camfiles.exe status: the imaging service's camera, without a storage driver" 1 err \
  "camfiles: opening the camera: no such file on the camera (0x80070002)"
# Its client gone, the double ends well before its 30 s idle limit.
for _ in $(seq 50); do double_running || break; sleep 0.2; done
if ! double_running; then pass "imaging_double.exe ends when its last object is released"
else fail "imaging_double.exe ends when its last object is released" "still running 10 s after camfiles"; fi
run "$tools/camfiles/camfiles.exe" --library "$torwen" --device "$device" status
expect_run "camfiles.exe --device status without a storage driver" 1 err \
  "camfiles: opening the camera: no such file on the camera (0x80070002)"

# The virtual DV camera. Its cameras live in $work/cams, made by the native
# vcam tool; Windows processes get the same folder as VCAM_HOME. Registering
# adds one video input device per camera (and its imaging class key),
# replacing the earlier set; /u removes them all.
vcam_module=$(winepath -w "$vcam_dll" 2>/dev/null)
vcam_class_key='HKCR\CLSID\{8639C7AC-14E0-4859-B8DC-645EDD2DFA3E}'
instances='HKCR\CLSID\{860BB310-5D01-11D0-BD3B-00A0C911CE86}\Instance'
imaging_class='HKLM\SYSTEM\CurrentControlSet\Control\Class'
mkdir -p "$work/cams"
cams_win=$(winepath -w "$work/cams" 2>/dev/null)
vcam() { VCAM_HOME="$work/cams" "$native_vcam" "$@" >/dev/null; }
identity() { sed -n "s/^$2=//p" "$work/cams/$1/identity"; }
register_vcam() {
  VCAM_HOME=$cams_win run regsvr32 /s "$vcam_dll"
  expect_success "regsvr32 vcamdv.dll $1"
}
# Case: the devices registered by the virtual camera are exactly $@.
expect_devices() {
  local got
  run reg query "$instances" /s
  got=$(awk '/^HKEY_/ { key = $0; sub(/.*\\/, "", key) } /CLSID +REG_SZ +\{8639C7AC-14E0-4859-B8DC-645EDD2DFA3E\}/ { print key }' \
        "$work/out" | sort | tr '\n' ' ')
  if [ "$got" = "$*${*:+ }" ]; then pass "video input devices of vcamdv.dll: ${*:-none}"
  else fail "video input devices of vcamdv.dll: ${*:-none}" "registered: ${got:-none}"; fi
}
# Cases: camera $1's device and imaging class key hold its identity.
expect_camera_keys() {
  expect_value "$instances\\$1" CLSID '{8639C7AC-14E0-4859-B8DC-645EDD2DFA3E}'
  expect_value "$instances\\$1" FriendlyName "$(identity "$1" friendly_name)"
  expect_value "$instances\\$1" DevicePath "$(identity "$1" device_path)"
  expect_value "$instances\\$1" VcamFolder "$cams_win\\$1"
  expect_value "$imaging_class\\$(identity "$1" imaging_device_id)" DevSymLink "$(identity "$1" dev_sym_link)"
}

register_vcam "without cameras"
expect_value "$vcam_class_key" "" "Virtual DV Camera"
expect_value "$vcam_class_key\\InprocServer32" "" "$vcam_module"
expect_value "$vcam_class_key\\InprocServer32" ThreadingModel "Both"
expect_devices

vcam create cam1
register_vcam "with one camera"
expect_devices cam1
expect_camera_keys cam1

# Wine's device enumerator binds the filter through the device's property
# bag; the library's identification query reaches the camera's trace. The
# friendly name shown is the device manager's, which stays empty: Wine 8's
# SetupDiOpenDeviceInterfaceW is a stub that finds no interface.
pnp_name=""
VCAM_HOME=$cams_win run "$tools/camlist/camlist.exe"
expect_run "camlist.exe lists the virtual camera" 0 out "Cameras found: 1
  [0] $(identity cam1 friendly_name)#$(identity cam1 unique_id)
      friendly name: $pnp_name
      device path:   $(identity cam1 device_path)
      model:         $(identity cam1 model)"
if grep -q ' cam1 avc 012000000085001013FFFF 0C[0-9A-F]* 0$' "$work/cams/cam1/trace.log" 2>/dev/null; then
  pass "the identification query in the camera's trace"
else
  fail "the identification query in the camera's trace" "$(tail -n 3 "$work/cams/cam1/trace.log" 2>&1)"
fi
VCAM_HOME=$cams_win run "$tools/presetctl/presetctl.exe" cameras
expect_run "presetctl.exe cameras lists the virtual camera" 0 out "$(identity cam1 friendly_name)#$(identity cam1 unique_id)
  model:       $(identity cam1 model)
  device path: $(identity cam1 device_path)"
# A camera operation selects the camera: the imaging service's device with the
# same unique id is found, and the storage driver it names is not there.
VCAM_HOME=$cams_win run "$tools/presetctl/presetctl.exe" read 1
expect_run "presetctl.exe read 1 ends at the storage step" 1 err \
  "presetctl: Read Preset failed: SelectDevice returned WIN32(2) (0x80070002): file not found"

# An unplugged camera answers the query with "device removed" and is not listed.
vcam unplug cam1
VCAM_HOME=$cams_win run "$tools/camlist/camlist.exe"
expect_run "camlist.exe without the unplugged camera" 0 out "Cameras found: 0"
if tail -n 1 "$work/cams/cam1/trace.log" | grep -q ' cam1 avc 012000000085001013FFFF - 1617$'; then
  pass "the unplugged camera's trace: the query answered 1617"
else
  fail "the unplugged camera's trace: the query answered 1617" "$(tail -n 1 "$work/cams/cam1/trace.log" 2>&1)"
fi
vcam plug cam1

vcam create cam2
register_vcam "with two cameras"
expect_devices cam1 cam2
expect_camera_keys cam2
cam2_imaging="$imaging_class\\$(identity cam2 imaging_device_id)"
vcam delete cam2
register_vcam "after a camera was deleted"
expect_devices cam1
expect_no_key "$cam2_imaging"

cam1_imaging="$imaging_class\\$(identity cam1 imaging_device_id)"
run regsvr32 /s /u "$vcam_dll"
expect_success "regsvr32 /u vcamdv.dll"
expect_no_key "$vcam_class_key"
expect_devices
expect_no_key "$cam1_imaging"

# The virtual camera's filter on cameras of a temporary root: one case.
RUN_TIMEOUT=120 run "$out/sim/windows/vcam_dshow_tests.exe"
expect_tests vcam_dshow_tests.exe

# The virtual storage driver: vcamstor.sys in Wine's driver host, answered by
# vcamstor_service.exe from the same state folders as on Linux. From here on
# every camera flow runs as Windows code end to end.
if prefix_start_storage "$work/storage-service.log"; then
  pass "vcamstor.sys loaded by Wine's driver host, vcamstor_service.exe serving"
else
  fail "vcamstor.sys loaded by Wine's driver host, vcamstor_service.exe serving" "$(cat "$work/storage-service.log")"
fi
RUN_TIMEOUT=120 run "$out/sim/windows/vcam_storage_tests.exe"
expect_tests vcam_storage_tests.exe

# The flows on cameras made by the Linux tool; each Windows run is compared
# with the native program's on the same camera, and what it wrote is read
# back on Linux. The native programs use a registry file of this run.
export HOSTCOM_REGISTRY="$work/hostcom.reg"
build/native/tools/regsvr/regsvr "$PWD/build/native/camctl/object/VELQUIN.so" >/dev/null
flows="$work/flows"
flows_win=$(winepath -w "$flows" 2>/dev/null)
mkdir -p "$flows"
fvcam() { VCAM_HOME="$flows" "$native_vcam" "$@" >/dev/null; }
native_torwen="$PWD/build/native/storage/microdriver/torwen.so"
# The native program's run: its output in $work/native-out and -err, $native_status.
native() {
  VCAM_HOME="$flows" TORWEN_LIBRARY="$native_torwen" timeout 120 "$@" >"$work/native-out" 2>"$work/native-err"
  native_status=$?
}
wpresetctl() { VCAM_HOME=$flows_win run "$tools/presetctl/presetctl.exe" "$@"; }
# The KV7's storage: both camfiles are told its imaging device.
wcamfiles() { VCAM_HOME=$flows_win run "$tools/camfiles/camfiles.exe" --library "$torwen" --device "$kv7_device" "$@"; }
ncamfiles() { native build/native/tools/camfiles/camfiles --device "$kv7_device" "$@"; }
nativectl=build/native/tools/presetctl/presetctl
# Case: the Windows run and the native run exited alike with the same output.
expect_same() {
  if [ "$status" = "$native_status" ] && cmp -s "$work/out" <(tr -d '\r' <"$work/native-out") &&
     [ "$(sed 's/^[^:]*: //' "$work/err")" = "$(sed 's/^[^:]*: //' "$work/native-err")" ]; then
    pass "$1"
  else
    fail "$1" "exit $status/$native_status; $(diff "$work/out" "$work/native-out" | head -5) $(head -c 300 "$work/err") / $(head -c 300 "$work/native-err")"
  fi
}
fvcam create kx1 --model KX1
fvcam create kv7 --model KV7
kv7_device=$(sed -n 's/^imaging_device_id=//p' "$flows/kv7/identity")
VCAM_HOME=$flows_win run regsvr32 /s "$vcam_dll"
expect_success "regsvr32 vcamdv.dll: devices and storage links of the flow cameras"
# A settings file whose fifteen settings all differ from the defaults.
printf '%s\r\n' "[Presets]" "Preset Name = WINE" "Gamma =  1" "Knee =  2" "Black =  0" "NR =  3" "VDetail =  1" \
  "Color Matrix =  1" "Color Gain = -6" "Color Phase =  5" "Red = -1" "Green =  3" "Blue = -4" "SetupLevel = -2" \
  "Sharpness =  6" "Coring =  1" "MasterPed = -5" "Description = " >"$work/all15.dqx"
all15=$(winepath -w "$work/all15.dqx" 2>/dev/null)
for cam in kx1 kv7; do
  other=kv7; [ "$cam" = kv7 ] && other=kx1
  fvcam unplug "$other"
  fvcam plug "$cam"
  campset="$flows/$cam/ns/dev/campset"
  wpresetctl slots
  native "$nativectl" slots
  expect_same "presetctl.exe slots on the $cam: as on Linux"
  fvcam trace "$cam" clear
  wpresetctl write 1 "$all15"
  expect_success "presetctl.exe write 1 on the $cam"
  native "$nativectl" read 1
  if [ "$native_status" = 0 ] && cmp -s "$work/native-out" "$work/all15.dqx"; then
    pass "the $cam's slot 1, read on Linux, holds all fifteen settings written from Windows"
  else
    fail "the $cam's slot 1, read on Linux, holds all fifteen settings written from Windows" "$(cat -A "$work/native-out" | head -20)"
  fi
  wpresetctl read 1
  if [ "$status" = 0 ] && cmp -s "$work/raw" "$work/all15.dqx"; then pass "presetctl.exe read 1 on the $cam"
  else fail "presetctl.exe read 1 on the $cam" "exit $status $(cat "$work/err")"; fi
  # The name "WINE" registered for slot 1, after the fifteen values.
  # (The trace is read whole first: grep -q would close the pipe under pipefail.)
  VCAM_HOME="$flows" "$native_vcam" trace "$cam" print >"$work/trace"
  if grep -q " $cam avc 0020000000850001710157494E45" "$work/trace"; then
    pass "the $cam's trace, read on Linux, has slot 1 registered as \"WINE\""
  else
    fail "the $cam's trace, read on Linux, has slot 1 registered as \"WINE\"" "no such frame"
  fi
  wpresetctl export 1 "$(winepath -w "$work/$cam-1.pst")"
  if [ "$status" = 0 ] && cmp -s "$work/$cam-1.pst" "$campset/Preset01.pst"; then
    pass "presetctl.exe export 1 on the $cam: the camera's file byte for byte"
  else
    fail "presetctl.exe export 1 on the $cam: the camera's file byte for byte" "exit $status $(cat "$work/err")"
  fi
  wpresetctl import 2 "$(winepath -w "$work/$cam-1.pst")"
  if [ "$status" = 0 ] && cmp -s "$work/$cam-1.pst" "$campset/Preset02.pst"; then
    pass "presetctl.exe import 2 on the $cam: the file stored byte for byte"
  else
    fail "presetctl.exe import 2 on the $cam: the file stored byte for byte" "exit $status $(cat "$work/err")"
  fi
  wpresetctl clear 2
  expect_success "presetctl.exe clear 2 on the $cam"
  wpresetctl lock 3
  expect_success "presetctl.exe lock 3 on the $cam"
  native "$nativectl" slots
  if grep -q '^2  ""  unlocked$' "$work/native-out" && grep -q '^3  .*  locked$' "$work/native-out"; then
    pass "the $cam's slots on Linux: 2 cleared, 3 locked"
  else
    fail "the $cam's slots on Linux: 2 cleared, 3 locked" "$(cat "$work/native-out")"
  fi
  wpresetctl unlock 3
  native "$nativectl" slots
  if [ "$status" = 0 ] && grep -q '^3  .*  unlocked$' "$work/native-out"; then pass "presetctl.exe unlock 3 on the $cam"
  else fail "presetctl.exe unlock 3 on the $cam" "exit $status $(cat "$work/native-out")"; fi
done

# Faults scripted on the camera give the same results as on Linux.
for fault in "transport-busy --channel storage --times 2" "transport-busy --channel storage" \
             "storage-status 147 --opcode 9" "avc-result 1460 --set 1 --code 0x74" "avc-result 71 --set 1 --code 0x74"; do
  fvcam fault kv7 clear
  fvcam fault kv7 add $fault
  native "$nativectl" read 1
  fvcam fault kv7 clear
  fvcam fault kv7 add $fault
  wpresetctl read 1
  expect_same "presetctl.exe read 1 under the fault \"$fault\": as on Linux"
done
fvcam fault kv7 clear

# Two Windows processes write one slot at once, four rounds: both succeed and
# the slot holds exactly one of the two files.
sed 's/^Preset Name = WINE/Preset Name = OTHER/; s/^Gamma =  1/Gamma =  0/' "$work/all15.dqx" >"$work/other.dqx"
other_win=$(winepath -w "$work/other.dqx" 2>/dev/null)
mixed=""
for round in 1 2 3 4; do
  VCAM_HOME=$flows_win timeout 120 "$wine" "$tools/presetctl/presetctl.exe" write 1 "$all15" >/dev/null 2>"$work/a-err" &
  first=$!
  VCAM_HOME=$flows_win timeout 120 "$wine" "$tools/presetctl/presetctl.exe" write 1 "$other_win" >/dev/null 2>"$work/b-err"
  second=$?
  wait "$first"
  first=$?
  native "$nativectl" read 1
  if [ "$first" != 0 ] || [ "$second" != 0 ] ||
     { ! cmp -s "$work/native-out" "$work/all15.dqx" && ! cmp -s "$work/native-out" "$work/other.dqx"; }; then
    mixed+=" round $round: exits $first/$second $(cat "$work/a-err" "$work/b-err")"
  fi
done
if [ -z "$mixed" ]; then pass "two presetctl.exe writers on one slot: each write whole, none lost"
else fail "two presetctl.exe writers on one slot: each write whole, none lost" "$mixed"; fi

# The camera's media through torwen.dll, compared with the native camfiles.
medium="$flows/kv7/media/0/0"
head -c 1048576 /dev/urandom >"$medium/DCIM/MISC/BIG.BIN"
wcamfiles tree
ncamfiles tree
expect_same "camfiles.exe tree: as on Linux"
wcamfiles ls '\DCIM\100KV7'
ncamfiles ls '\DCIM\100KV7'
expect_same "camfiles.exe ls: as on Linux"
fvcam trace kv7 clear
wcamfiles get '\DCIM\MISC\BIG.BIN' "$(winepath -w "$work/big.bin")"
if [ "$status" = 0 ] && cmp -s "$work/big.bin" "$medium/DCIM/MISC/BIG.BIN"; then
  pass "camfiles.exe get of a 1 MB file, byte for byte"
else
  fail "camfiles.exe get of a 1 MB file, byte for byte" "exit $status $(cat "$work/err")"
fi
head -c 70000 /dev/urandom >"$work/UP.BIN"
wcamfiles put "$(winepath -w "$work/UP.BIN")" '\DCIM\MISC'
if [ "$status" = 0 ] && cmp -s "$work/UP.BIN" "$medium/DCIM/MISC/UP.BIN"; then pass "camfiles.exe put, byte for byte"
else fail "camfiles.exe put, byte for byte" "exit $status $(cat "$work/err")"; fi
wcamfiles rm '\DCIM\MISC\UP.BIN'
if [ "$status" = 0 ] && [ ! -e "$medium/DCIM/MISC/UP.BIN" ]; then pass "camfiles.exe rm"
else fail "camfiles.exe rm" "exit $status $(cat "$work/err")"; fi
wcamfiles thumb '\DCIM\100KV7\IMG_0001.JPG' "$(winepath -w "$work/thumb.jpg")"
if [ "$status" = 0 ] && cmp -s "$work/thumb.jpg" "$medium/DCIM/100KV7/IMG_0001.THM"; then
  pass "camfiles.exe thumb: the camera's thumbnail"
else
  fail "camfiles.exe thumb: the camera's thumbnail" "exit $status $(cat "$work/err")"
fi
# An unplug in the middle of a get: the transfer goes in chunks, each waiting
# for the microdriver's go-ahead on its second handle, and the camera unplugs
# three exchanges into the file's read. Same end as on Linux, no file left.
before_read=$(VCAM_HOME="$flows" "$native_vcam" trace kv7 print | awk '$4 ~ /^09/ { print NR - 1; exit }')
fvcam set kv7 chunk-size 65536
fvcam set kv7 chunk-wait on
cut_get() {
  mkdir -p "$work/$1"
  fvcam fault kv7 clear
  fvcam fault kv7 add unplug-after $((before_read + 3))
}
cut_get native-cut
pushd "$work/native-cut" >/dev/null
native "$OLDPWD/build/native/tools/camfiles/camfiles" --device "$kv7_device" get '\DCIM\MISC\BIG.BIN' big.bin
popd >/dev/null
fvcam plug kv7
cut_get win-cut
wcamfiles get '\DCIM\MISC\BIG.BIN' "$(winepath -w "$work/win-cut")\\big.bin"
fvcam plug kv7
fvcam fault kv7 clear
fvcam set kv7 chunk-wait off
fvcam set kv7 chunk-size 0
if [ "$status" = 1 ] && [ "$native_status" = 1 ] && [ -n "$before_read" ] &&
   [ "$(sed 's/^[^:]*: //' "$work/err")" = "$(sed 's/^[^:]*: //' "$work/native-err")" ] &&
   [ -z "$(ls -A "$work/win-cut")" ]; then
  pass "camfiles.exe get cut by an unplug: $(cat "$work/err"), no partial file"
else
  fail "camfiles.exe get cut by an unplug" "exit $status/$native_status; $(cat "$work/err") / $(cat "$work/native-err"); left: $(ls -A "$work/win-cut")"
fi

# presets.exe driven through its windows' messages by
# windows_presets_window_tests.exe on the flows' KV7, the one camera plugged
# in: every form against its table, the editors, the file browser in the
# prefix's documents folder (a folder of the prefix, never the user's) and the
# camera operations. One case per test; then what Set Preset wrote to slot 2
# is read back on Linux.
docs="$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/Documents"
if [ -L "$docs" ]; then rm -f "$docs"; fi
mkdir -p "$docs"
window_tests=$out/tests/windows/windows_presets_window_tests.exe
VCAM_HOME=$flows_win PRESETS_EXE=$(winepath -w "$out/app/ui/win32/presets.exe" 2>/dev/null) \
  PRESETS_TEST_CAMERA=$(winepath -w "$flows/kv7" 2>/dev/null) RUN_TIMEOUT=900 run "$window_tests"
window_status=$status
cp "$work/out" "$work/window-tests"
run "$window_tests" --gtest_list_tests
window_cases=$(awk '/^[^ ]/ { suite = $1 } /^  [^ ]/ { print suite $1 }' "$work/out")
[ -n "$window_cases" ] || fail "windows_presets_window_tests.exe" "lists no test: $(head -c 300 "$work/err")"
for case in $window_cases; do
  if grep -qxF "[       OK ] $case" <(sed 's/ ([0-9]* ms)$//' "$work/window-tests"); then
    pass "presets.exe: $case"
  else
    # The failure's messages, on one line: from the test's start to its end.
    fail "presets.exe: $case" "$(awk -v c="$case" '$0 == "[ RUN      ] " c { on = 1 } on { print } on && /^\[  FAILED  \]/ { exit }' \
      "$work/window-tests" | grep -vE '^\[ RUN|^Google Test trace:' |
      sed 's|^[./]*tests/windows/[^:]*:[0-9]*: Failure$|--|; s|^[./]*tests/windows/[^:]*:[0-9]*: \(.*\)$|[\1]|' |
      tr '\n' ' ' | head -c 2000) (exit $window_status)"
  fi
done
native "$nativectl" read 2
sed 's/^Preset Name = WINE/Preset Name = UITEST/' "$work/all15.dqx" >"$work/uitest.dqx"
if [ "$native_status" = 0 ] && cmp -s "$work/native-out" "$work/uitest.dqx"; then
  pass "the kv7's slot 2, read on Linux, holds what presets.exe's Set Preset sent"
else
  fail "the kv7's slot 2, read on Linux, holds what presets.exe's Set Preset sent" "$(cat -A "$work/native-out" | head -20)"
fi
native "$nativectl" slots
if grep -q '^2  "UITEST"  unlocked$' "$work/native-out" && grep -q '^3  .*  unlocked$' "$work/native-out"; then
  pass "the kv7's slots on Linux after presets.exe: 2 named UITEST, 3 unlocked again"
else
  fail "the kv7's slots on Linux after presets.exe: 2 named UITEST, 3 unlocked again" "$(cat "$work/native-out")"
fi

# The portable unit tests built for Windows and the end-to-end cases: one case
# per program; a skipped test fails it. They start their second processes by
# name from their own folder; the end-to-end cases register the virtual DV
# camera for cameras of their own root. The imaging device case lists through
# the double installed above, and must have run. One unit test opens a camera
# made here by the Linux tool and exchanges frames with it; its trace is then
# read here.
other_root="$work/other-vcam"
if "$native_vcam" --root "$other_root" create other --unique-id 0800460102ab00ee >/dev/null; then
  pass "vcam (Linux) creates the camera the Windows tests open"
else
  fail "vcam (Linux) creates the camera the Windows tests open" "exit $?"
fi
export VCAM_FILTER_DLL=$vcam_module VELQUIN_IMAGING_DOUBLE=1
export VCAM_OTHER_CAMERA=$(winepath -w "$other_root/other" 2>/dev/null)
tests_dir="$out/tests/windows"
for program in "${unit_programs[@]}"; do
  pushd "$tests_dir" >/dev/null
  RUN_TIMEOUT=300 run "$program.exe"
  popd >/dev/null
  if [ "$program" = windows_unit_tests ]; then
    expect_tests "$program.exe" '^\[       OK \] ImagingDevices\.'
  else
    expect_tests "$program.exe"
  fi
done
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
