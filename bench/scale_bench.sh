#!/usr/bin/env bash
# Scale benchmark: how korvalle-api holds up as its runs root grows and as clients crowd in, all
# measured from outside the server: request times with curl and wrk, and the server's CPU time
# (utime + stime of /proc/PID/stat), peak resident memory (VmHWM) and resident memory (VmRSS).
# Each section starts fresh servers on generated roots (about 2 MB of journal per run):
#
#   list      warm run list on 50 and 400 runs, per run; 400 against 50      (target <= 1.5)
#   stream    CPU of one idle event stream on 400 runs, % of one core         (target < 2)
#   burst     peak of 16 concurrent cold lists on 400 runs                    (target < 1.4 GiB)
#             CPU of 16 concurrent cold lists over one, on 200 runs (medians) (target <= 1.1)
#   resident  resident memory 30 s after 16 concurrent lists on 800 runs      (target < 1.3 GiB)
#   single    one run of 100 000 envelopes: 64 concurrent first details
#             against one, peak (target < 3) and CPU (1 is a single open)
#   huge      8 runs of 590 MiB of journal, 8 concurrent details: all answered, and the peak
#             beside the run cache's bound (1 GiB) plus the peak of one
#   wrk       warm run list on 200 runs with wrk, BUILD_DIR's server against BASE_BINARY
#                                                                             (target >= 10)
#   live      46 runs and one big run being written (a line every 100 ms), 50 event streams on
#             the root: server CPU in cores (target < 0.25), run list while written over
#             unwritten (medians, target < 3), peak RSS over the big run's view (target < 2)
#   livewatch the same root, 50 streams watching the big run while ~1 MB/s is appended: server
#             CPU in cores (target < 0.5), every snapshot within one poll interval of its
#             connect, peak RSS over the big run's view (target < 2)
#   skew      46 runs and a big run of 150 000 envelopes gaining a line every 100 ms from two
#             writers, 50 event streams on the root and a run list every quarter second: the
#             second writer's lines in order, 1 ms and 5 s before the first's last; CPU, run list
#             and peak RSS of each over in order (targets <= 3, <= 3, <= 1.3), and the base's
#   lffirst   the same with the big run written line feed first (the line feed before each
#             line), against line feeds last: CPU and run list (targets <= 3), and the base's
#   watch     a big run of 71 MB gaining a line every 100 ms, 1 and then 50 streams watching it:
#             server CPU, % of one core (target <= 3), and the base's
#
#   bench/scale_bench.sh [BUILD_DIR] [BASE_BINARY]     (default: build; no comparison)
#
# Knobs: SECTIONS="list stream burst resident single huge wrk live livewatch skew lffirst watch"
# picks sections; RUN_BYTES=2097152, HUGE_BYTES=618659840, HUGE_RUNS=8, LIVE_BYTES=97000000 (the
# big run's journal), SHAPES_ENVELOPES=150000 (skew, lffirst) and WATCH_BYTES=71000000 size the
# runs; REQUESTS=20 (list), STREAM_SECONDS=10, REPEAT=3 (burst), SETTLE=30 (resident),
# DURATION=10s (wrk), LIVE_SECONDS=20, LIVEWATCH_SECONDS=15 and SHAPES_SECONDS=20 (how long the
# big run is written), MAX_TIME=300 (seconds a request may take). Every request goes to
# 127.0.0.1; the roots are made in /tmp and removed at exit.
set -euo pipefail
base=${2:+$(realpath "$2")}
cd "$(dirname "$0")/.."
build=${1:-build}
sections=${SECTIONS:-list stream burst resident single huge wrk live livewatch skew lffirst watch}
run_bytes=${RUN_BYTES:-2097152}
huge_bytes=${HUGE_BYTES:-$((590 * 1048576))}
huge_runs=${HUGE_RUNS:-8}
live_bytes=${LIVE_BYTES:-97000000}
max_time=${MAX_TIME:-300}

# shellcheck source=bench/server_procs.sh
. bench/server_procs.sh
bench_setup scale-bench server_bench replay_bench events_bench
write_append_script

# ---- Generated roots, each made once per script run. ----

# Prints the path of a root of N runs of BYTES of journal each, generating it the first time.
root_of() {
  local dir=$work/runs-$1-$2
  if [ ! -d "$dir" ]; then
    "$build/bench/server_bench" --generate "$dir" "$1" "$2" >/dev/null
    # A view read within 2 s of its files' last change serves its own request only, so a root
    # younger than that would not be kept by the first requests and warm figures would be cold.
    sleep 2
  fi
  echo "$dir"
}

