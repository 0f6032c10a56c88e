#!/usr/bin/env bash
# Documents benchmark: korvalle-api answering large run documents within its memory, measured
# from outside the server: statuses, body lengths and times with curl, the server's CPU time
# (utime + stime of /proc/PID/stat) and peak resident memory (VmHWM of /proc/PID/status). Each
# section starts fresh servers on generated roots:
#
#   crowd    one run of ENVELOPES (10^6) envelopes beside 4 runs of about 2 MB; 64 concurrent
#            GET /api/v2/runs/big-run (conversations included): each 200 with one body length,
#            or 503 busy once the queue for the answers' budget is full, and the server's peak
#            RSS                                                           (target < 2 GB)
#   stalled  the same root: 24 clients send the request for the big run's detail and never
#            read, holding their sockets ~40 s; meanwhile the peak RSS     (target < 1.5 GB)
#            and a cold run detail of a 2 MB run and a cold run list, each against the same
#            request on a fresh idle server                                (target <= 2)
#   warm     a run of 100 000 envelopes: 64 concurrent warm details (200 or busy, as in crowd),
#            the peak RSS counted from after two warm-up requests           (target < 1.2 GB)
#   cpu      the same run: the server's CPU per warm detail without conversations, over 50
#            sent in turn (target < 10 ms); with BASE_BINARY, its server beside this build's,
#            the requests to the two alternating
#   nonreaders  a run whose detail is about 41 MB (116 000 envelopes) beside two runs of 200 kB;
#            the run list, a small run's detail and conversation, a new event stream's snapshot
#            and an open stream's run.changed, timed on the idle server and again while
#            NONREADERS (600) clients that asked for the big detail never read (target: at most
#            100 ms over idle each); the peak RSS meanwhile            (target <= 1.2 x 151 MB)
#   reader   the same root: READ_AMONG (100, then 16) clients ask for the big detail and never
#            read; then one client reads it normally (target: the whole answer within 65 s
#            when the queue admits it, else 503 at once)
#   stop     the same root: NONREADERS clients ask for the big detail and never read; then
#            SIGTERM (target: exit status 0 within 35 s)
#   The last three run this build, then BASE_BINARY, each on a fresh server.
#   side     this build beside BASE_BINARY (skipped without one), both servers pinned to the same
#            cores (PIN_CORES), the clients to others (CLIENT_CORES): the warm run list of 50 runs
#            of 2 MB, a 2 MB run's detail, and the 100 000-envelope run's detail with and without
#            conversations. For each, a warm request's time as a ratio to the base's: the median
#            of REPS repetitions of SEQUENTIAL requests (more for short ones: about 0.5 s each) on
#            one connection, the servers in turn, the one that goes first flipping each repetition
#            (target <= 1.05); and requests per
#            second with wrk at 16 and at 64 connections, WRK_SECONDS each, the median of WRK_REPS
#            runs in turn, as a ratio to the base's (target >= 0.95)
#   kept     the 100 000-envelope run's full detail (35 MB, one text kept with the view): on a
#            fresh server pinned as in side, after one warm-up request, 1, then each of
#            KEPT_CLIENTS (64 256) clients at once, one connection each, reading as fast as they
#            can: all answered 200, and the server's peak RSS (VmHWM) against that with one
#            reader (target <= 1.05 x) and, with BASE_BINARY, the base's with as many readers
#            (target <= 1.05 x)
#   list     50 runs of 2 MB whose round is done, each with its round result file (a page reads
#            all 50): warm GET /api/v2/runs, LIST_REPEATS (5) repetitions, the order of the servers
#            flipped each time, of LIST_REQUESTS (200) sent in turn on one connection (median time
#            and server CPU per list) and, with wrk, LIST_SECONDS (3) of requests per second at 16
#            and 64 connections; with BASE_BINARY, its server beside this build's, both pinned to
#            the cores LIST_CORES (0,1)  (target: time at most 1.05 and requests per second at
#            least 0.95 of the base's, medians of the repetitions' ratios)
#   lists    the warm run list (limit 50) beside BASE_BINARY: of LISTS_RUNS (400) runs of 2 MB
#            mid-round, of 50 runs between rounds with their result files, and of 50 runs
#            mid-round; both servers pinned to LISTS_CORES (5,6), wrk with one thread on
#            LISTS_CLIENT (7); as side, LISTS_REPS (5) repetitions each of the time at one
#            connection (target <= 1.05) and of the requests per second at 16 and 64 connections
#            (target >= 0.95)
#
#   bench/documents_bench.sh [BUILD_DIR] [BASE_BINARY]     (default: build; no comparison)
#
# Knobs: SECTIONS="crowd stalled warm cpu nonreaders reader stop side kept list lists" picks sections;
# ENVELOPES=1000000 (the big run), CLIENTS=64 (crowd and warm), STALLED=24, HOLD=40 (seconds the
# stalled clients hold), SETTLE=5 (seconds after they sent before the timed requests),
# REQUESTS=50 (cpu), MAX_TIME=300 (seconds a request may take), NONREADERS=600,
# READ_AMONG="100 16", WAIT_MAX=120 (seconds a timed request, or the stop, may take among
# the non-readers before it counts as over), PIN_CORES=6,7 and CLIENT_CORES=0-5 (side and kept),
# REPS=5, SEQUENTIAL=20, WRK_SECONDS=3, WRK_REPS=3 (side), KEPT_CLIENTS="64 256" (kept),
# MEMORY_CAP (MiB; default 60% of the memory
# available at start: a server resident beyond it is killed, so that a build that does not bound
# its answers cannot push the host out of memory). GB and MB are 10^9 and 10^6 bytes. Every
# request goes to 127.0.0.1; the roots are made in /tmp and removed at exit.
set -euo pipefail
base=${2:+$(realpath "$2")}
cd "$(dirname "$0")/.."
build=${1:-build}
sections=${SECTIONS:-crowd stalled warm cpu nonreaders reader stop side kept list lists}
envelopes=${ENVELOPES:-1000000}
clients=${CLIENTS:-64}
stalled=${STALLED:-24}
hold=${HOLD:-40}
settle=${SETTLE:-5}
requests=${REQUESTS:-50}
max_time=${MAX_TIME:-300}
nonreaders=${NONREADERS:-600}
read_among=${READ_AMONG:-100 16}
wait_max=${WAIT_MAX:-120}
pin_cores=${PIN_CORES:-6,7}
client_cores=${CLIENT_CORES:-0-5}
reps=${REPS:-5}
sequential=${SEQUENTIAL:-20}
wrk_seconds=${WRK_SECONDS:-3}
wrk_reps=${WRK_REPS:-3}
wrk_threads=${WRK_THREADS:-2}
kept_clients=${KEPT_CLIENTS:-64 256}
list_repeats=${LIST_REPEATS:-5}
list_requests=${LIST_REQUESTS:-200}
list_seconds=${LIST_SECONDS:-3}
list_cores=${LIST_CORES:-0,1}
lists_cores=${LISTS_CORES:-5,6}
lists_client=${LISTS_CLIENT:-7}
lists_reps=${LISTS_REPS:-5}
lists_runs=${LISTS_RUNS:-400}
memory_cap=${MEMORY_CAP:-$(awk '$1 == "MemAvailable:" { printf "%d\n", $2 / 1024 * 0.6 }' /proc/meminfo)}

