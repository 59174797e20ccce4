#!/usr/bin/env bash
# End-to-end runs of the real presets program on a private Xvfb display
# against a virtual camcorder, once on a KX1 and once on a KV7 (whose library
# re-applies preset 0 before every picture write): choose "Preset 2", type a
# name, move all fifteen settings away from their defaults, Set Preset;
# Default Settings; Read Preset; save the editors through the file browser and
# check the file, the camera's slot and its trace. Everything (camera,
# registry, mutex names, home) is private.
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
# of a process that talked to the session bus, and Qt's D-Bus module sometimes
# still holds its connection's objects when the process ends; neither is ours
# to report. Full stacks (Qt is built without frame pointers), so that a leak
# is matched by where it really comes from.
printf 'leak:libdbus-1.so\nleak:libQt6DBus.so\n' >"$work/lsan.supp"
export LSAN_OPTIONS="suppressions=$work/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export ASAN_OPTIONS="fast_unwind_on_malloc=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
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

# A private display: the first free number from 90.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

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

# One run on a new camera of the given model; the camera is removed after.
run_flow() {  # CAMERA MODEL
  local camera=$1 model=$2
  "$vcam" create "$camera" --model "$model" --slots 3 >/dev/null
  "$build/app/ui/qt/presets" >"$work/app.log" 2>&1 &
  app_pid=$!

  local reminder main browser
  reminder=$(wait_window Reminder)
  xdotool windowfocus --sync "$reminder"
  key Return
  main=$(wait_window "$title")
  xdotool windowfocus --sync "$main"
  sleep 0.3

  key Down Down                      # the selector: "Preset 1", then "Preset 2"
  key Tab Tab Tab Tab Tab Tab Tab    # Read, Set, Clear, Lock, Layout, Default Settings, the name
  xdotool type --delay 60 "E2E"
  # The first layout's focus order: the six lists, then each slider and its box.
  key Tab Down                       # Gamma: "Cine"
  key Tab Down                       # Color Matrix: "Cine"
  key Tab Down                       # Knee: "Low"
  key Tab Up                         # Black: "Stretch"
  key Tab Down Down Down             # Noise Reduction: "Low"
  key Tab Down                       # V. Detail: "Low"
  key Tab Left Left Left Left Left Left          # Color Gain: -6
  key Tab Tab Right Right Right Right Right      # Color Phase: +5
  key Tab Tab Left                               # Red Gain: -1
  key Tab Tab Right Right Right                  # Green Gain: +3
  key Tab Tab Left Left Left Left                # Blue Gain: -4
  key Tab Tab Right Right Right Right Right Right  # Sharpness: +6
  key Tab Tab Right                              # Coring: +1
  key Tab Tab Left Left                          # Setup Level: -2
  key Tab Tab Left Left Left Left Left           # Master Ped.: -5
  click "$main" 380 108              # Set Preset
  click "$main" 228 180              # Default Settings
  click "$main" 244 108              # Read Preset
  click "$main" 388 604              # Save to File
  browser=$(wait_window "$title" "$main")
  xdotool windowfocus --sync "$browser"
  click "$browser" 260 218           # Filename
  xdotool type --delay 60 "result$model"
  key Return                         # Save is the default button
  local file="$HOME/result$model.dqx"
  for _ in $(seq 100); do [ -f "$file" ] && break; sleep 0.1; done

  [ -f "$file" ] || fail "$model: the browser saved no file"
  local expected
  expected=$(printf '%s\r\n' "[Presets]" "Preset Name = E2E" "Gamma =  1" "Knee =  2" "Black =  0" "NR =  3" \
    "VDetail =  1" "Color Matrix =  1" "Color Gain = -6" "Color Phase =  5" "Red = -1" "Green =  3" "Blue = -4" \
    "SetupLevel = -2" "Sharpness =  6" "Coring =  1" "MasterPed = -5" "Description = ")
  [ "$(cat "$file")" = "$expected" ] || fail "$model: the settings were not read back: $(cat -A "$file")"
  "$vcam" show "$camera" | grep -q "E2E" || fail "$model: the camera's slot does not hold the name"
  local trace trace_lines
  trace=$("$vcam" trace "$camera" print)
  trace_lines=$(wc -l <<<"$trace")
  # Red Gain -1 is written as 5 and accepted, slot 2 is registered as "E2E",
  # and Read Preset's status query answers 5.
  grep -q " 00200000008500014B05 09200000008500014B05 0$" <<<"$trace" || fail "$model: no accepted Red Gain write of 5"
  grep -q " 0020000000850001710245324500" <<<"$trace" || fail "$model: no registration of slot 2 as E2E in the trace"
  grep -q " 0C200000008500014B05 0$" <<<"$trace" || fail "$model: Read Preset's Red Gain query did not answer 5"

  click "$main" 540 604              # Exit
  for _ in $(seq 50); do kill -0 "$app_pid" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$app_pid" 2>/dev/null && fail "$model: Exit did not end the program"
  wait "$app_pid" || fail "$model: the program ended with an error"
  app_pid=""
  "$vcam" delete "$camera" >/dev/null
  echo "presets-e2e: $model passed (slot 2 written and read back, $trace_lines exchanges in the camera's trace)"
}

run_flow studio KX1
run_flow default KV7
echo "presets-e2e: passed"
