#!/usr/bin/env bash
# Crowd memory benchmark: what a crowd asking one large run's documents, or a crowd of documents
# waiting for a slow telemetry program, takes of korvalle-api's memory, measured from outside
# (resident memory sampled from /proc every 100 ms, curl for the probes). With BASE_BINARY, each
# configuration runs on a fresh server of this build, then on one of the base, in one run.
#
#   crowd      two runs of ENVELOPES (10^6) envelopes, 577 MB of journal each. Run A's detail is
#              asked once, whole (order "full") or without its conversations ("bare"), so that
#              its view and what fits beside it are kept; then CLIENTS (600) clients ask for its
#              whole detail at once and never read (mode "never", held HOLD s) or close 0.5 s
#              after asking (mode "close"). Meanwhile /healthz and the run list are asked every
#              200 ms. Targets: resident memory grows by at most 1 GiB over what it was before
#              the crowd, and its peak stays under the README's ceiling (the views' bound + the
#              larger of the budget for opens and the largest open + the records' bound + the
#              answers' budget); /healthz and the run list within 1 s throughout; the answers
#              begun are 200 or 503, and a detail asked after the crowd is the warm one.
#   alone      the same with one run of ALONE_ENVELOPES (1.4 x 10^6) envelopes, whose view leaves
#              little room beside it in the views' bound: its indexes and node details are made
#              for each request. Its detail without conversations is asked once, then by the
#              crowd. Targets as in crowd.
#   telemetry  a root of as many runs of 10^5 envelopes (56 MB journals) as the largest of WAITERS
#              (80 200), and a telemetry program that sleeps 40 s before answering: the details
#              without conversations of WAITERS runs asked at once, so that all but one wait for the telemetry cache's turn. For WATCH (300)
#              s, resident memory sampled and /healthz asked every second; then SIGTERM.
#              Targets: peak resident memory under the ceiling (the largest open is 2 x 56 MB
#              here), /healthz within 1 s, the stop within 35 s with status 0, every detail
#              answered 200 or 503.
#
#   bench/crowd_memory_bench.sh [BUILD_DIR] [BASE_BINARY]     (default: build-release)
#
# Knobs: SECTIONS="crowd alone telemetry"; ENVELOPES=1000000; ALONE_ENVELOPES=1400000; CLIENTS=600; HOLD=20; ORDERS="full bare";
# MODES="never close"; WAITERS="80 200"; WATCH=300; MEMORY_CAP (MiB, default 40% of the memory
# available at start: a server resident beyond it is killed and counted over its target). Every
# request goes to 127.0.0.1; the roots are made in /tmp and removed at exit.
set -euo pipefail
base=${2:+$(realpath "$2")}
cd "$(dirname "$0")/.."
build=${1:-build-release}
sections=${SECTIONS:-crowd alone telemetry}
envelopes=${ENVELOPES:-1000000}
alone_envelopes=${ALONE_ENVELOPES:-1400000}
clients=${CLIENTS:-600}
hold=${HOLD:-20}
orders=${ORDERS:-full bare}
modes=${MODES:-never close}
waiter_counts=${WAITERS:-80 200}
watch=${WATCH:-300}
memory_cap=${MEMORY_CAP:-$(awk '$1 == "MemAvailable:" { printf "%d\n", $2 / 1024 * 0.4 }' /proc/meminfo)}
max_time=600
gib_mib=1024
ceiling_fixed_mib=$((1024 + 98 + 512)) # the views' bound, the records' bound, the answers' budget

if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DKORVALLE_WERROR=ON -DKORVALLE_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# shellcheck source=bench/server_procs.sh
. bench/server_procs.sh
bench_setup crowd-memory replay_bench
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

# The README's ceiling in MiB for a root whose largest journal is JOURNAL bytes (an open reserves
# two bytes per journal byte).
ceiling_mib() { awk -v j="$1" -v f="$ceiling_fixed_mib" 'BEGIN { o = 2 * j / 1048576; printf "%d\n", f + (o > 1024 ? o : 1024) }'; }

# Samples the resident memory of PID every 100 ms into FILE (MiB, one a line) until stopped; a
# server past the memory cap is killed. Sets sampler_pid.
sample_rss() {
  (
    while rss=$(status_mib "$1" VmRSS 2>/dev/null) && [ -n "$rss" ]; do
      echo "$rss" >>"$2"
      if [ "$rss" -gt "$memory_cap" ]; then echo capped >>"$2"; kill -KILL "$1"; break; fi
      sleep 0.1
    done
  ) &
  sampler_pid=$!
  pids+=("$sampler_pid")
}
peak_of() { grep -v capped "$1" | sort -n | tail -1; }
capped() { grep -q capped "$1"; }