for section in $sections; do
  case $section in crowd | stalled | warm | cpu | nonreaders | reader | stop | side | kept | list | lists) ;;
    *) echo "unknown section: $section"; exit 2 ;;
  esac
done

# shellcheck source=bench/server_procs.sh
. bench/server_procs.sh
bench_setup documents-bench server_bench replay_bench
# Hundreds of clients, each on a descriptor of its own.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
for section in $sections; do
  case $section in side | kept | lists)
    command -v taskset >/dev/null || { echo "$section needs taskset (util-linux)"; exit 2; } ;;
  esac
  [ "$section" != side ] && [ "$section" != lists ] || command -v wrk >/dev/null || { echo "$section needs wrk (apt-get install wrk)"; exit 2; }
done
script_start=$(now)

gb() { awk -v mib="$1" 'BEGIN { printf "%.2f\n", mib * 1048576 / 1e9 }'; }

# ---- The memory guard. ----

# Watches a server (PID): resident beyond MEMORY_CAP MiB, it is killed, and its resident memory
# and CPU seconds then are kept in $work/guard-PID. Sets guard_pid (the watcher, stopped with
# stop).
guard() {
  (
    while [ -r "/proc/$1/status" ]; do
      rss=$(status_mib "$1" VmRSS 2>/dev/null || true)
      [ -n "$rss" ] || break
      if [ "$rss" -gt "$memory_cap" ]; then
        echo "$rss $(cpu_seconds "$1")" >"$work/guard-$1"
        kill -KILL "$1" 2>/dev/null || true
        break
      fi
      sleep 0.1
    done
  ) &
  guard_pid=$!
  pids+=("$guard_pid")
}

# Prints a server's peak resident memory in MiB; for a server the guard killed, the resident
# memory it had reached (the peak is at least that).
peak_mib() {
  if [ -f "$work/guard-$1" ]; then cut -d' ' -f1 "$work/guard-$1"; else status_mib "$1" VmHWM; fi
}

# The verdict on the peak (LABEL PID MIB TARGET_GB): a server the guard killed is over its
# target, whatever figure it had reached.
peak_verdict() {
  if [ -f "$work/guard-$2" ]; then
    printf '  %-44s > %.2f (killed at the memory cap of %d MiB; target < %s) OVER\n' "$1" "$(gb "$3")" \
      "$memory_cap" "$4"
  else
    verdict "$1" "$(gb "$3")" "<" "$4"
  fi
}

# The CPU seconds of a server, also of one the guard killed.
server_cpu() {
  if [ -f "$work/guard-$1" ]; then cut -d' ' -f2 "$work/guard-$1"; else cpu_seconds "$1"; fi
}

# ---- Generated roots, each made once per script run. ----

# The root of crowd and stalled: the big run of ENVELOPES envelopes and 4 runs of 2 MB.
big_root() {
  local dir=$work/runs-big
  if [ ! -d "$dir" ]; then
    "$build/bench/server_bench" --generate "$dir" 4 2097152 >/dev/null
    "$build/bench/replay_bench" --write-run "$dir/big-run" "$envelopes"
    # A view read within 2 s of its files' last change serves its own request only.
    sleep 2
  fi
  echo "$dir"
}

# The root of warm and cpu: the 100 000-envelope run alone.
warm_root() {
  local dir=$work/runs-warm
  if [ ! -d "$dir" ]; then
    "$build/bench/replay_bench" --write-run "$dir/big-run"
    sleep 2
  fi
  echo "$dir"
}

journal_mb() { echo $(($(stat -c %s "$1/big-run/events.jsonl") / 1000000)); }

# ---- Requests. ----

# Runs a client's command, pinned to the cores client_pin names when it is set.
client() { if [ -n "${client_pin:-}" ]; then taskset -c "$client_pin" "$@"; else "$@"; fi; }

# Sends every URL read (one a line) at once, one connection each; writes "STATUS BYTES" per
# answer to FILE and prints the statuses as "64x200". An answer cut short counts as "cut-N",
# N being curl's exit code (18: partial body, 52: no answer, 56: connection reset).
concurrent_sizes() {
  local target count=0 args=()
  while read -r target; do args+=(-o /dev/null "$target") && count=$((count + 1)); done
  client curl -s --no-progress-meter -Z --parallel-immediate --parallel-max "$count" --max-time "$max_time" \
    -w '%{http_code} %{size_download} %{exitcode}\n' "${args[@]}" |
    awk '{ print ($3 == 0 ? $1 : "cut-" $3), $2 }' >"$1" || true
  cut -d' ' -f1 "$1" | sort | uniq -c | awk '{ printf "%s%dx%s", (NR > 1 ? ", " : ""), $1, $2 } END { print "" }'
}

