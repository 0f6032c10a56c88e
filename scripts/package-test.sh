#!/usr/bin/env bash
# What a packager does: configure without tests and benchmarks (which must then look for neither
# Google Test nor Google Benchmark) and build the server alone, into build-notests; and install
# a Release build (scripts/test.sh --release) under a scratch prefix, where the server must be
# all there is, and must run.
#   scripts/package-test.sh [RELEASE_BUILD_DIR]     (default: build-release)
# JOBS sets how many compile jobs run at once (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."
release=${1:-build-release}
fail() { echo "package-test: $*" >&2; exit 1; }

build=build-notests
# Either library, if looked for, would now fail the configure.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVALLE_WERROR=ON \
  -DBUILD_TESTING=OFF -DKORVALLE_BENCH=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target korvalle-api
[ -x "$build/korvalle-api" ] || fail "no $build/korvalle-api"

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$release" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . ! -type d | sort)
[ "$installed" = ./bin/korvalle-api ] || fail "the install holds $(echo $installed), not ./bin/korvalle-api alone"
"$prefix/bin/korvalle-api" --version
