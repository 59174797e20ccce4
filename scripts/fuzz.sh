#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UndefinedBehavior-
# Sanitizer, coverage on every library) in build-fuzz/ and runs each fuzzer
# for a while, one after the other. Not part of CI.
#
#   scripts/fuzz.sh [seconds per target, default 60] [target...]
#
# VELQUIN_FUZZ_RUNS=N stops each fuzzer after N inputs (whichever comes first).
#
# Targets: registry_parse storage_channel camctl_answers device_selection
# preset_file_parse vcam_frames torwen_answers (all by default). Each run starts from the named inputs in
# fuzz/corpus/<target>/ and grows a working corpus in build-fuzz/corpus/<target>/
# (kept between runs, never committed). Crashes land in
# build-fuzz/crashes/<target>/; once the bug is fixed, copy the input into
# fuzz/corpus/<target>/ under a name that says what it is.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VELQUIN_FUZZ_BUILD:-$root/build-fuzz}"
seconds="${1:-60}"
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(registry_parse storage_channel camctl_answers device_selection preset_file_parse vcam_frames torwen_answers)
fi
jobs="${VELQUIN_FUZZ_BUILD_JOBS:-2}"

# The sanitizer runtimes are linked as shared libraries so that the host COM
# runtime (a shared library linked with --no-undefined) finds them too; the
# programs find them again at run time through their rpath.
sanlib="$(clang++ -print-resource-dir)/lib/linux"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELQUIN_FUZZ=ON -DVELQUIN_BUILD_BENCHMARKS=OFF -DVELQUIN_BUILD_TESTS=OFF -DVELQUIN_SANITIZE=ON \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link" -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" \
  -DCMAKE_EXE_LINKER_FLAGS="-shared-libsan -Wl,-rpath,$sanlib" \
  -DCMAKE_SHARED_LINKER_FLAGS="-shared-libsan -Wl,-rpath,$sanlib" >/dev/null
cmake --build "$build" -j"$jobs" --target "${targets[@]/%/_fuzzer}"

# The targets keep their camera root and registry file under $TMPDIR: a
# memory file system makes the virtual camcorder's file traffic cheap.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
# Input size limits. Registry text: a section header repeats its whole path,
# so the text the round-trip check writes grows with the square of the key
# depth; 1280 bytes still reach past the 512-level limit, and the long
# regression inputs are replayed whole by CTest.
declare -A max_len=([registry_parse]=1280)
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  crashes="$build/crashes/$target"
  mkdir -p "$corpus" "$crashes"
  echo "== $target: ${seconds}s"
  # libFuzzer pulls in the C++ runtime ahead of the shared ASan runtime: preload it.
  if ! LD_PRELOAD="$sanlib/libclang_rt.asan-x86_64.so" "$build/fuzz/${target}_fuzzer" "$corpus" "$root/fuzz/corpus/$target" \
      -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      ${max_len[$target]:+-max_len=${max_len[$target]}} ${VELQUIN_FUZZ_RUNS:+-runs=$VELQUIN_FUZZ_RUNS} \
      -artifact_prefix="$crashes/" 2>"$build/$target.log"; then
    echo "   $target found a failure; see $build/$target.log and $crashes/"
    status=1
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" "$build/$target.log" | sed 's/^/   /' || true
done
exit $status