# The body lengths of FILE (as concurrent_sizes writes it), as "N bytes" or "A to B bytes".
body_lengths() {
  cut -d' ' -f2 "$1" | sort -n | awk 'NR == 1 { low = $1 } { high = $1 }
    END { if (low == high) print low " bytes"; else print low " to " high " bytes" }'
}

# Whether the answers of FILE that are 200 (at least one) have one body length, and every other
# one is the server's 503 busy answer (the queue for the answers' budget was full when it came).
# The envelope's observed_at drops the trailing zeros of its nanoseconds, so one document sent at
# different times may differ by up to 10 bytes (9 digits and the point).
one_document() {
  awk '$1 == 503 && $2 == 49 { next } $1 != 200 { bad = 1 } { n++ }
       n == 1 || $2 < low { low = $2 } n == 1 || $2 > high { high = $2 }
       END { exit (bad || n == 0 || high - low > 10) }' "$1"
}

# Sends one request and prints "STATUS MILLISECONDS".
timed() {
  curl -s -o /dev/null --max-time "$max_time" -w '%{http_code} %{time_total}\n' "$1" |
    awk '{ printf "%s %.1f\n", $1, $2 * 1000 }' || true
}

# ---- Sections. ----

# Stops the guard and the server of a crowd of details, then its verdicts: every answer 200
# with one body, or busy (the bodies in DIR), and the PEAK MiB against TARGET GB.
crowd_verdicts() {
  stop "$guard_pid"
  stop "$server_pid"
  if one_document "$2"; then
    echo "  each answered 200 with one length (but observed_at), or 503 busy: ok"
  else
    echo "  each answered 200 with one length (but observed_at), or 503 busy: OVER"
  fi
  peak_verdict "peak RSS, GB" "$server_pid" "$3" "$4"
}

section_crowd() {
  local root start wall statuses peak detail=/api/v2/runs/big-run
  echo "crowd: a run of $envelopes envelopes beside 4 runs of 2 MB; a fresh server, $clients concurrent"
  echo "       GET $detail (conversations included)"
  start=$(now)
  root=$(big_root)
  printf '  journal: %d MB (generated in %.1f s)\n' "$(journal_mb "$root")" "$(elapsed "$start")"
  start_server "$binary" "$root"
  guard "$server_pid"
  start=$(now)
  statuses=$(times_of "$url$detail" "$clients" | concurrent_sizes "$work/crowd")
  wall=$(elapsed "$start")
  peak=$(peak_mib "$server_pid")
  printf '  %s in %.1f s, bodies of %s, server CPU %.1f s\n' "$statuses" "$wall" "$(body_lengths "$work/crowd")" \
    "$(server_cpu "$server_pid")"
  crowd_verdicts "$statuses" "$work/crowd" "$peak" 2
}

