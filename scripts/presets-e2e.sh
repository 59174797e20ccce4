#!/usr/bin/env bash
# One end-to-end run of the real presets program on a private Xvfb display
# against a virtual camcorder: choose "Preset 2", type a name, choose Gamma
# "Cine" and Color Gain +3, Set Preset; Default Settings; Read Preset; save
# the editors through the file browser and check the file, the camera's slot
# and its trace. Everything (camera, registry, mutex names, home) is private.
# Usage: scripts/presets-e2e.sh [BUILD_DIR]   (needs Xvfb and xdotool)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/native}" && pwd)
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || { echo "presets-e2e: $tool is missing (scripts/setup.sh installs it)"; exit 1; }
done

work=$(mktemp -d /tmp/presets-e2e.XXXXXX)
export HOME="$work/home" VCAM_HOME="$work/vcam" HOSTCOM_REGISTRY="$work/registry.reg"
export VELQUIN_MUTEX_NAMESPACE="presets-e2e-$$" VELQUIN_LOG_DIR="$work" XDG_CONFIG_HOME="$work/home/.config"
export XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb
unset XDG_DOCUMENTS_DIR
mkdir -p "$HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# In a sanitized build: the system's D-Bus library keeps one buffer to the end
# of a process that talked to the session bus; that is not ours to report.
echo "leak:libdbus-1.so" >"$work/lsan.supp"
export LSAN_OPTIONS="suppressions=$work/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
app_pid="" xvfb_pid=""
cleanup() {
  if [ -n "$app_pid" ]; then
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true  # before its display goes
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "presets-e2e: FAILED: $*" >&2; [ -f "$work/app.log" ] && cat "$work/app.log" >&2; exit 1; }

vcam="$build/sim/vcam"
"$build/tools/regsvr/regsvr" "$build/camctl/object/VELQUIN.so" >/dev/null
"$vcam" create studio --model KX1 --slots 3 >/dev/null

# A private display: the first free number from 90.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

"$build/app/ui/qt/presets" >"$work/app.log" 2>&1 &
app_pid=$!

title="Marrowfield KV7 Presets Manager"
wait_window() {  # NAME [OTHER_THAN]: a shown window with that exact title
  # The program's thread is busy while it talks to the camera: clicks queue up
  # and windows appear once it is done, so wait generously.
  for _ in $(seq 300); do
    local id
    for id in $(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null); do
      [ "$id" != "${2:-}" ] && { echo "$id"; return; }
    done
    sleep 0.1
  done
  fail "no window \"$1\""
}
key() { xdotool key --delay 60 "$@"; sleep 0.3; }
# Clicks at the centre of a control, in pixels inside the window (twips / 15).
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; sleep 0.4; }

reminder=$(wait_window Reminder)
xdotool windowfocus --sync "$reminder"
key Return
main=$(wait_window "$title")
xdotool windowfocus --sync "$main"
sleep 0.3

key Down Down                      # the selector: "Preset 1", then "Preset 2"
key Tab Tab Tab Tab Tab Tab Tab    # Read, Set, Clear, Lock, Layout, Default Settings, the name
xdotool type --delay 60 "E2E"
key Tab Down                       # Gamma: "Cine"
key Tab Tab Tab Tab Tab Tab Right Right Right   # Color Gain: +3
click "$main" 380 108              # Set Preset
click "$main" 228 180              # Default Settings
click "$main" 244 108              # Read Preset
click "$main" 388 604              # Save to File
browser=$(wait_window "$title" "$main")
xdotool windowfocus --sync "$browser"
click "$browser" 260 218           # Filename
xdotool type --delay 60 "result"
key Return                         # Save is the default button
for _ in $(seq 100); do [ -f "$HOME/result.dqx" ] && break; sleep 0.1; done

file="$HOME/result.dqx"
[ -f "$file" ] || fail "the browser saved no file"
grep -q $'^Preset Name = E2E\r$' "$file" || fail "name not read back: $(cat "$file")"
grep -q $'^Gamma =  1\r$' "$file" || fail "Gamma not read back"
grep -q $'^Color Gain =  3\r$' "$file" || fail "Color Gain not read back: $(cat "$file")"
grep -q $'^Knee =  1\r$' "$file" || fail "Knee not at its default"
"$vcam" show studio | grep -q "E2E" || fail "the camera's slot does not hold the name"
trace=$("$vcam" trace studio print)
trace_lines=$(wc -l <<<"$trace")
# Color Gain +3 is written as 9 and accepted, slot 2 is registered as "E2E",
# and Read Preset's status query answers 9.
grep -q " 00200000008500014109 09200000008500014109 0$" <<<"$trace" || fail "no accepted Color Gain write of 9 in the trace"
grep -q " 0020000000850001710245324500" <<<"$trace" || fail "no registration of slot 2 as E2E in the trace"
grep -q " 0C200000008500014109 0$" <<<"$trace" || fail "Read Preset's Color Gain query did not answer 9"

click "$main" 540 604              # Exit
for _ in $(seq 50); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app_pid" 2>/dev/null && fail "Exit did not end the program"
wait "$app_pid" || fail "the program ended with an error"
app_pid=""
echo "presets-e2e: passed (slot 2 written and read back, $trace_lines exchanges in the camera's trace)"