# The root of the single section: a few small runs and the 100 000-envelope run of replay_bench.
single_root() {
  local dir=$work/runs-single
  if [ ! -d "$dir" ]; then
    "$build/bench/server_bench" --generate "$dir" 4 65536 >/dev/null
    "$build/bench/replay_bench" --write-run "$dir/big-run"
    sleep 2
  fi
  echo "$dir"
}

runs_in() { find "$1" -mindepth 1 -maxdepth 1 -type d | wc -l; }

describe_root() { echo "  root: $(runs_in "$1") runs, $(du -sh "$1" | cut -f1) on disk"; }

# ---- Sections. ----

section_list() {
  echo "list: warm GET /api/v2/runs, median of ${REQUESTS:-20} requests sent in turn to a server on"
  echo "      each root after 2 warm-up requests; per run is that median over the runs of the root"
  local small large small_pid large_pid small_url large_url
  small=$(root_of 50 "$run_bytes")
  large=$(root_of 400 "$run_bytes")
  start_server "$binary" "$small" && small_pid=$server_pid small_url=$url
  start_server "$binary" "$large" && large_pid=$server_pid large_url=$url
  for _ in 1 2; do get "$small_url/api/v2/runs" && get "$large_url/api/v2/runs"; done
  # One client on two keep-alive connections, the roots in turn, so that load elsewhere on the
  # host falls on both alike.
  local args=()
  for _ in $(seq "${REQUESTS:-20}"); do
    args+=(-o /dev/null "$small_url/api/v2/runs" -o /dev/null "$large_url/api/v2/runs")
  done
  curl -sf --max-time "$max_time" -w '%{url_effective} %{time_total}\n' "${args[@]}" >"$work/list-times"
  local small_ms large_ms
  small_ms=$(grep -F "$small_url/" "$work/list-times" | cut -d' ' -f2 | median | awk '{ print $1 * 1000 }')
  large_ms=$(grep -F "$large_url/" "$work/list-times" | cut -d' ' -f2 | median | awk '{ print $1 * 1000 }')
  printf '  50 runs     %8.1f ms  %6.3f ms per run\n' "$small_ms" "$(ratio "$small_ms" 50)"
  printf '  400 runs    %8.1f ms  %6.3f ms per run\n' "$large_ms" "$(ratio "$large_ms" 400)"
  verdict "per-run time, 400 runs over 50" "$(ratio "$(ratio "$large_ms" 400)" "$(ratio "$small_ms" 50)")" "<=" 1.5
  stop "$small_pid"
  stop "$large_pid"
}

section_stream() {
  local seconds=${STREAM_SECONDS:-10}
  echo "stream: server CPU while one event stream (GET /api/v2/events) stays open and idle for"
  echo "        ${seconds} s on a root of 400 runs, after two lists and 2 s of the stream"
  local root stream_pid before after start end
  root=$(root_of 400 "$run_bytes")
  start_server "$binary" "$root"
  get "$url/api/v2/runs" && get "$url/api/v2/runs"
  curl -sN --max-time $((seconds + 30)) -o "$work/stream" "$url/api/v2/events" &
  stream_pid=$!
  pids+=("$stream_pid")
  sleep 2
  before=$(cpu_seconds "$server_pid") start=$(now)
  sleep "$seconds"
  after=$(cpu_seconds "$server_pid") end=$(now)
  stop "$stream_pid"
  grep -q '^event: snapshot' "$work/stream" || echo "  (the stream sent no snapshot)"
  local cpu
  cpu=$(delta "$before" "$after")
  printf '  server CPU  %.2f s over %.1f s\n' "$cpu" "$(delta "$start" "$end")"
  verdict "CPU, % of one core" "$(ratio "$cpu" "$(delta "$start" "$end")" | awk '{ print 100 * $1 }')" "<" 2
  stop "$server_pid"
}

