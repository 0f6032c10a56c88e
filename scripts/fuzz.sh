#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short, bounded time over its
# seed corpus (tests/fuzz-corpus/<target>/). Usage: scripts/fuzz.sh [seconds-per-target]
#
# Each fuzz/*_fuzz.cpp is built as its own target, so a module that does not build with clang
# fails only the targets that need it; every target that builds is run, and the script fails
# when any target failed to build or found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
seconds=${1:-30}
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DKORVALLE_FUZZ=ON \
  -DKORVALLE_BENCH=OFF -DKORVALLE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

status=0
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  if ! cmake --build "$build" -j "$(nproc)" --target "$name"; then
    echo "fuzz: $name did not build" >&2
    status=1
    continue
  fi
  corpus=tests/fuzz-corpus/$name
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "fuzzing $name for ${seconds}s"
  if ! "$build/fuzz/$name" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
      -timeout=10 -print_final_stats=1 "$work"; then
    echo "fuzz: $name found a fault (reproducer above)" >&2
    status=1
  fi
  rm -rf "$work"
done
exit $status
