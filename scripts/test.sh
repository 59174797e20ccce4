#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the native build, then the
# ASan+UBSan build. Pass preset names to run only some (native, asan).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
presets=("$@")
((${#presets[@]})) || presets=(native asan)
for preset in "${presets[@]}"; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  ctest --preset "$preset"
done
