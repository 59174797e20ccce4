#!/usr/bin/env bash
# Renders every window of the presets program offscreen into PNG files: the
# main window in layouts 1 and 2, the file browser over a sample folder, the
# overwrite warning, the delete confirmation, the reminder and the about window.
# Usage: scripts/screenshots.sh [OUTPUT_FOLDER]   (default build/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/screenshots}
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target presets_screenshots
samples=$(mktemp -d /tmp/presets-samples.XXXXXX)
trap 'rm -rf "$samples"' EXIT
mkdir -p "$samples/archive" "$samples/camera 2"
printf '[Presets]\r\nPreset Name = SUNSET\r\nDescription = Warm evening light\r\n' >"$samples/evening.dqx"
printf '[Presets]\r\nPreset Name = STUDIO\r\nDescription = Tungsten, three lamps\r\n' >"$samples/STUDIO.DQX"
printf '[Presets]\r\n' >"$samples/night.Dqx"
export XDG_RUNTIME_DIR="$samples"
QT_QPA_PLATFORM=offscreen build/native/app/ui/qt/presets_screenshots "$out" "$samples"
