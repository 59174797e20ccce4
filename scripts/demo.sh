#!/usr/bin/env bash
# Sets up and builds, registers the camera control library in the per-user
# registry store, and lists the cameras it finds: the virtual camcorder, which
# creates a default camera on first use. Then selects it and reads its slots,
# and lists them again with presetctl.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target VELQUIN regsvr camlist presetctl vcam
build=build/native
"$build/tools/regsvr/regsvr" "$PWD/$build/camctl/object/VELQUIN.so"
"$build/tools/camlist/camlist" --select
"$build/tools/presetctl/presetctl" slots