# Asks each URL every PERIOD seconds until stopped, "MS STATUS" per answer into FILE. Sets
# prober_pid.
probe() {
  local file=$1 period=$2
  shift 2
  (
    while :; do
      for target in "$@"; do
        curl -s -o /dev/null --max-time 30 -w '%{time_total} %{http_code}\n' "$target" |
          awk '{ printf "%.0f %s\n", $1 * 1000, $2 }' >>"$file" || echo "30000 000" >>"$file"
      done
      sleep "$period"
    done
  ) &
  prober_pid=$!
  pids+=("$prober_pid")
}
slowest() { sort -n "$1" | tail -1 | cut -d' ' -f1; }
all_ok() { awk '$2 != 200 { bad = 1 } END { exit bad }' "$1"; }

report() {
  printf '  %-58s %s\n' "$1" "$2"
}
judge() { # LABEL VALUE OP TARGET
  awk -v l="$1" -v v="$2" -v op="$3" -v t="$4" 'BEGIN {
    ok = op == "<=" ? v <= t : v < t
    printf "  %-58s %s (target %s %s) %s\n", l, v, op, t, ok ? "ok" : "OVER" }'
}

# ---- crowd ----

crowd_root() {
  if [ ! -d "$work/runs-crowd" ]; then
    "$build/bench/replay_bench" --write-run "$work/runs-crowd/run-a" "$envelopes" >/dev/null
    "$build/bench/replay_bench" --write-run "$work/runs-crowd/run-b" "$envelopes" >/dev/null
    sleep 2 # a view read within 2 s of its files' last change serves its own request only
  fi
}