section_stalled() {
  local root small=/api/v2/runs/bench-run-001 list=/api/v2/runs idle_detail idle_list held_detail held_list
  local holder_pid peak port
  echo "stalled: the crowd's root; $stalled clients send GET /api/v2/runs/big-run and never read, for"
  echo "         ${hold} s; ${settle} s after they sent, a cold detail of a 2 MB run ($small, first,"
  echo "         so that no list has read it) and a cold $list, against the same on a fresh idle server"
  root=$(big_root)
  start_server "$binary" "$root"
  idle_detail=$(timed "$url$small")
  idle_list=$(timed "$url$list")
  stop "$server_pid"
  printf '  idle server:      detail %s ms (%s), list %s ms (%s)\n' "${idle_detail#* }" "${idle_detail%% *}" \
    "${idle_list#* }" "${idle_list%% *}"
  start_server "$binary" "$root"
  guard "$server_pid"
  port=${url##*:}
  python3 bench/nonreaders.py 127.0.0.1 "$port" /api/v2/runs/big-run "$stalled" "$hold" >"$work/stalled" &
  holder_pid=$!
  pids+=("$holder_pid")
  sleep "$settle"
  held_detail=$(timed "$url$small")
  held_list=$(timed "$url$list")
  printf '  while they hold:  detail %s ms (%s), list %s ms (%s)\n' "${held_detail#* }" "${held_detail%% *}" \
    "${held_list#* }" "${held_list%% *}"
  # The peak while they hold: the last figure read before they close.
  peak=0
  while kill -0 "$holder_pid" 2>/dev/null; do
    [ -f "$work/guard-$server_pid" ] || peak=$(status_mib "$server_pid" VmHWM 2>/dev/null || echo "$peak")
    sleep 0.5
  done
  wait "$holder_pid" || true
  stop "$holder_pid"
  grep -v ready "$work/stalled"
  [ -f "$work/guard-$server_pid" ] && peak=$(peak_mib "$server_pid")
  stop "$guard_pid"
  stop "$server_pid"
  peak_verdict "peak RSS while they hold, GB" "$server_pid" "$peak" 1.5
  held_verdict "cold detail of a 2 MB run, held over idle" "$held_detail" "$idle_detail"
  held_verdict "cold run list, held over idle" "$held_list" "$idle_list"
}

# The verdict on a request timed while the clients hold (LABEL "STATUS MS" of it, and of the
# same on the idle server): both must answer 200.
held_verdict() {
  if [ "${2%% *}" = 200 ] && [ "${3%% *}" = 200 ]; then
    verdict "$1" "$(ratio "${2#* }" "${3#* }")" "<=" 2
  else
    printf '  %-44s answered %s held, %s idle (target 200, <= 2) OVER\n' "$1" "${2%% *}" "${3%% *}"
  fi
}

section_warm() {
  local root statuses detail=/api/v2/runs/big-run before peak start wall
  echo "warm: a run of 100 000 envelopes; a fresh server, 2 warm-up GET $detail in turn, the peak"
  echo "      RSS reset, then $clients concurrent"
  root=$(warm_root)
  printf '  journal: %d MB\n' "$(journal_mb "$root")"
  start_server "$binary" "$root"
  guard "$server_pid"
  get "$url$detail" && get "$url$detail"
  reset_peak "$server_pid"
  before=$(status_mib "$server_pid" VmHWM)
  start=$(now)
  statuses=$(times_of "$url$detail" "$clients" | concurrent_sizes "$work/warm")
  wall=$(elapsed "$start")
  peak=$(peak_mib "$server_pid")
  printf '  resident before: %d MiB; %s in %.2f s, bodies of %s\n' "$before" "$statuses" "$wall" "$(body_lengths "$work/warm")"
  crowd_verdicts "$statuses" "$work/warm" "$peak" 1.2
}

section_cpu() {
  local root detail='/api/v2/runs/big-run?include_conversations=false' this_pid this_url base_pid base_url
  echo "cpu: the run of 100 000 envelopes; after 2 warm-up requests, $requests warm GET $detail"
  echo "     sent in turn${base:+, alternating with the same to $base}; server CPU per request"
  root=$(warm_root)
  start_server "$binary" "$root" && this_pid=$server_pid this_url=$url
  get "$this_url$detail" && get "$this_url$detail"
  if [ -n "$base" ]; then
    start_server "$base" "$root" && base_pid=$server_pid base_url=$url
    get "$base_url$detail" && get "$base_url$detail"
  fi
  # One client, one keep-alive connection per server, the servers in turn, so that load
  # elsewhere on the host falls on both alike.
  local args=() this_before base_before this_cpu base_cpu this_ms base_ms
  for _ in $(seq "$requests"); do
    args+=(-o /dev/null "$this_url$detail")
    [ -z "$base" ] || args+=(-o /dev/null "$base_url$detail")
  done
  this_before=$(cpu_seconds "$this_pid")
  [ -z "$base" ] || base_before=$(cpu_seconds "$base_pid")
  curl -sf --max-time "$max_time" -w '%{url_effective} %{time_total}\n' "${args[@]}" >"$work/cpu-times"
  # Work a request set off after its answer counts too.
  sleep 0.5
  this_cpu=$(delta "$this_before" "$(cpu_seconds "$this_pid")")
  this_ms=$(ratio "$this_cpu" "$requests" | awk '{ print $1 * 1000 }')
  printf '  this build  server CPU %.2f s, %.2f ms per request, median time %.1f ms\n' "$this_cpu" "$this_ms" \
    "$(grep -F "$this_url/" "$work/cpu-times" | cut -d' ' -f2 | median | awk '{ print $1 * 1000 }')"
  if [ -n "$base" ]; then
    base_cpu=$(delta "$base_before" "$(cpu_seconds "$base_pid")")
    base_ms=$(ratio "$base_cpu" "$requests" | awk '{ print $1 * 1000 }')
    printf '  base        server CPU %.2f s, %.2f ms per request, median time %.1f ms\n' "$base_cpu" "$base_ms" \
      "$(grep -F "$base_url/" "$work/cpu-times" | cut -d' ' -f2 | median | awk '{ print $1 * 1000 }')"
    stop "$base_pid"
  fi
  stop "$this_pid"
  verdict "CPU per request, ms (this build)" "$this_ms" "<" 10
  [ -z "$base" ] || verdict "CPU per request, ms (base)" "$base_ms" "<" 10
}

# ---- Side by side with the base, pinned. ----

# The server binary of SIDE (this or base) pinned to PIN_CORES: a script that execs it under
# taskset, so that the server keeps the script's pid. Empty for base when none was given.
pinned() {
  local server
  server=$(binary_of "$1")
  [ -n "$server" ] || return 0
  printf '#!/bin/sh\nexec taskset -c %s %s "$@"\n' "$pin_cores" "$server" >"$work/pinned-$1"
  chmod +x "$work/pinned-$1"
  echo "$work/pinned-$1"
}

# Milliseconds per request of COUNT GETs of URL in turn on one connection, the client pinned to
# CLIENT_CORES (each transfer's own time, summed: the client's start is not counted).
per_request_ms() {
  local args=()
  for _ in $(seq "$2"); do args+=(-o /dev/null "$1"); done
  taskset -c "$client_cores" curl -sf --max-time "$max_time" -w '%{time_total}\n' "${args[@]}" |
    awk -v n="$2" '{ sum += $1 } END { printf "%.3f\n", sum / n * 1000 }'
}

# How many requests of URL one repetition sends: SEQUENTIAL, or more, so that it lasts about
# 0.5 s (at most 2000).
requests_per_repetition() {
  awk -v ms="$(per_request_ms "$1" 5)" -v least="$sequential" 'BEGIN {
    n = ms > 0 ? int(500 / ms) : 2000; if (n < least) n = least; if (n > 2000) n = 2000; print n }'
}

# Requests per second answered 200 by wrk on URL with CONNECTIONS connections for WRK_SECONDS
# (a server that refuses answers 503 at once: those do not count). The refusals are counted in
# $work/refused.
wrk_rps() {
  taskset -c "$client_cores" wrk -t"$wrk_threads" -c"$2" -d"${wrk_seconds}s" --timeout 60s "$1" | awk -v refused="$work/refused" '
    / requests in / { requests = $1; seconds = $4; sub(/s,$/, "", seconds) }
    /Non-2xx or 3xx responses:/ { other = $NF }
    END { if (other > 0) print other >>refused; printf "%.1f\n", (requests - other) / seconds }'
}

# "LOW to HIGH" of the numbers read, one a line.
range_of() {
  sort -g | awk 'function f(v) { return sprintf(v >= 100 ? "%.0f" : "%.3g", v) }
    NR == 1 { low = $1 } { high = $1 } END { print f(low) " to " f(high) }'
}

# One document side by side (LABEL PATH), on the servers at $this_url and $base_url: REPS
# repetitions of per_request_ms on each, the one first flipping each time; then wrk at 16 and 64
# connections, WRK_REPS runs on each in turn. Prints the figures and the verdicts.
side_by_side() {
  local label=$1 path=$2 rep count this_ms base_ms conns this_rps base_rps
  get "$this_url$path" && get "$base_url$path" && get "$this_url$path" && get "$base_url$path"
  count=$(requests_per_repetition "$base_url$path")
  : >"$work/side-this" && : >"$work/side-base" && : >"$work/side-ratio"
  for rep in $(seq "$reps"); do
    if [ $((rep % 2)) = 1 ]; then
      this_ms=$(per_request_ms "$this_url$path" "$count") && base_ms=$(per_request_ms "$base_url$path" "$count")
    else
      base_ms=$(per_request_ms "$base_url$path" "$count") && this_ms=$(per_request_ms "$this_url$path" "$count")
    fi
    echo "$this_ms" >>"$work/side-this" && echo "$base_ms" >>"$work/side-base"
    ratio "$this_ms" "$base_ms" >>"$work/side-ratio"
  done
  this_ms=$(median <"$work/side-this") && base_ms=$(median <"$work/side-base")
  printf '  %s: %.3f ms against %.3f ms (medians of %d x %d requests; ratios %s)\n' "$label" "$this_ms" \
    "$base_ms" "$reps" "$count" "$(range_of <"$work/side-ratio")"
  verdict "$label: time / base" "$(median <"$work/side-ratio")" "<=" 1.05
  for conns in 16 64; do
    : >"$work/rps-this" && : >"$work/rps-base" && : >"$work/refused"
    for rep in $(seq "$wrk_reps"); do
      if [ $((rep % 2)) = 1 ]; then
        wrk_rps "$this_url$path" "$conns" >>"$work/rps-this" && wrk_rps "$base_url$path" "$conns" >>"$work/rps-base"
      else
        wrk_rps "$base_url$path" "$conns" >>"$work/rps-base" && wrk_rps "$this_url$path" "$conns" >>"$work/rps-this"
      fi
    done
    this_rps=$(median <"$work/rps-this") && base_rps=$(median <"$work/rps-base")
    printf '  %s: %d connections, %.0f against %.0f requests/s answered 200 (this %s, base %s)%s\n' "$label" \
      "$conns" "$this_rps" "$base_rps" "$(range_of <"$work/rps-this")" "$(range_of <"$work/rps-base")" \
      "$(awk '{ n += $1 } END { if (n) printf "; %d others", n }' "$work/refused")"
    verdict "$label: requests/s at $conns / base" "$(ratio "$this_rps" "$base_rps")" ">=" 0.95
  done
}

# A root of RUNS runs of BYTES of journal each (ROUND: "round-done" for runs between rounds, each
# with its round result file; empty for runs in the middle of a round), made once per script run.
runs_root() {
  local dir=$work/runs-$1-$2-${3:-mid}
  if [ ! -d "$dir" ]; then
    "$build/bench/server_bench" --generate "$dir" "$1" "$2" ${3:+"$3"} >/dev/null
    # A record read within 2 s of its files' last change serves its own walk only.
    sleep 2
  fi
  echo "$dir"
}

# Starts this build's server and the base's on ROOT, both pinned; sets this_pid, this_url,
# base_pid and base_url.
start_side_by_side() {
  start_server "$(pinned this)" "$1" && this_pid=$server_pid this_url=$url
  start_server "$(pinned base)" "$1" && base_pid=$server_pid base_url=$url
}

section_side() {
  local root this_pid this_url base_pid base_url
  echo "side: this build beside ${base:-a base (none given: skipped)}, both pinned to cores $pin_cores, the"
  echo "      clients to $client_cores; $reps repetitions of $sequential or more warm requests (0.5 s) on one connection,"
  echo "      in turn, and wrk -t$wrk_threads for ${wrk_seconds} s at 16 and 64 connections, $wrk_reps runs in turn"
  [ -n "$base" ] || return 0
  root=$(runs_root 50 2097152)
  start_side_by_side "$root"
  side_by_side "list of 50 runs" /api/v2/runs
  side_by_side "2 MB run's detail" /api/v2/runs/bench-run-001
  stop "$base_pid" && stop "$this_pid"
  root=$(warm_root)
  start_side_by_side "$root"
  side_by_side "10^5 run's detail" /api/v2/runs/big-run
  side_by_side "10^5, no conversations" '/api/v2/runs/big-run?include_conversations=false'
  stop "$base_pid" && stop "$this_pid"
}

# The warm run list (limit 50) of three roots, beside the base: runs between rounds, whose result
# files every page reads; runs mid-round; and many runs, of which a page shows a few. wrk has one
# thread and a core of its own, so that the servers' two cores are theirs alone.
section_lists() {
  local root path=/api/v2/runs?limit=50 this_pid this_url base_pid base_url
  local pin_cores=$lists_cores client_cores=$lists_client wrk_threads=1 reps=$lists_reps wrk_reps=$lists_reps
  echo "lists: the warm run list beside ${base:-a base (none given: skipped)}, both pinned to cores $pin_cores,"
  echo "       the clients to $client_cores; $reps repetitions of $sequential or more warm requests (0.5 s) on one"
  echo "       connection, in turn, and wrk -t1 for ${wrk_seconds} s at 16 and 64 connections, $reps runs in turn"
  [ -n "$base" ] || return 0
  for root in "$lists_runs 2097152" "50 2097152 round-done" "50 2097152"; do
    # shellcheck disable=SC2086 # the root's words
    root=$(runs_root $root)
    start_side_by_side "$root"
    side_by_side "$(basename "$root")" "$path"
    stop "$base_pid" && stop "$this_pid"
  done
}

section_kept() {
  local root side count statuses start wall peak detail=/api/v2/runs/big-run
  echo "kept: the run of 100 000 envelopes, its full detail (one text kept with the view); a fresh"
  echo "      server pinned to cores $pin_cores for each count, one warm-up GET $detail, then 1 and"
  echo "      each of $kept_clients clients at once, one connection each, reading as fast as they can"
  ulimit -n 4096 2>/dev/null || true
  root=$(warm_root)
  for side in this base; do
    [ -n "$(binary_of "$side")" ] || continue
    for count in 1 $kept_clients; do
      start_server "$(pinned "$side")" "$root"
      guard "$server_pid"
      get "$url$detail"
      start=$(now)
      statuses=$(times_of "$url$detail" "$count" | client_pin=$client_cores concurrent_sizes "$work/kept-$side-$count")
      wall=$(elapsed "$start")
      peak=$(peak_mib "$server_pid")
      stop "$guard_pid"
      stop "$server_pid"
      echo "$peak" >"$work/kept-peak-$side-$count"
      printf '  %-5s %3d readers: %s in %.2f s, bodies of %s; peak RSS %d MiB\n' "$side" "$count" "$statuses" \
        "$wall" "$(body_lengths "$work/kept-$side-$count")" "$peak"
    done
  done
  for count in $kept_clients; do
    if awk '$1 != 200 { bad = 1 } END { exit bad }' "$work/kept-this-$count"; then
      echo "  $count readers all answered 200: ok"
    else
      echo "  $count readers all answered 200: OVER"
    fi
    verdict "$count readers, peak RSS / one reader's" \
      "$(ratio "$(cat "$work/kept-peak-this-$count")" "$(cat "$work/kept-peak-this-1")")" "<=" 1.05
    [ -z "$base" ] || verdict "$count readers, peak RSS / base's" \
      "$(ratio "$(cat "$work/kept-peak-this-$count")" "$(cat "$work/kept-peak-base-$count")")" "<=" 1.05
  done
}

# ---- What clients see beside those that never read. ----

# The event-stream probes: MODE snapshot prints the milliseconds until a new stream's snapshot
# has come whole; MODE changed opens a stream, waits for its snapshot, prints "open", waits for
# the file GO, then COUNT times appends a copy of JOURNAL's last line (its seq one higher) and
# prints the median milliseconds until the stream's run.changed. "timeout" when LIMIT seconds
# pass first (for changed, LIMIT counts from GO).
cat >"$work/probe.py" <<'PY'
import json, os, socket, statistics, sys, time

host, port, mode, limit = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])

