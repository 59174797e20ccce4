#!/usr/bin/env bash
# Builds the presets program and the camera control library, registers the
# library and starts the program against the virtual camcorder (a default KV7
# camera is made on first use). Without a display it says so and runs the
# command-line demo instead.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "presets: no display (DISPLAY and WAYLAND_DISPLAY are unset); running the command-line demo instead."
  exec bash scripts/demo.sh
fi
bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target VELQUIN regsvr vcam_tool presets
build=build/native
"$build/tools/regsvr/regsvr" "$PWD/$build/camctl/object/VELQUIN.so"
exec "$build/app/ui/qt/presets"