# Starts a fresh server on ROOT, sends every path read (one a line) at once and prints a line
# LABEL of figures. Sets burst_statuses (as concurrent prints them), burst_cpu (the server's CPU
# seconds from the requests until a second after their answers, so that work they set off is
# counted too), burst_peak (its VmHWM, MiB) and server_pid; the server is left running.
fresh_burst() {
  start_server "$binary" "$1"
  local before start wall
  before=$(cpu_seconds "$server_pid") start=$(now)
  burst_statuses=$(sed "s|^|$url|" | concurrent)
  wall=$(elapsed "$start")
  sleep 1
  burst_cpu=$(delta "$before" "$(cpu_seconds "$server_pid")")
  burst_peak=$(status_mib "$server_pid" VmHWM)
  printf '  %-22s %s in %.2f s, server CPU %.2f s, peak RSS %d MiB\n' "$2:" "$burst_statuses" "$wall" \
    "$burst_cpu" "$burst_peak"
}

section_burst() {
  local repeat=${REPEAT:-3}
  echo "burst: fresh servers; 16 concurrent cold GET /api/v2/runs on 400 runs, the server's peak"
  echo "       RSS; on 200 runs, the CPU of 16 concurrent cold lists over that of one (medians"
  echo "       of ${repeat} servers each, taken in turn)"
  fresh_burst "$(root_of 400 "$run_bytes")" "400 runs, 16 lists" < <(times_of /api/v2/runs 16)
  stop "$server_pid"
  verdict "peak RSS, GiB" "$(gib "$burst_peak")" "<" 1.4
  local root one=() sixteen=()
  root=$(root_of 200 "$run_bytes")
  for _ in $(seq "$repeat"); do
    fresh_burst "$root" "200 runs, 1 list" < <(times_of /api/v2/runs 1)
    stop "$server_pid"
    one+=("$burst_cpu")
    fresh_burst "$root" "200 runs, 16 lists" < <(times_of /api/v2/runs 16)
    stop "$server_pid"
    sixteen+=("$burst_cpu")
  done
  verdict "CPU of 16 cold lists over one" \
    "$(ratio "$(printf '%s\n' "${sixteen[@]}" | median)" "$(printf '%s\n' "${one[@]}" | median)")" "<=" 1.1
}

section_resident() {
  local settle=${SETTLE:-30} rss
  echo "resident: fresh server on 800 runs, 16 concurrent cold lists, then the resident memory"
  echo "          (VmRSS) ${settle} s later"
  fresh_burst "$(root_of 800 "$run_bytes")" "800 runs, 16 lists" < <(times_of /api/v2/runs 16)
  printf '  resident right after:  %d MiB\n' "$(status_mib "$server_pid" VmRSS)"
  sleep "$settle"
  rss=$(status_mib "$server_pid" VmRSS)
  printf '  resident %d s later:   %d MiB\n' "$settle" "$rss"
  stop "$server_pid"
  verdict "resident after ${settle} s, GiB" "$(gib "$rss")" "<" 1.3
}

section_single() {
  local detail='/api/v2/runs/big-run?include_conversations=false' root one_cpu one_peak
  echo "single: a run of 100 000 envelopes beside 4 small runs; fresh servers: one first"
  echo "        GET $detail, then 64 at once"
  root=$(single_root)
  printf '  journal: %d MB\n' $(($(stat -c %s "$root/big-run/events.jsonl") / 1000000))
  fresh_burst "$root" "1 detail" < <(times_of "$detail" 1)
  stop "$server_pid"
  one_cpu=$burst_cpu one_peak=$burst_peak
  fresh_burst "$root" "64 details" < <(times_of "$detail" 64)
  stop "$server_pid"
  verdict "peak RSS of 64 over one" "$(ratio "$burst_peak" "$one_peak")" "<" 3
  printf '  %-44s %.2f (1 is a single open)\n' "CPU of 64 over one" "$(ratio "$burst_cpu" "$one_cpu")"
}

# The detail of each run of a generated root of N runs.
details_of() {
  for i in $(seq 0 $(($1 - 1))); do printf '/api/v2/runs/bench-run-%03d?include_conversations=false\n' "$i"; done
}

