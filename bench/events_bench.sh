#!/usr/bin/env bash
# Event-stream benchmark: starts korvalle-api on the demo runs root (unchanged while it runs) and
# measures, side by side in one run, the server's CPU time per second with 1 and with STREAMS
# open event streams and the time of a run-list request with none and with them (target ratios:
# at most 2.0), and checks that the server's threads and descriptors come back to their idle
# figures once the streams have closed.
#
# Then what streams and connections hold: a fresh server with RESIDENT streams open (20 000, or as
# many as the descriptor limit allows both processes: the figure for 20 000 is then projected from
# the resident memory per stream), its resident memory against the target of 400 MB and per stream
# against 16 KB, and the run list's time with them against its time with none (target ratio: at
# most 2.0); then another fresh server with as many idle keep-alive connections (each answered
# once), per connection against 16 KB.
#
# Then the polls' own CPU: two servers side by side on the same root, one polling at the default
# interval (500 ms) and one every hour, so that its streams cost their keep-alives only. Each
# holds 1 stream, then POLL_STREAMS streams, and both servers' CPU is read over the same windows:
# POLL_WINDOWS windows of 8 s, each starting 1 s after a round of keep-alives (the streams got
# their snapshots within a few seconds, and each sends its keep-alive 15 s after its last
# write), so that the thousands of keep-alives, which cost far more than the polls, fall
# outside them and do not drown the difference in their noise. The first window follows the
# first round, once the opening's own work (each new stream is handed its first look) is over. The polls' CPU is the first
# server's minus the second's; their ratio with POLL_STREAMS streams over 1 stream has a target
# of at most 2.0.
#
#   bench/events_bench.sh [BUILD_DIR]     (default: build; STREAMS=1000 (0: not the first
#                                           measure), REQUESTS=2000, CPU_SECONDS=10,
#                                           RESIDENT=20000 (0: no resident memory measure),
#                                           POLL_STREAMS=12000 (0: no polls' measure),
#                                           POLL_WINDOWS=3; SERVER=path runs another binary)
set -euo pipefail
ulimit -n "$(ulimit -Hn)"  # the client holds one descriptor per stream
cd "$(dirname "$0")/.."
build=${1:-build}
poll_streams=${POLL_STREAMS:-12000}
poll_windows=${POLL_WINDOWS:-3}

# shellcheck source=bench/server_procs.sh
. bench/server_procs.sh
bench_setup events-bench events_bench
server=${SERVER:-$binary}

status=0
if [ "${STREAMS:-1000}" -gt 0 ]; then
  start_server "$server" examples/runs
  "$build/bench/events_bench" "${url##*:}" "$server_pid" "${STREAMS:-1000}" "${REQUESTS:-2000}" \
    "${CPU_SECONDS:-10}" || status=$?
  stop "$server_pid"
fi

resident=${RESIDENT:-20000}
if [ "$resident" -gt 0 ]; then
  # Each stream is a descriptor in the client and one in the server; leave both room for the rest.
  room=$(($(ulimit -n) - 64))
  count=$((resident < room ? resident : room))
  [ "$count" -eq "$resident" ] || echo "descriptor limit $(ulimit -n): $count streams and connections, not $resident"
  echo "what open streams hold:"
  start_server "$server" examples/runs
  "$build/bench/events_bench" --resident streams "${url##*:}" "$server_pid" "$count" "${REQUESTS:-2000}" \
    "$resident" | sed 's/^/  /' || status=1
  stop "$server_pid"
  echo "what idle connections hold:"
  start_server "$server" examples/runs
  "$build/bench/events_bench" --resident connections "${url##*:}" "$server_pid" "$count" | sed 's/^/  /' || status=1
  stop "$server_pid"
fi
[ "$poll_streams" -gt 0 ] || exit "$status"

start_server "$server" examples/runs
polling_pid=$server_pid polling_url=$url
start_server "$server" examples/runs --poll-interval-ms 3600000
hourly_pid=$server_pid hourly_url=$url

# Holds COUNT streams on each server until told to stop, each server's from its own client, and
# waits until every stream has its snapshot. Sets holders.
hold() {
  holders=()
  local target
  for target in "$polling_url" "$hourly_url"; do
    "$build/bench/events_bench" --hold "${target##*:}" "$1" 3600 >"$work/hold-${#holders[@]}" &
    holders+=("$!")
    pids+=("$!")
  done
  for _ in $(seq 1200); do
    grep -q '^first frames' "$work/hold-0" && grep -q '^first frames' "$work/hold-1" && break
    sleep 0.05
  done
  grep -h '^first frames' "$work/hold-0" "$work/hold-1" | sed 's/^/  /'
}

# Reads both servers' CPU ms per second over the windows between keep-alive rounds into
# polling_cpu and hourly_cpu (means of the windows), printing each window's, then stops the
# streams. The streams have all had their snapshots when it starts.
measure() {
  local started window polling hourly
  started=$(date +%s%N)
  polling_cpu=0 hourly_cpu=0
  for window in $(seq 0 $((poll_windows - 1))); do
    sleep "$(awk -v s="$started" -v now="$(date +%s%N)" -v w="$window" \
      'BEGIN { d = 16 + 15 * w - (now - s) / 1e9; print (d > 0 ? d : 0) }')"
    read -r polling hourly < <("$build/bench/events_bench" --cpu 8 "$polling_pid" "$hourly_pid")
    echo "  window $((window + 1)): $polling and $hourly ms per second"
    polling_cpu=$(awk -v a="$polling_cpu" -v b="$polling" -v n="$poll_windows" 'BEGIN { print a + b / n }')
    hourly_cpu=$(awk -v a="$hourly_cpu" -v b="$hourly" -v n="$poll_windows" 'BEGIN { print a + b / n }')
  done
  local holder
  for holder in "${holders[@]}"; do stop "$holder"; done
}

echo "the polls' own CPU, both servers read over the same $poll_windows windows of 8 s between keep-alive rounds:"
hold 1
measure
one_polling=$polling_cpu one_hourly=$hourly_cpu
hold "$poll_streams"
measure
many_polling=$polling_cpu many_hourly=$hourly_cpu
awk -v n="$poll_streams" -v op="$one_polling" -v oh="$one_hourly" -v mp="$many_polling" -v mh="$many_hourly" 'BEGIN {
  one = op - oh; many = mp - mh
  printf "server CPU, ms per second: 1 stream: %.3f polling every 500 ms, %.3f every hour: polls %.3f\n", op, oh, one
  printf "server CPU, ms per second: %d streams: %.3f polling every 500 ms, %.3f every hour: polls %.3f\n", n, mp, mh, many
  # Polls that cost less than a microsecond per second count as that.
  ratio = many / (one > 0.001 ? one : 0.001)
  printf "polls CPU ratio with %d streams / with 1: %.2f (target: at most 2.0)\n", n, ratio
  exit ratio <= 2.0 ? 0 : 1
}' || status=1
exit "$status"