def until(s, marker, got, deadline):
    while marker not in got:
        if deadline <= time.monotonic():
            raise TimeoutError
        s.settimeout(deadline - time.monotonic())
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError
        got += chunk
    return got

try:
    start = time.monotonic()
    # HTTP/1.0: the frames come as they are, without chunk framing.
    s = socket.create_connection((host, port), timeout=limit)
    s.sendall(f"GET /api/v2/events HTTP/1.0\r\nHost: {host}:{port}\r\n\r\n".encode())
    got = until(s, b"event: snapshot\n", b"", start + limit)
    until(s, b"\n\n", got[got.index(b"event: snapshot\n"):], start + limit)
    if mode == "snapshot":
        print(f"{(time.monotonic() - start) * 1000:.1f}")
        sys.exit(0)
    journal, count, go = sys.argv[5], int(sys.argv[6]), sys.argv[7]
    print("open", flush=True)
    while not os.path.exists(go):
        time.sleep(0.05)
    times = []
    for _ in range(count):
        last = json.loads(open(journal, "rb").read().rstrip(b"\n").rsplit(b"\n", 1)[-1])
        last["seq"] += 1
        start = time.monotonic()
        with open(journal, "ab") as out:
            out.write(json.dumps(last, separators=(",", ":")).encode() + b"\n")
        until(s, b"event: run.changed\n", b"", start + limit)
        times.append((time.monotonic() - start) * 1000)
        time.sleep(0.3)
    print(f"{statistics.median(times):.1f}")