section_huge() {
  echo "huge: ${huge_runs} runs of $((huge_bytes / 1048576)) MiB of journal; fresh servers: one detail,"
  echo "      then the detail of each run at once; all must answer, the peak beside the run"
  echo "      cache's bound (1 GiB) plus the peak of one"
  # A server that opens every run at once holds about two and a half times their journals at
  # its peak; rather than push the host out of memory, say so and skip.
  local need available
  need=$((huge_runs * huge_bytes * 5 / 2 / 1048576))
  available=$(awk '$1 == "MemAvailable:" { printf "%d\n", $2 / 1024 }' /proc/meminfo)
  if [ "$available" -lt "$need" ]; then
    echo "  skipped: $available MiB available, $need MiB wanted"
    return
  fi
  local root start one_peak bound
  start=$(now)
  root=$(root_of "$huge_runs" "$huge_bytes")
  printf '  generated in %.1f s\n' "$(elapsed "$start")"
  describe_root "$root"
  fresh_burst "$root" "1 detail" < <(details_of 1)
  stop "$server_pid"
  one_peak=$burst_peak
  fresh_burst "$root" "$huge_runs details, one a run" < <(details_of "$huge_runs")
  stop "$server_pid"
  [ "$burst_statuses" = "${huge_runs}x200" ] && echo "  all answered: ok" || echo "  all answered: OVER"
  bound=$((1024 + one_peak))
  verdict "peak RSS, GiB (bound 1 GiB + $one_peak MiB)" "$(gib "$burst_peak")" "<=" "$(gib "$bound")"
}

# Requests per second of wrk on a warm run list.
list_rps() {
  wrk -t4 -c64 -d"${DURATION:-10s}" "$1/api/v2/runs" | sed -n 's/^Requests\/sec:[[:space:]]*//p'
}

section_wrk() {
  echo "wrk: warm GET /api/v2/runs on 200 runs, wrk -t4 -c64 -d${DURATION:-10s}, requests/s of this"
  echo "     build's server${base:+ and of $base, one after the other}"
  local root this_pid this_url base_pid base_url this_rps base_rps
  root=$(root_of 200 "$run_bytes")
  start_server "$binary" "$root" && this_pid=$server_pid this_url=$url
  get "$this_url/api/v2/runs" && get "$this_url/api/v2/runs"
  if [ -n "$base" ]; then
    start_server "$base" "$root" && base_pid=$server_pid base_url=$url
    get "$base_url/api/v2/runs" && get "$base_url/api/v2/runs"
  fi
  this_rps=$(list_rps "$this_url")
  printf '  this build  %10.1f requests/s\n' "$this_rps"
  if [ -n "$base" ]; then
    base_rps=$(list_rps "$base_url")
    printf '  base        %10.1f requests/s\n' "$base_rps"
    verdict "requests/s, this build over base" "$(ratio "$this_rps" "$base_rps")" ">=" 10
    stop "$base_pid"
  fi
  stop "$this_pid"
}

# ---- A run being written. ----

# The root of the live sections: 46 generated runs and the big run of replay_bench, its journal
# about live_bytes long (replay_bench's envelopes average 576 bytes).
live_root() {
  local dir=$work/runs-live
  if [ ! -d "$dir" ]; then
    "$build/bench/server_bench" --generate "$dir" 46 "$run_bytes" >/dev/null
    "$build/bench/replay_bench" --write-run "$dir/big-run" $((live_bytes / 576))
    sleep 2
  fi
  echo "$dir"
}

# Puts the big run's journal of ROOT back to SIZE bytes once a section has written it, so that
# each section starts from the same run, and lets it age past the cache's 2 s.
restore_journal() {
  truncate -s "$2" "$1/big-run/events.jsonl"
  sleep 2
}

# Sets live_view (MiB), once per script run: the resident memory that one detail of the big run
# adds to an idle fresh server, which is about what the server holds for that run's view. Prints
# it beside the journal's size and 1.9 times that size, the view's usual weight.
measure_live_view() {
  if [ -z "${live_view:-}" ]; then
    local journal_mb before
    start_server "$binary" "$1"
    sleep 1
    before=$(status_mib "$server_pid" VmRSS)
    get "$url/api/v2/runs/big-run?include_conversations=false"
    sleep 1
    live_view=$(($(status_mib "$server_pid" VmRSS) - before))
    stop "$server_pid"
    journal_mb=$(($(stat -c %s "$1/big-run/events.jsonl") / 1048576))
    live_view_line=$(printf '  big run: journal %d MiB (x 1.9: %d MiB); its view, the resident growth of one detail on an idle server: %d MiB' \
      "$journal_mb" $((journal_mb * 19 / 10)) "$live_view")
  fi
  echo "$live_view_line"
}

# Starts events_bench holding STREAMS streams on TARGET of the server at url (reading them until
# stop_streams), waits until each has its first frame and prints that line. Sets streams_pid.
hold_streams() {
  "$build/bench/events_bench" --hold "${url##*:}" "$1" 600 "$2" >"$work/streams" &
  streams_pid=$!
  pids+=("$streams_pid")
  for _ in $(seq 1200); do grep -q '^first frames' "$work/streams" && break; sleep 0.05; done
  sed -n 's/^first frames/  streams, first frames/p' "$work/streams"
}

