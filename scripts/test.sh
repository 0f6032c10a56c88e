#!/usr/bin/env bash
# Builds everything and runs every test. With --sanitize, builds into build-asan with
# AddressSanitizer and UndefinedBehaviorSanitizer instead.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

build=build
flags=()
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags=(-DKORVALLE_SANITIZE=ON -DKORVALLE_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug)
fi

jobs=$(nproc)
cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$jobs"
