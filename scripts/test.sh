#!/usr/bin/env bash
# Builds everything and runs every test, with warnings as errors, after installing what the
# suite needs (scripts/install-deps.sh --tests, and --clang for the sanitizer builds).
#   --sanitize  builds into build-asan with clang 14, AddressSanitizer and
#               UndefinedBehaviorSanitizer (so that clang compiles the whole tree too)
#   --tsan      builds the store, API and HTTP tests and the programs they start into build-tsan
#               with clang 14 and ThreadSanitizer, and runs those tests: a data race fails them
#   --release   builds the Release configuration into build-release (nothing is run)
# JOBS sets how many compile and test jobs run at once (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
flags=(-DKORVALLE_WERROR=ON)
deps=(--tests)
targets=()
labels=
run_tests=1
case "${1:-}" in
  --sanitize)
    build=build-asan
    deps+=(--clang)
    flags+=(-DCMAKE_CXX_COMPILER=clang++-14 -DKORVALLE_SANITIZE=ON -DKORVALLE_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug) ;;
  --tsan)
    build=build-tsan
    deps+=(--clang)
    flags+=(-DCMAKE_CXX_COMPILER=clang++-14 -DKORVALLE_TSAN=ON -DKORVALLE_BENCH=OFF)
    targets=(test_store test_api test_http korvalle-api fake_korvalle)
    labels='^(store|api|http)$' ;;
  --release) build=build-release; flags+=(-DKORVALLE_BENCH=ON -DCMAKE_BUILD_TYPE=Release); run_tests=0 ;;
  "") flags+=(-DKORVALLE_BENCH=ON) ;;
  *) echo "usage: scripts/test.sh [--sanitize | --tsan | --release]" >&2; exit 2 ;;
esac

scripts/install-deps.sh "${deps[@]}"

jobs=${JOBS:-$(nproc)}
cmake -S . -B "$build" -G Ninja "${flags[@]}"
cmake --build "$build" -j "$jobs" ${targets[@]+--target "${targets[@]}"}
[ "$run_tests" = 1 ] || exit 0
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The servers the tests start inherit it: a race reported in one ends it with status 66.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$build" --output-on-failure -j "$jobs" ${labels:+-L "$labels"}
