#!/usr/bin/env bash
# Start-up time of the presets program on the offscreen platform: from the
# process's launch to its main window's first paint, as the median of several
# runs, next to a minimal Qt Widgets program measured the same way in the same
# run. Target: presets under 300 ms.
# Usage: scripts/startup-bench.sh [RUNS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}
build=${2:-build/native}
cmake --build "$build" -j2 --target presets qt_minimal_start >/dev/null
work=$(mktemp -d /tmp/presets-startup.XXXXXX)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" HOSTCOM_REGISTRY="$work/registry.reg"

measure() {  # PROGRAM -> one time in ms per line
  for _ in $(seq "$runs"); do
    PRESETS_STARTUP_PROBE=$(date +%s%N) "$1" 2>/dev/null | sed -n 's/^shown_ms=//p'
  done
}
median() { sort -n | awk '{a[NR]=$1} END {if (NR == 0) exit 1; m = (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2; printf "%.1f", m}'; }

runs=1 measure "$build/app/ui/qt/qt_minimal_start" >/dev/null  # warm the file cache
runs=1 measure "$build/app/ui/qt/presets" >/dev/null
minimal=$(measure "$build/app/ui/qt/qt_minimal_start" | median)
presets=$(measure "$build/app/ui/qt/presets" | median)
echo "start to main window shown, median of $runs runs (offscreen):"
echo "  minimal Qt program: ${minimal} ms"
echo "  presets:            ${presets} ms (target < 300 ms)"
awk -v p="$presets" 'BEGIN { exit !(p < 300) }' || { echo "startup-bench: over the target"; exit 1; }
