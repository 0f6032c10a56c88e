#!/usr/bin/env bash
# Builds everything and runs every test, with warnings as errors, after installing what the
# suite needs (scripts/install-deps.sh --tests, and --clang for the sanitizer build).
#   --sanitize  builds into build-asan with clang 14, AddressSanitizer and
#               UndefinedBehaviorSanitizer (so that clang compiles the whole tree too)
#   --release   builds the Release configuration into build-release (nothing is run)
# JOBS sets how many compile and test jobs run at once (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=(-DKORVALLE_WERROR=ON)
deps=(--tests)
run_tests=1
case "${1:-}" in
  --sanitize)
    build=build-asan
    deps+=(--clang)
    flags+=(-DCMAKE_CXX_COMPILER=clang++-14 -DKORVALLE_SANITIZE=ON -DKORVALLE_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  --release) build=build-release; flags+=(-DKORVALLE_BENCH=ON -DCMAKE_BUILD_TYPE=Release); run_tests=0 ;;
  "") flags+=(-DKORVALLE_BENCH=ON) ;;
  *) echo "usage: scripts/test.sh [--sanitize | --release]" >&2; exit 2 ;;
esac

scripts/install-deps.sh "${deps[@]}"

jobs=${JOBS:-$(nproc)}
cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" -j "$jobs"
[ "$run_tests" = 1 ] || exit 0
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j "$jobs"
