#!/usr/bin/env bash
# Server benchmark: starts korvalle-api on a generated runs root (50 runs, about 2 MB of journal
# each), measures requests per second for /healthz and /api/v2/runs with wrk, and compares the
# time of one run-list request with the in-process time of opening every run and building the
# summaries of the page (target: at most 1.3).
#
#   bench/server_bench.sh [BUILD_DIR]     (default: build; DURATION=10s, RUNS=50, BYTES=2097152)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
duration=${DURATION:-10s}
runs=${RUNS:-50}
bytes=${BYTES:-2097152}

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALLE_BENCH=ON >/dev/null
fi
ninja -C "$build" korvalle-api fake_korvalle server_bench >/dev/null

work=$(mktemp -d /tmp/korvalle-bench-XXXXXX)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bench/server_bench" --generate "$work/runs" "$runs" "$bytes" >/dev/null
echo "runs root: $runs runs, $(du -sh "$work/runs" | cut -f1) on disk"

# The stand-in pipeline tool answers telemetry, so the list carries it as in production; the
# first request fills the telemetry cache and every later one is a cache hit.
KORVALLE_UI_KORVALLE_BIN="$PWD/$build/tests/fake_korvalle" \
  "$build/korvalle-api" serve --runs-root "$work/runs" --bind 127.0.0.1:0 >"$work/out" 2>"$work/err" &
server_pid=$!
for _ in $(seq 100); do grep -q serving "$work/out" 2>/dev/null && break; sleep 0.05; done
url=$(sed -n 's/.* on //p' "$work/out")
[ -n "$url" ] || { echo "the server did not start:"; cat "$work/err"; exit 1; }
curl -sf -o /dev/null "$url/api/v2/runs"

# The ratio first, on a fresh server: one run-list request against the in-process work, run
# side by side with random interleaving so that load elsewhere on the host hits both alike.
port=${url##*:}
KORVALLE_BENCH_ROOT="$work/runs" KORVALLE_BENCH_PORT="$port" "$build/bench/server_bench" \
  --benchmark_format=json --benchmark_repetitions="${REPETITIONS:-10}" \
  --benchmark_enable_random_interleaving=true --benchmark_min_time="${MIN_TIME:-1}" 2>/dev/null >"$work/ratio.json"
read -r inproc one < <(python3 - "$work/ratio.json" <<'PY'
import json, sys
rows = json.load(open(sys.argv[1]))["benchmarks"]
median = {r["run_name"].split("/")[0]: r["real_time"] for r in rows if r.get("aggregate_name") == "median"}
print(median["BM_ViewsAndSummaries"], median["BM_RunListRequest"])
PY
)

rps() { sed -n 's/^Requests\/sec:[[:space:]]*//p'; }
healthz=$(wrk -t4 -c64 -d"$duration" "$url/healthz" | rps)
list=$(wrk -t4 -c16 -d"$duration" "$url/api/v2/runs" | rps)

echo "GET /healthz            $healthz requests/s (4 threads, 64 connections)"
echo "GET /api/v2/runs        $list requests/s (4 threads, 16 connections)"
printf 'one run-list request    %.1f ms (median, one keep-alive connection)\n' "$one"
printf 'in process              %.1f ms (median, RunView::all + 50 summaries)\n' "$inproc"
python3 -c "r=$one/$inproc; print(f'ratio                   {r:.2f} (target at most 1.3) ' + ('ok' if r <= 1.3 else 'OVER'))"
