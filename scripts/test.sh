#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the native build, the
# ASan+UBSan build, then the cross-thread and cross-process suites (ctest
# label tsan) under ThreadSanitizer. Pass preset names to run only some
# (native, asan, tsan).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
presets=("$@")
((${#presets[@]})) || presets=(native asan tsan)
for preset in "${presets[@]}"; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j2
  ctest --preset "$preset"
done
