#!/usr/bin/env bash
# Event-stream benchmark: starts korvalle-api on the demo runs root (unchanged while it runs) and
# measures, side by side in one run, the server's CPU time per second with 1 and with STREAMS
# open event streams and the time of a run-list request with none and with them (target ratios:
# at most 2.0), and checks that the server's threads and descriptors come back to their idle
# figures once the streams have closed.
#
#   bench/events_bench.sh [BUILD_DIR]     (default: build; STREAMS=1000, REQUESTS=2000,
#                                           CPU_SECONDS=10; SERVER=path runs another binary)
set -euo pipefail
ulimit -n "$(ulimit -Hn)"  # the client holds one descriptor per stream
cd "$(dirname "$0")/.."
build=${1:-build}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALLE_BENCH=ON >/dev/null
fi
ninja -C "$build" korvalle-api fake_korvalle events_bench >/dev/null

work=$(mktemp -d /tmp/korvalle-events-bench-XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The stand-in pipeline tool answers telemetry, so the list carries it as in production.
KORVALLE_UI_KORVALLE_BIN="$PWD/$build/tests/fake_korvalle" \
  "${SERVER:-$build/korvalle-api}" serve --runs-root examples/runs --bind 127.0.0.1:0 >"$work/out" 2>"$work/err" &
server_pid=$!
for _ in $(seq 100); do grep -q serving "$work/out" 2>/dev/null && break; sleep 0.05; done
url=$(sed -n 's/.* on //p' "$work/out")
[ -n "$url" ] || { echo "the server did not start:"; cat "$work/err"; exit 1; }
"$build/bench/events_bench" "${url##*:}" "$server_pid" "${STREAMS:-1000}" "${REQUESTS:-2000}" "${CPU_SECONDS:-10}"
