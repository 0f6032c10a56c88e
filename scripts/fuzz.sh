#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a short, bounded time over its
# seed corpus (tests/fuzz-corpus/<target>/) and with its dictionary (fuzz/<target>.dict) when
# it has one, as many at a time as there are cores (FUZZ_JOBS overrides, and JOBS the compile
# jobs). Usage: scripts/fuzz.sh [seconds-per-target]
#
# Each fuzz/*_fuzz.cpp is built as its own target, so a module that does not build with clang
# fails only the targets that need it; every target that builds is run, each into a log of its
# own that is printed when it fails, and the script fails when any target failed to build or
# found a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --clang
seconds=${1:-30}
jobs=${FUZZ_JOBS:-$(nproc)}
build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DKORVALLE_FUZZ=ON \
  -DBUILD_TESTING=OFF -DKORVALLE_BENCH=OFF -DKORVALLE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

status=0
built=()
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  if cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "$name"; then
    built+=("$name")
  else
    echo "fuzz: $name did not build" >&2
    status=1
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Runs one target over a copy of its corpus, with its dictionary (fuzz/NAME.dict) when it has
# one; its output goes to $work/NAME.log and its exit status to $work/NAME.status.
fuzz_one() {
  local name=$1 corpus=tests/fuzz-corpus/$1 code=0 dict=()
  mkdir "$work/$name"
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work/$name"/
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  "$build/fuzz/$name" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
    -timeout=10 -print_final_stats=1 "${dict[@]}" "$work/$name" >"$work/$name.log" 2>&1 || code=$?
  echo "$code" >"$work/$name.status"
}

echo "fuzzing ${built[*]} for ${seconds}s each, $jobs at a time"
for name in "${built[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  fuzz_one "$name" &
done
wait

for name in "${built[@]}"; do
  if [ "$(cat "$work/$name.status" 2>/dev/null)" = 0 ]; then
    echo "fuzz: $name: $(grep -m1 '^stat::number_of_executed_units' "$work/$name.log" | cut -d: -f4 | tr -d ' ') runs, no fault"
  else
    echo "fuzz: $name found a fault; its output (with the reproducer), less the progress lines:" >&2
    grep -v -e '^#[0-9]' -e $'^\tNEW_FUNC' "$work/$name.log" >&2
    status=1
  fi
done
exit $status
