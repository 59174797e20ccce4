#!/usr/bin/env bash
# Renders every window of presets.exe under Wine on a private X display into
# PNG files: the main window in layouts 1 and 2, the file browser over a
# sample folder, the overwrite warning, the delete confirmation, the reminder
# and the about window (the Windows counterpart of scripts/screenshots.sh).
# Usage: scripts/screenshots-wine.sh [OUTPUT_FOLDER]   (default build/screenshots-wine)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build/screenshots-wine}")
program=build/mingw64/app/ui/win32/presets_screenshots.exe
if [ ! -f "$program" ]; then
  bash scripts/setup.sh cross
  cmake --preset mingw64 >/dev/null
  cmake --build --preset mingw64 -j2 --target presets_screenshots
fi
command -v convert >/dev/null && command -v Xvfb >/dev/null || {
  echo "screenshots-wine: needs Xvfb and ImageMagick (apt-get install xvfb imagemagick)" >&2; exit 1; }
work=$(mktemp -d /tmp/presets-wine-shots.XXXXXX)
export WINEPREFIX="$PWD/build/mingw64/screenshots-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wine=/usr/lib/wine/wine64
source scripts/wine-prefix.sh
xvfb_pid=
trap 'timeout 60 wineserver -k 2>/dev/null; [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null; rm -rf "$work"' EXIT
prefix_private_display "$work"
prefix_prepare_once
samples=$work/samples
mkdir -p "$samples/archive" "$samples/camera 2" "$out"
printf '[Presets]\r\nPreset Name = SUNSET\r\nDescription = Warm evening light\r\n' >"$samples/evening.dqx"
printf '[Presets]\r\nPreset Name = STUDIO\r\nDescription = Tungsten, three lamps\r\n' >"$samples/STUDIO.DQX"
printf '[Presets]\r\n' >"$samples/night.Dqx"
timeout 120 "$wine" "$program" "$(winepath -w "$work/bmp")" "$(winepath -w "$samples")" | tr -d '\r' | sed 's/^wrote .*\\/rendered /'
for bitmap in "$work"/bmp/*.bmp; do
  convert "$bitmap" "$out/$(basename "${bitmap%.bmp}").png"
done
ls "$out"/*.png
