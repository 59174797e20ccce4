# Sourced by the Wine scripts (wine-test.sh, wine-run.sh, screenshots-wine.sh,
# startup-bench-wine.sh): the stand-ins a private Wine prefix needs so the
# Windows programs find and use a virtual camera, a private display and a
# prepared prefix. Expects $wine and WINEPREFIX, and for the stand-ins $out
# (the x86_64 build).

# Wine's imaging-service device manager lists no device (its enumeration is a
# stub), and the property storage proxy of its sti.dll has no method past
# IUnknown. In the prefix only, COM starts tests/windows/imaging_double.exe as
# the device manager's local server (the class's AppID, which names Wine's
# service, is removed) and imaging_double_ps.dll marshals the property storage;
# sti.dll still marshals the manager and the device list. The double lists the
# image class instances that have a "DevSymLink" as digital cameras.
wia_class="HKCR\\CLSID\\{A1F4E726-8CF1-11D1-BF92-0060081ED811}"
wia_storage='{98B5E8A0-29CC-491A-AAC0-E6DB4FDCCEB6}'
# Prints the reg commands that failed (nothing when all went well).
prefix_install_imaging_double() {
  local double_exe double_ps errors=""
  double_exe=$(winepath -w "$out/tests/windows/imaging_double.exe" 2>/dev/null)
  double_ps=$(winepath -w "$out/tests/windows/imaging_double_ps.dll" 2>/dev/null)
  "$wine" reg delete "$wia_class" /v AppID /f >/dev/null 2>&1 || errors+=" AppID"
  "$wine" reg add "$wia_class\\LocalServer32" /ve /d "\"$double_exe\"" /f >/dev/null 2>&1 || errors+=" LocalServer32"
  "$wine" reg add "HKCR\\Interface\\$wia_storage\\ProxyStubClsid32" /ve /d "$wia_storage" /f >/dev/null 2>&1 ||
    errors+=" ProxyStubClsid32"
  "$wine" reg add "HKCR\\CLSID\\$wia_storage\\InprocServer32" /ve /d "$double_ps" /f >/dev/null 2>&1 ||
    errors+=" InprocServer32"
  "$wine" reg add "HKCR\\CLSID\\$wia_storage\\InprocServer32" /v ThreadingModel /d Both /f >/dev/null 2>&1 ||
    errors+=" ThreadingModel"
  printf '%s' "$errors"
}

# The virtual storage driver: vcamstor.sys, a demand-start kernel service of
# the prefix that Wine's driver host loads, and vcamstor_service.exe (in the
# background, its output in $1), which starts the driver and answers its
# exchanges. Cameras get their devices when vcamdv.dll is registered
# afterwards. 0 once the service serves.
prefix_start_storage() {
  local log=$1 driver
  driver=$(winepath -w "$out/sim/windows/vcamstor.sys" 2>/dev/null)
  # A full path: Wine's driver host does not resolve a relative one.
  timeout 60 "$wine" sc create vcamstor type= kernel start= demand binPath= "$driver" >/dev/null 2>&1
  "$wine" "$out/sim/windows/vcamstor_service.exe" >"$log" 2>&1 &
  storage_service_pid=$!
  for _ in $(seq 150); do
    grep -q 'serving' "$log" 2>/dev/null && return 0
    kill -0 "$storage_service_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# A private X display for this shell's Wine programs (never the user's):
# starts Xvfb, exports DISPLAY and sets xvfb_pid. $1: a folder for its number.
prefix_private_display() {
  Xvfb -ac -nolisten tcp -displayfd 3 -screen 0 1024x768x24 3>"$1/display" 2>/dev/null &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(cat "$1/display")"
}

# Makes WINEPREFIX once (marked by .prepared). With no window manager on the
# private display, Wine draws the windows' frames and captions itself.
prefix_prepare_once() {
  [ -f "$WINEPREFIX/.prepared" ] && return
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1
  timeout 60 wineserver -w
  timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
  timeout 60 "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  timeout 60 wineserver -w
  touch "$WINEPREFIX/.prepared"
}