# One crowd on a fresh server of BINARY over ROOT: ORDER of the first detail, MODE of the
# clients, and the detail they ask for (PATH).
crowd_once() {
  local server=$1 order=$2 mode=$3 root=$4 path=$5 first=/api/v2/runs/run-a whole before peak port statuses held
  [ "$order" = bare ] && first="$first?include_conversations=false"
  start_server "$server" "$root"
  port=${url##*:}
  if ! curl -s --max-time "$max_time" -o "$work/first" "$url$first"; then
    echo "  $(basename "$server"): the first detail failed; the server's standard error:"
    cat "$work/server-$started.err"
    stop "$server_pid"
    return
  fi
  curl -s --max-time "$max_time" -o /dev/null "$url/api/v2/runs" || true
  sleep 1
  before=$(status_mib "$server_pid" VmRSS)
  rm -f "$work/rss" "$work/probes"
  sample_rss "$server_pid" "$work/rss"
  probe "$work/probes" 0.2 "$url/healthz" "$url/api/v2/runs"
  # The crowd never reads: its clients are held HOLD seconds, or closed after 0.5 s.
  held=$hold
  [ "$mode" = close ] && held=0.5
  statuses=$(python3 bench/nonreaders.py 127.0.0.1 "$port" "$path" "$clients" "$held" |
    sed -n 's/.*answers begun: \(.*\), unread.*/\1/p')
  # Answers built for clients that closed still count: the server is watched as long again.
  [ "$mode" = close ] && sleep "$hold"
  stop "$prober_pid"
  whole=$(curl -s --max-time "$max_time" -o "$work/after" -w '%{http_code}' "$url$first" || true)
  stop "$sampler_pid"
  peak=$(peak_of "$work/rss")
  echo "  $(basename "$server") ($order first, clients $mode): $statuses"
  if capped "$work/rss"; then
    report "resident memory" "past the cap of $memory_cap MiB: killed, OVER"
  else
    judge "resident growth over $before MiB before the crowd, MiB" "$((peak - before))" "<=" "$gib_mib"
    judge "peak resident memory, MiB" "$peak" "<" "$ceiling"
    judge "slowest /healthz or run list during the crowd, ms" "$(slowest "$work/probes")" "<=" 1000
    all_ok "$work/probes" && report "probes answered 200" ok || report "probes answered 200" OVER
    [ "$whole" = 200 ] &&
      [ $(($(stat -c %s "$work/after") - $(stat -c %s "$work/first"))) -le 10 ] &&
      [ $(($(stat -c %s "$work/first") - $(stat -c %s "$work/after"))) -le 10 ] &&
      report "the first detail asked again after the crowd, as it was" "ok ($(stat -c %s "$work/after") bytes)"
  fi
  stop "$server_pid"
}

section_crowd() {
  local order mode server
  crowd_root
  ceiling=$(ceiling_mib "$(stat -c %s "$work/runs-crowd/run-a/events.jsonl")")
  echo "crowd: two runs of $envelopes envelopes ($(($(stat -c %s "$work/runs-crowd/run-a/events.jsonl") / 1000000)) MB journals);" \
    "$clients clients ask run A's whole detail; ceiling $ceiling MiB"
  for order in $orders; do
    for mode in $modes; do
      for server in "$binary" ${base:+"$base"}; do
        crowd_once "$server" "$order" "$mode" "$work/runs-crowd" /api/v2/runs/run-a
      done
    done
  done
}

section_alone() {
  local mode server journal
  if [ ! -d "$work/runs-alone" ]; then
    "$build/bench/replay_bench" --write-run "$work/runs-alone/run-a" "$alone_envelopes" >/dev/null
    sleep 2
  fi
  journal=$(stat -c %s "$work/runs-alone/run-a/events.jsonl")
  ceiling=$(ceiling_mib "$journal")
  echo "alone: a run of $alone_envelopes envelopes ($((journal / 1000000)) MB journal), whose view leaves no room" \
    "beside it; $clients clients ask its detail without conversations; ceiling $ceiling MiB"
  for mode in $modes; do
    for server in "$binary" ${base:+"$base"}; do
      crowd_once "$server" bare "$mode" "$work/runs-alone" "/api/v2/runs/run-a?include_conversations=false"
    done
  done
}

# ---- telemetry ----

waiters_root() {
  local dir=$work/runs-waiters i
  mkdir -p "$dir"
  [ -d "$dir/run-000" ] || "$build/bench/replay_bench" --write-run "$dir/run-000" 100000 >/dev/null
  for ((i = 1; i < $1; i++)); do
    [ -d "$dir/$(printf 'run-%03d' "$i")" ] ||
      "$build/bench/replay_bench" --write-run "$dir/$(printf 'run-%03d' "$i")" 100000 >/dev/null
  done
  sleep 2
}

waiters_once() {
  local server=$1 count=$2 i peak stop_start stop_status answers
  start_server "$server" "$work/runs-waiters"
  rm -f "$work/rss" "$work/probes" "$work/details"
  sample_rss "$server_pid" "$work/rss"
  probe "$work/probes" 1 "$url/healthz"
  for ((i = 0; i < count; i++)); do echo "$url/api/v2/runs/$(printf 'run-%03d' "$i")?include_conversations=false"; done |
    (args=(); while read -r t; do args+=(-o /dev/null "$t"); done
     curl -s --no-progress-meter -Z --parallel-immediate --parallel-max "$count" --max-time "$max_time" \
       -w '%{http_code} %{exitcode}\n' "${args[@]}" >"$work/details" || true) &
  local asked=$!
  pids+=("$asked")
  sleep "$watch"
  stop "$prober_pid"
  stop_start=$(now)
  kill -TERM "$server_pid" 2>/dev/null || true
  stop_status=0
  wait "$server_pid" 2>/dev/null || stop_status=$?
  stop_secs=$(elapsed "$stop_start")
  wait "$asked" 2>/dev/null || true
  stop "$sampler_pid"
  peak=$(peak_of "$work/rss")
  answers=$(awk '{ print ($2 == 0 ? $1 : "cut-" $2) }' "$work/details" | sort | uniq -c |
    awk '{ printf "%s%dx%s", (NR > 1 ? ", " : ""), $1, $2 } END { print "" }')
  echo "  $(basename "$server"), $count details waiting: $answers; stop: status $stop_status"
  if capped "$work/rss"; then
    report "resident memory" "past the cap of $memory_cap MiB: killed, OVER"
  else
    judge "peak resident memory over ${watch} s, MiB" "$peak" "<" "$ceiling"
  fi
  judge "slowest /healthz, ms" "$(slowest "$work/probes")" "<=" 1000
  judge "the stop, s" "$(printf '%.1f' "$stop_secs")" "<=" 35
  awk '$1 != 200 && $1 != 503 { bad = 1 } END { exit bad }' "$work/details" &&
    report "every detail 200 or 503" ok || report "every detail 200 or 503" OVER
  forget_server "$server_pid"
}
forget_server() {
  local pid left=()
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || left+=("$pid"); done
  pids=("${left[@]}")
}

section_telemetry() {
  local count server most=0
  for count in $waiter_counts; do [ "$count" -gt "$most" ] && most=$count; done
  waiters_root "$most"
  ceiling=$(ceiling_mib "$(stat -c %s "$work/runs-waiters/run-000/events.jsonl")")
  printf '#!/bin/sh\nsleep 40\nexec %s "$@"\n' "$fake" >"$work/slow-telemetry"
  chmod +x "$work/slow-telemetry"
  telemetry_program=$work/slow-telemetry
  echo "telemetry: runs of 10^5 envelopes, a telemetry program that sleeps 40 s; ceiling $ceiling MiB"
  for count in $waiter_counts; do
    for server in "$binary" ${base:+"$base"}; do waiters_once "$server" "$count"; done
  done
  unset telemetry_program
}

run_sections "crowd memory benchmark"