except (OSError, TimeoutError, ConnectionError):
    print("timeout")
PY

# The root of nonreaders, reader and stop: the 41 MB detail's run and two runs of 200 kB.
nonreaders_root() {
  local dir=$work/runs-nonreaders
  if [ ! -d "$dir" ]; then
    "$build/bench/server_bench" --generate "$dir" 2 200000 >/dev/null
    "$build/bench/replay_bench" --write-run "$dir/big-run" 116000
    sleep 2
  fi
  echo "$dir"
}

# Starts COUNT clients that ask the server at $url for the big detail and never read, and waits
# until every request has been sent; sets nonreaders_pid, their report going to $work/nonreaders.
start_nonreaders() {
  local port=${url##*:}
  rm -f "$work/nonreaders"
  python3 bench/nonreaders.py 127.0.0.1 "$port" /api/v2/runs/big-run "$1" >"$work/nonreaders" &
  nonreaders_pid=$!
  pids+=("$nonreaders_pid")
  for _ in $(seq 600); do grep -q ready "$work/nonreaders" 2>/dev/null && break; sleep 0.1; done
}

# Ends the clients that never read and prints their report, after INDENT.
end_nonreaders() {
  stop "$nonreaders_pid"
  printf '%s%s\n' "${1:-}" "$(grep -v ready "$work/nonreaders" || true)"
}

# One request timed with a LIMIT in seconds: "STATUS MS", or "timeout MS" past the limit.
timed_within() {
  curl -s -o /dev/null --max-time "$2" -w '%{http_code} %{time_total} %{exitcode}\n' "$1" |
    awk '{ printf "%s %.1f\n", ($3 == 28 ? "timeout" : $1), $2 * 1000 }' || true
}

# Opens the event stream whose run.changed small_probes times, before what it is timed beside
# begins; sets stream_pid.
open_stream_probe() {
  local root=$1 limit=$2 port=${url##*:}
  rm -f "$work/go" "$work/stream"
  python3 "$work/probe.py" 127.0.0.1 "$port" changed "$limit" "$root/bench-run-000/events.jsonl" 5 "$work/go" \
    >"$work/stream" &
  stream_pid=$!
  for _ in $(seq $((limit * 10))); do grep -q open "$work/stream" 2>/dev/null && break; sleep 0.1; done
}

# The five small things timed at once on the server at $url, each within LIMIT seconds, into
# $work/probe-NAME ("STATUS MS", "200 MS" for the streams, or "timeout" past the limit): the run
# list, a small run's detail and conversation, a new stream's snapshot, and the run.changed of
# the stream open_stream_probe opened.
small_probes() {
  local limit=$1 port=${url##*:} waited=()
  touch "$work/go"
  timed_within "$url/api/v2/runs" "$limit" >"$work/probe-list" &
  waited+=($!)
  timed_within "$url/api/v2/runs/bench-run-001" "$limit" >"$work/probe-detail" &
  waited+=($!)
  timed_within "$url/api/v2/runs/bench-run-001/conversations/ses-1-scan" "$limit" >"$work/probe-conversation" &
  waited+=($!)
  python3 "$work/probe.py" 127.0.0.1 "$port" snapshot "$limit" | awk '{ print ($1 == "timeout" ? "timeout" : "200"), $1 }' \
    >"$work/probe-snapshot" &
  waited+=($!)
  wait "${waited[@]}"
  wait "$stream_pid" || true
  tail -n 1 "$work/stream" | awk '{ print ($1 == "timeout" || $1 == "open" ? "timeout" : "200"), $1 }' >"$work/probe-changed"
}

# The probes as one line: "list 3.1 ms, ..." ("> LIMIT s" for one past the limit), from the
# files PREFIX-NAME.
probe_line() {
  local name out sep=""
  for name in list detail conversation snapshot changed; do
    out=$(cat "$1-$name")
    case $out in
      timeout*) printf '%s%s > %s s' "$sep" "$name" "$2" ;;
      200\ *) printf '%s%s %s ms' "$sep" "$name" "${out#* }" ;;
      *) printf '%s%s answered %s' "$sep" "$name" "${out%% *}" ;;
    esac
    sep=", "
  done
  echo
}

