#!/usr/bin/env bash
# Start-up time of presets.exe under Wine: from the launch to the main
# window's first paint, as the median of several runs, next to a minimal
# Win32 program measured the same way under the same Wine session.
# Target: at most 1.5 times the minimal program's time.
# Usage: scripts/startup-bench-wine.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-9}
dir=build/mingw64/app/ui/win32
if [ ! -f "$dir/presets.exe" ] || [ ! -f "$dir/win32_minimal_start.exe" ]; then
  bash scripts/setup.sh cross
  cmake --preset mingw64 >/dev/null
  cmake --build --preset mingw64 -j2 --target presets win32_minimal_start
fi
work=$(mktemp -d /tmp/presets-wine-start.XXXXXX)
export WINEPREFIX="$PWD/build/mingw64/startup-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64
source scripts/wine-prefix.sh
xvfb_pid=
trap 'timeout 60 wineserver -k 2>/dev/null; [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; rm -rf "$work"' EXIT
prefix_private_display "$work"
prefix_prepare_once
# One Wine session for every run, as a user's desktop has.
wineserver -p
timeout 60 "$wine" cmd /c exit >/dev/null 2>&1 || true

measure() {  # PROGRAM -> one time in ms per line
  for _ in $(seq "$runs"); do
    PRESETS_STARTUP_PROBE=$(date +%s%N) timeout 60 "$wine" "$1" 2>/dev/null | tr -d '\r' | sed -n 's/^shown_ms=//p'
  done
}
median() { sort -n | awk '{a[NR]=$1} END {if (NR == 0) exit 1; m = (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2; printf "%.1f", m}'; }

runs=1 measure "$dir/win32_minimal_start.exe" >/dev/null  # warm the file cache
runs=1 measure "$dir/presets.exe" >/dev/null
minimal=$(measure "$dir/win32_minimal_start.exe" | median)
presets=$(measure "$dir/presets.exe" | median)
ratio=$(awk -v p="$presets" -v m="$minimal" 'BEGIN { printf "%.2f", p / m }')
echo "start to main window shown under Wine, median of $runs runs:"
echo "  minimal Win32 program: ${minimal} ms"
echo "  presets.exe:           ${presets} ms (${ratio}x; target at most 1.5x)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 1.5) }' || { echo "startup-bench-wine: over the target"; exit 1; }