# Ends the streams of hold_streams and prints what they read.
stop_streams() {
  kill -TERM "$streams_pid" 2>/dev/null || true
  wait "$streams_pid" 2>/dev/null || echo "  (some streams failed or ended early)"
  stop "$streams_pid"
  sed -n '/^frames/,$s/^/  streams, /p' "$work/streams"
}

# Writes the big run of ROOT: COUNT lines of PAD extra bytes, one every 0.1 s, and measures the
# server over that window. Sets write_cpu (CPU seconds), write_wall (seconds), write_peak (VmHWM
# over the window, MiB) and life_peak (VmHWM over the server's life, MiB); write_before and
# write_start hold the CPU seconds and time at its start. Meanwhile runs "$@" (if given), which
# must end within the window.
write_window() {
  local root=$1 count=$2 pad=$3 writer
  shift 3
  life_peak=$(status_mib "$server_pid" VmHWM)
  # Writing 5 to clear_refs sets the high-water mark back to the resident size now.
  echo 5 >"/proc/$server_pid/clear_refs"
  write_before=$(cpu_seconds "$server_pid") write_start=$(now)
  python3 "$work/append.py" "$root/big-run/events.jsonl" "$count" 0.1 "$pad" &
  writer=$!
  pids+=("$writer")
  [ $# -eq 0 ] || "$@"
  wait "$writer"
  stop "$writer"
  write_wall=$(elapsed "$write_start")
  write_cpu=$(delta "$write_before" "$(cpu_seconds "$server_pid")")
  write_peak=$(status_mib "$server_pid" VmHWM)
  life_peak=$((life_peak > write_peak ? life_peak : write_peak))
}

# The first half of the live section's writing window has no run lists, so that the CPU of the
# streams' polls is seen alone; the second half lists as the unwritten window did.
live_lists() {
  sleep "$1"
  half_cpu=$(delta "$write_before" "$(cpu_seconds "$server_pid")") half_wall=$(elapsed "$write_start")
  list_times_for "$url" "$2" >"$work/live-busy"
}

# The live root, the big run's journal size (to restore it) and the size of its view, then a
# fresh server on the root that has listed it twice: sets root, size, server_pid and url.
start_live_server() {
  root=$(live_root)
  size=$(stat -c %s "$root/big-run/events.jsonl")
  measure_live_view "$root"
  start_server "$binary" "$root"
  get "$url/api/v2/runs" && get "$url/api/v2/runs"
}

section_live() {
  local seconds=${LIVE_SECONDS:-20} idle=10 before start idle_cpu idle_wall idle_ms busy_ms
  echo "live: 46 runs of 2 MB and a big run; a fresh server (poll 500 ms), 50 event streams on the"
  echo "      root; the run list and the server's CPU for ${idle} s with nothing written, then while a"
  echo "      line is appended to the big run's journal every 100 ms for ${seconds} s (the run list in"
  echo "      its second half only)"
  start_live_server
  hold_streams 50 /api/v2/events
  before=$(cpu_seconds "$server_pid") start=$(now)
  list_times_for "$url" "$idle" >"$work/live-idle"
  idle_wall=$(elapsed "$start")
  idle_cpu=$(delta "$before" "$(cpu_seconds "$server_pid")")
  printf '  resident before writing: %d MiB\n' "$(status_mib "$server_pid" VmRSS)"
  write_window "$root" $((seconds * 10)) 0 live_lists $((seconds / 2)) $((seconds - seconds / 2 - 1))
  stop_streams
  stop "$server_pid"
  restore_journal "$root" "$size"
  idle_ms=$(median <"$work/live-idle") busy_ms=$(median <"$work/live-busy")
  printf '  server CPU  %.2f s over %.1f s unwritten, %.2f s over %.1f s written (%.2f s over its first\n' \
    "$idle_cpu" "$idle_wall" "$write_cpu" "$write_wall" "$half_cpu"
  printf '              %.1f s, with no run list)\n' "$half_wall"
  printf '  run list    %.1f ms unwritten (%d requests), %.1f ms written (%d), medians\n' "$idle_ms" \
    "$(wc -l <"$work/live-idle")" "$busy_ms" "$(wc -l <"$work/live-busy")"
  printf '  peak RSS    %d MiB while written, %d MiB over the server'"'"'s life\n' "$write_peak" "$life_peak"
  verdict "server CPU while written, cores" "$(ratio "$write_cpu" "$write_wall")" "<" 0.25
  verdict "run list, written over unwritten" "$(ratio "$busy_ms" "$idle_ms")" "<" 3
  verdict "peak RSS while written over the view" "$(ratio "$write_peak" "$live_view")" "<" 2
}

section_livewatch() {
  local seconds=${LIVEWATCH_SECONDS:-15} first_max
  echo "livewatch: the live root; a fresh server (poll 500 ms) after two run lists and a detail of"
  echo "           the big run (as a client shows the run it watches); about 1 MB/s appended to the"
  echo "           big run for ${seconds} s (10 lines of 100 KB a second); a second in, 50 event streams"
  echo "           on /api/v2/events?run_id=big-run"
  start_live_server
  get "$url/api/v2/runs/big-run?include_conversations=false"
  printf '  resident before writing: %d MiB\n' "$(status_mib "$server_pid" VmRSS)"
  write_window "$root" $((seconds * 10)) 100000 eval 'sleep 1; hold_streams 50 "/api/v2/events?run_id=big-run"'
  stop_streams
  stop "$server_pid"
  printf '  journal after writing: %d MiB\n' $(($(stat -c %s "$root/big-run/events.jsonl") / 1048576))
  restore_journal "$root" "$size"
  printf '  server CPU  %.2f s over %.1f s written\n' "$write_cpu" "$write_wall"
  printf '  peak RSS    %d MiB while written, %d MiB over the server'"'"'s life\n' "$write_peak" "$life_peak"
  verdict "server CPU while written, cores" "$(ratio "$write_cpu" "$write_wall")" "<" 0.5
  first_max=$(sed -n 's/^first frames: \([0-9]*\) of \([0-9]*\) .*max \([0-9.]*\);.*all snapshots: yes$/\1 \2 \3/p' "$work/streams" |
    awk '$1 == $2 { print $3 }')
  if [ -n "$first_max" ]; then
    verdict "slowest snapshot after its connect, ms" "$first_max" "<=" 500
  else
    echo "  every stream's first frame a snapshot: OVER"
  fi
  verdict "peak RSS while written over the view" "$(ratio "$write_peak" "$live_view")" "<" 2
}

# ---- Live journals in other shapes: late lines, line feeds first, a watched run. ----

# shapes.py --line-feeds-first FILE: rewrites a journal with the line feed before each line.
# shapes.py FILE COUNT SKEW_MS LF_FIRST: appends COUNT lines, one every 100 ms on a fixed
# schedule, from two writers taking turns, each line in one write: the first stamps its lines
# 200 ms apart after the journal's newest time; the second stamps each of its lines SKEW_MS
# before the first writer's last (0: 100 ms after it, in order). LF_FIRST 1 writes each line's
# line feed before it. The lines are an agent's tool activity in session ses-live.
cat >"$work/shapes.py" <<'PY'
import datetime, json, os, sys, time
if sys.argv[1] == "--line-feeds-first":
    with open(sys.argv[2], "rb") as f:
        lines = [line for line in f.read().split(b"\n") if line]
    with open(sys.argv[2], "wb") as f:
        f.write(b"".join(b"\n" + line for line in lines))
    sys.exit(0)
path, count, skew, lf_first = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4] == "1"
with open(path, "rb") as f:
    f.seek(max(0, os.path.getsize(path) - 65536))
    last = [line for line in f.read().split(b"\n") if line.strip()][-1]