# The milliseconds of a probe's FILE, or LIMIT's when it answered otherwise or passed it.
probe_ms() {
  local out
  out=$(cat "$1")
  case $out in 200\ *) echo "${out#* }" ;; *) echo $(($2 * 1000)) ;; esac
}

# Megabytes (10^6 bytes) of MiB.
mb() { awk -v mib="$1" 'BEGIN { printf "%.1f\n", mib * 1048576 / 1e6 }'; }

# The server binary of SIDE (this or base); empty for base when none was given.
binary_of() { if [ "$1" = this ]; then echo "$binary"; else echo "$base"; fi; }

section_nonreaders() {
  local root side server name idle crowded peak
  root=$(nonreaders_root)
  echo "nonreaders: a run whose detail is 41 MB beside two runs of 200 kB, polled every 100 ms; the run"
  echo "            list, a small run's detail and conversation, a new stream's snapshot and the"
  echo "            run.changed of a stream opened before (median of 5), on the idle server, then"
  echo "            while $nonreaders clients that asked for the big detail never read (after ${settle} s;"
  echo "            each within ${wait_max} s)"
  for side in this base; do
    server=$(binary_of "$side")
    [ -n "$server" ] || continue
    start_server "$server" "$root" --poll-interval-ms 100
    guard "$server_pid"
    get "$url/api/v2/runs" && get "$url/api/v2/runs/bench-run-001" &&
      get "$url/api/v2/runs/bench-run-001/conversations/ses-1-scan"
    open_stream_probe "$root" "$wait_max"
    small_probes "$wait_max"
    for name in list detail conversation snapshot changed; do mv "$work/probe-$name" "$work/idle-$name"; done
    printf '  %-11s idle:           %s\n' "$side" "$(probe_line "$work/idle" "$wait_max")"
    open_stream_probe "$root" "$wait_max"
    reset_peak "$server_pid"
    start_nonreaders "$nonreaders"
    sleep "$settle"
    small_probes "$wait_max"
    printf '  %-11s %3d never read: %s\n' "" "$nonreaders" "$(probe_line "$work/probe" "$wait_max")"
    peak=$(peak_mib "$server_pid")
    end_nonreaders "              "
    stop "$guard_pid"
    stop "$server_pid"
    printf '              peak RSS meanwhile: %s MB\n' "$(mb "$peak")"
    if [ "$side" = this ]; then
      for name in list detail conversation snapshot changed; do
        idle=$(probe_ms "$work/idle-$name" "$wait_max")
        crowded=$(probe_ms "$work/probe-$name" "$wait_max")
        verdict "$name over idle, ms" "$(delta "$idle" "$crowded")" "<=" 100
      done
      verdict "peak RSS, MB" "$(mb "$peak")" "<=" "$(awk 'BEGIN { print 1.2 * 151 }')"
    fi
  done
}

section_reader() {
  local root side server among whole out status ms size
  root=$(nonreaders_root)
  echo "reader: the same root; READ_AMONG clients ask for the big detail and never read; after ${settle} s"
  echo "        one client reads it (within ${wait_max} s)"
  for side in this base; do
    server=$(binary_of "$side")
    [ -n "$server" ] || continue
    for among in $read_among; do
      start_server "$server" "$root"
      whole=$(curl -s -o /dev/null --max-time "$max_time" -w '%{size_download}' "$url/api/v2/runs/big-run")
      start_nonreaders "$among"
      sleep "$settle"
      out=$(curl -s -o /dev/null --max-time "$wait_max" -w '%{http_code} %{time_total} %{size_download} %{exitcode}' \
        "$url/api/v2/runs/big-run" || true)
      read -r status ms size _ <<<"$(awk '{ printf "%s %.0f %s %s", ($4 == 28 ? "timeout" : $1), $2 * 1000, $3, $4 }' <<<"$out")"
      printf '  %-11s among %3d: %s after %s ms, %s of %s bytes; ' "$side" "$among" "$status" "$ms" "$size" "$whole"
      end_nonreaders
      stop "$server_pid"
      if [ "$side" = this ]; then
        # The envelope's observed_at may be up to 10 bytes shorter or longer (one_document).
        if { [ "$status" = 200 ] && [ $((size - whole)) -le 10 ] && [ $((whole - size)) -le 10 ] &&
          [ "$ms" -le 65000 ]; } ||
          { [ "$status" = 503 ] && [ "$ms" -le 1000 ]; }; then
          echo "              the whole answer within 65 s, or 503 at once: ok"
        else
          echo "              the whole answer within 65 s, or 503 at once: OVER"
        fi
      fi
    done
  done
}

section_stop() {
  local root side server began status waited
  root=$(nonreaders_root)
  echo "stop: the same root; $nonreaders clients ask for the big detail and never read; after ${settle} s, SIGTERM"
  echo "      (waited for ${wait_max} s at most)"
  for side in this base; do
    server=$(binary_of "$side")
    [ -n "$server" ] || continue
    start_server "$server" "$root"
    start_nonreaders "$nonreaders"
    sleep "$settle"
    began=$(now)
    kill -TERM "$server_pid"
    status=running
    while [ "$(elapsed "$began" | awk '{ print int($1) }')" -lt "$wait_max" ]; do
      if ! kill -0 "$server_pid" 2>/dev/null; then
        wait "$server_pid" && status=0 || status=$?
        break
      fi
      sleep 0.1
    done
    waited=$(elapsed "$began")
    [ "$status" = running ] && kill -KILL "$server_pid" 2>/dev/null
    stop "$server_pid"
    printf '  %-11s exit %s after %.1f s; ' "$side" "$status" "$waited"
    end_nonreaders
    if [ "$side" = this ]; then
      if [ "$status" = 0 ]; then verdict "stop, s (exit 0)" "$waited" "<=" 35; else
        printf '  %-44s exit %s (target 0 within 35 s) OVER\n' "stop" "$status"
      fi
    fi
  done
}

# ---- The warm run list. ----

# Microseconds the process's threads have run (schedstat: nanoseconds, unlike the ticks of stat).
run_us() { cat /proc/"$1"/task/*/schedstat | awk '{ ns += $1 } END { printf "%d\n", ns / 1000 }'; }

# One repetition of a server (PID URL): "MEDIAN_MS CPU_MS_PER_LIST RPS16 RPS64" (rps 0 without wrk).
list_figures() {
  local args=() before ms cpu rps16=0 rps64=0
  for _ in $(seq "$list_requests"); do args+=(-o /dev/null "$2/api/v2/runs"); done
  before=$(run_us "$1")
  ms=$(curl -sf --max-time "$max_time" -w '%{time_total}\n' "${args[@]}" | median | awk '{ print $1 * 1000 }')
  cpu=$(awk -v d="$(delta "$before" "$(run_us "$1")")" -v n="$list_requests" 'BEGIN { print d / n / 1000 }')
  if command -v wrk >/dev/null; then
    rps16=$(wrk -t2 -c16 -d"${list_seconds}s" "$2/api/v2/runs" | sed -n 's/^Requests\/sec:[[:space:]]*//p')
    rps64=$(wrk -t4 -c64 -d"${list_seconds}s" "$2/api/v2/runs" | sed -n 's/^Requests\/sec:[[:space:]]*//p')
  fi
  echo "$ms $cpu $rps16 $rps64"
}

# Column C of FILE as "median (low-high)", each printed with the printf FORMAT.
spread() {
  cut -d' ' -f"$2" "$1" | sort -g |
    awk -v f="$3" '{ v[NR] = $1 } END { printf f " (" f "-" f ")", v[int((NR + 1) / 2)], v[1], v[NR] }'
}

section_list() {
  local root side sides=(this) order r column
  local -A pid_of url_of
  echo "list: 50 runs of 2 MB between rounds, each with its round result file; warm GET /api/v2/runs,"
  echo "      $list_repeats repetitions of $list_requests in turn and ${list_seconds} s of wrk at 16 and 64 connections,"
  echo "      servers pinned to cores $list_cores"
  root=$(runs_root 50 2097152 round-done)
  [ -z "$base" ] || sides+=(base)
  for side in "${sides[@]}"; do
    start_server "$(binary_of "$side")" "$root"
    taskset -a -p -c "$list_cores" "$server_pid" >/dev/null
    get "$url/api/v2/runs" && get "$url/api/v2/runs"
    pid_of[$side]=$server_pid url_of[$side]=$url
  done
  : >"$work/list-this" && : >"$work/list-base"
  for r in $(seq "$list_repeats"); do
    order=("${sides[@]}")
    [ $((r % 2)) = 0 ] && [ -n "$base" ] && order=(base this)
    for side in "${order[@]}"; do list_figures "${pid_of[$side]}" "${url_of[$side]}" >>"$work/list-$side"; done
  done
  for side in "${sides[@]}"; do
    printf '  %-11s time %s ms, CPU %s ms per list, %s and %s requests/s at 16 and 64 connections\n' "$side" \
      "$(spread "$work/list-$side" 1 %.3f)" "$(spread "$work/list-$side" 2 %.3f)" \
      "$(spread "$work/list-$side" 3 %.0f)" "$(spread "$work/list-$side" 4 %.0f)"
    stop "${pid_of[$side]}"
  done
  [ -n "$base" ] || return 0
  # Each repetition's ratio, this build over the base.
  paste -d' ' "$work/list-this" "$work/list-base" | awk '{ print $1 / $5, $2 / $6, ($7 > 0 ? $3 / $7 : 0), ($8 > 0 ? $4 / $8 : 0) }' >"$work/list-ratios"
  for column in "1 time" "2 CPU" "3 requests/s at 16 connections" "4 requests/s at 64 connections"; do
    printf '  %-46s %s\n' "${column#* } over the base's" "$(spread "$work/list-ratios" "${column%% *}" %.2f)"
  done
  verdict "time over the base's (median)" "$(cut -d' ' -f1 "$work/list-ratios" | median)" "<=" 1.05
  if command -v wrk >/dev/null; then
    verdict "requests/s at 16 over the base's (median)" "$(cut -d' ' -f3 "$work/list-ratios" | median)" ">=" 0.95
    verdict "requests/s at 64 over the base's (median)" "$(cut -d' ' -f4 "$work/list-ratios" | median)" ">=" 0.95
  fi
}

echo "korvalle-api documents benchmark: $binary${base:+ beside $base}; $(nproc) cores; memory cap $memory_cap MiB"
for section in $sections; do
  echo
  "section_$section"
done
echo
printf 'done in %.0f s\n' "$(elapsed "$script_start")"