stamp = "%Y-%m-%dT%H:%M:%S.%fZ"
newest = datetime.datetime.strptime(json.loads(last)["ts"], stamp)
fd = os.open(path, os.O_WRONLY | os.O_APPEND)
start = time.monotonic()
for k in range(count):
    first = newest + datetime.timedelta(milliseconds=200 * (k // 2 + 1))
    late = datetime.timedelta(milliseconds=skew) if skew else -datetime.timedelta(milliseconds=100)
    at, writer = (first, "a") if k % 2 == 0 else (first - late, "b")
    line = ('{"v":1,"ts":"%s","stream":"morvane/ses-live-%s","seq":%d,"source":"morvane","kind":"turn-activity",'
            '"labels":{"run_id":"big","node":"node-0","round":1,"persona":"worker","session":"ses-live","role":"agent"},'
            '"payload":{"kind":"tool","name":"Bash","detail":"live step %d"}}') % (at.strftime(stamp)[:-4] + "Z", writer, k + 1, k)
    os.write(fd, ("\n" + line if lf_first else line + "\n").encode())
    time.sleep(max(0.0, start + (k + 1) * 0.1 - time.monotonic()))
os.close(fd)
PY

# Prints the path of the root of the skew and lffirst sections, generating it the first time:
# 46 generated runs and a big run of SHAPES_ENVELOPES envelopes whose writer put the line feed
# last (LAYOUT last) or first (LAYOUT first).
shapes_root() {
  local dir=$work/runs-shapes-$1
  if [ ! -d "$dir" ]; then
    if [ "$1" = last ]; then
      "$build/bench/server_bench" --generate "$dir" 46 "$run_bytes" >/dev/null
      "$build/bench/replay_bench" --write-run "$dir/big-run" "${SHAPES_ENVELOPES:-150000}"
    else
      cp -r "$(shapes_root last)" "$dir"
      python3 "$work/shapes.py" --line-feeds-first "$dir/big-run/events.jsonl"
    fi
    sleep 2
  fi
  echo "$dir"
}

# Measures BINARY on ROOT while the big run is written by shapes.py with SKEW_MS and LF_FIRST for
# SHAPES_SECONDS, 50 event streams on the root and a run list every quarter second from the
# second second on; prints one line LABEL of figures and sets shape_cpu (% of one core),
# shape_list (median ms) and shape_peak (VmHWM over the window, MiB). The journal is put back.
shape_window() {
  local binary=$1 root=$2 skew=$3 lf_first=$4 label=$5 seconds=${SHAPES_SECONDS:-20} size writer before start
  size=$(stat -c %s "$root/big-run/events.jsonl")
  start_server "$binary" "$root"
  get "$url/api/v2/runs" && get "$url/api/v2/runs"
  hold_streams 50 /api/v2/events >/dev/null
  reset_peak "$server_pid"
  before=$(cpu_seconds "$server_pid") start=$(now)
  python3 "$work/shapes.py" "$root/big-run/events.jsonl" $((seconds * 10)) "$skew" "$lf_first" &
  writer=$!
  pids+=("$writer")
  sleep 1
  list_times_for "$url" $((seconds - 2)) >"$work/shape-lists"
  wait "$writer"
  stop "$writer"
  shape_cpu=$(ratio "$(delta "$before" "$(cpu_seconds "$server_pid")")" "$(elapsed "$start")" | awk '{ print 100 * $1 }')
  shape_peak=$(status_mib "$server_pid" VmHWM)
  stop_streams >/dev/null
  stop "$server_pid"
  truncate -s "$size" "$root/big-run/events.jsonl"
  sleep 2
  shape_list=$(median <"$work/shape-lists")
  printf '  %-26s CPU %5.1f %% of a core, run list %6.1f ms (max %6.1f, %d lists), peak RSS %d MiB\n' "$label" \
    "$shape_cpu" "$shape_list" "$(sort -g "$work/shape-lists" | tail -1)" "$(wc -l <"$work/shape-lists")" "$shape_peak"
}

# Runs shape_window for BINARY (named NAME, this or base) over the cases read, one a line as
# "LABEL SKEW_MS LF_FIRST LAYOUT", the first the reference; prints each later case's CPU, run list
# and peak over the reference's, and keeps them in ratios_NAME_LABEL.
shape_cases() {
  local binary=$1 name=$2 label skew lf layout ref_cpu ref_list ref_peak first=1 ratios
  while read -r label skew lf layout; do
    shape_window "$binary" "$(shapes_root "$layout")" "$skew" "$lf" "$name, ${label//_/ }" </dev/null
    if [ "$first" = 1 ]; then
      ref_cpu=$shape_cpu ref_list=$shape_list ref_peak=$shape_peak first=0
      continue
    fi
    ratios="$(ratio "$shape_cpu" "$ref_cpu") $(ratio "$shape_list" "$ref_list") $(ratio "$shape_peak" "$ref_peak")"
    # shellcheck disable=SC2086
    printf '  %-26s over the first: CPU %.1f, run list %.1f, peak %.2f\n' "$name, ${label//_/ }" $ratios
    printf -v "ratios_${name}_${label}" '%s' "$ratios"
  done
}

section_skew() {
  echo "skew: 46 runs of 2 MB and a big run of ${SHAPES_ENVELOPES:-150000} envelopes gaining a line every 100 ms for"
  echo "      ${SHAPES_SECONDS:-20} s from two writers in turn, the second's lines in order, 1 ms and 5 s before the"
  echo "      first's last; fresh servers (poll 500 ms), 50 event streams on the root, a run list every"
  echo "      quarter second; this build${base:+, then the base}"
  describe_root "$(shapes_root last)"
  local cases=$'in_order 0 0 last\n1_ms_late 1 0 last\n5_s_late 5000 0 last' late kept figures
  shape_cases "$binary" this <<<"$cases"
  [ -z "$base" ] || shape_cases "$base" base <<<"$cases"
  for late in 1_ms_late 5_s_late; do
    kept=ratios_this_$late
    read -r -a figures <<<"${!kept}"
    verdict "${late//_/ }: CPU over in order" "${figures[0]}" "<=" 3
    verdict "${late//_/ }: run list over in order" "${figures[1]}" "<=" 3
    verdict "${late//_/ }: peak RSS over in order" "${figures[2]}" "<=" 1.3
  done
}

section_lffirst() {
  echo "lffirst: the skew section's root and writing, in order, with the big run written line feed"
  echo "         last and line feed first (the line feed before each line); this build${base:+, then the base}"
  local cases=$'line_feeds_last 0 0 last\nline_feeds_first 0 1 first' kept=ratios_this_line_feeds_first figures
  shape_cases "$binary" this <<<"$cases"
  [ -z "$base" ] || shape_cases "$base" base <<<"$cases"
  read -r -a figures <<<"${!kept}"
  verdict "line feeds first: CPU over last" "${figures[0]}" "<=" 3
  verdict "line feeds first: run list over last" "${figures[1]}" "<=" 3
}

# Sets watch_cpu to the server's CPU (% of one core) while STREAMS streams watch the big run of
# ROOT, which gains a line every 100 ms, from a second after they connected, and prints it.
watch_window() {
  local binary=$1 root=$2 streams=$3 label=$4 seconds=${SHAPES_SECONDS:-20} size writer before start
  size=$(stat -c %s "$root/big-run/events.jsonl")
  start_server "$binary" "$root"
  get "$url/api/v2/runs" && get "$url/api/v2/runs/big-run?include_conversations=false"
  python3 "$work/shapes.py" "$root/big-run/events.jsonl" $((seconds * 10 + 40)) 0 0 &
  writer=$!
  pids+=("$writer")
  hold_streams "$streams" "/api/v2/events?run_id=big-run" >/dev/null
  sleep 1
  before=$(cpu_seconds "$server_pid") start=$(now)
  sleep "$seconds"
  watch_cpu=$(ratio "$(delta "$before" "$(cpu_seconds "$server_pid")")" "$(elapsed "$start")" | awk '{ print 100 * $1 }')
  stop_streams >/dev/null
  stop "$writer"
  stop "$server_pid"
  truncate -s "$size" "$root/big-run/events.jsonl"
  sleep 2
  printf '  %-26s server CPU %5.1f %% of a core\n' "$label" "$watch_cpu"
}

section_watch() {
  local root=$work/runs-watch streams
  echo "watch: a big run of about $((${WATCH_BYTES:-71000000} / 1000000)) MB beside 4 small runs, gaining a line every 100 ms (in"
  echo "       order); fresh servers (poll 500 ms) after a run list and a detail of the big run, then"
  echo "       1 and 50 event streams on /api/v2/events?run_id=big-run; the CPU from a second after"
  echo "       they connected, for ${SHAPES_SECONDS:-20} s; this build${base:+, then the base}"
  if [ ! -d "$root" ]; then
    "$build/bench/server_bench" --generate "$root" 4 "$run_bytes" >/dev/null
    "$build/bench/replay_bench" --write-run "$root/big-run" $((${WATCH_BYTES:-71000000} / 576))
    sleep 2
  fi
  printf '  big run: journal %d MB\n' $(($(stat -c %s "$root/big-run/events.jsonl") / 1000000))
  for streams in 1 50; do
    watch_window "$binary" "$root" "$streams" "this build, $streams streams"
    verdict "$streams streams: CPU, % of one core" "$watch_cpu" "<=" 3
    [ -z "$base" ] || watch_window "$base" "$root" "$streams" "base, $streams streams"
  done
}

run_sections "scale benchmark"
