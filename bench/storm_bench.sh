#!/usr/bin/env bash
# Storm benchmark: that no crowd of waiting requests and no slow telemetry program can hang
# korvalle-api or hold up its stop, measured from outside the server (curl, the stream client of
# events_bench --hold, /proc). Every wait of the script is bounded, and a server that does not
# end is killed with SIGKILL, so the script ends by itself against a server that hangs.
#
#   hang       two runs of ENVELOPES (10^6) envelopes, 578 MB of journal each: each open reserves
#              more than the whole budget for opens, so each opens alone. On a fresh server,
#              GET /api/v2/runs/run-a, 50 ms later GET /api/v2/runs/run-b (both without
#              conversations), then STREAMS event streams at once, watching run B
#              (form run: /api/v2/events?run_id=run-b) or on the whole feed (form feed:
#              /api/v2/events). Targets:
#                B's detail within 2 s of its time on a fresh server with no stream open (A
#                asked 50 ms before, as here);
#                every stream's snapshot (its first frame) within 2 s of B's detail answering;
#                a run list asked then within 2 s;
#                SIGTERM then ends the server within the stop's bound (35 s) with exit status 0;
#                SIGTERM in the middle of the storm (on a server of its own, 1 s after the
#                streams were asked for, while B's detail waits) does too.
#              Each with the default blocking pool and with KORVALLE_UI_BLOCKING_THREADS=16.
#   telemetry  three listed runs of 200 kB (so a run list looks up the telemetry of each) and a
#              settled run of the demo root; the telemetry program a stand-in that logs each
#              start (time, pid, process group) and, while a flag file exists, sleeps 50 s before
#              answering as tests/fake_korvalle does. With an event stream open (past its
#              snapshot) and a child sleeping for a run that changed: /healthz, an artifact and a
#              conversation (target: under 100 ms each) and the stream's run.changed for an
#              append to another run (target: within two poll intervals, 1 s). Then on a fresh
#              server, a run list starts the first child and SIGTERM follows 3 s later: the
#              server ends within the stop's bound with exit status 0, no child starts after the
#              signal, no process of the children's groups is left once the server exited, and
#              the run list waiting for the child is answered 503.
#   grace      the telemetry root again. With a telemetry program that answers 2.5 s after it
#              starts and every other run's telemetry kept, SIGTERM 1 s after the one child a run
#              list needs started: the list answered 200 with that run's telemetry, the server
#              ends within the stop's bound with exit status 0, no child starts after the signal.
#              With a program that leaves a background process in its group (holding its output
#              open), on a fresh server: a run list over the three runs answers within 5 s, and no
#              process of the children's groups is left 3 s after it, nor after the stop.
#
# Times are medians of REPEAT runs (the lower middle of an even count) with their range ("none"
# counts as past the wait: a request that never answered, or a stop that did not end with status
# 0). A configuration in which the server hung (B's detail did not answer, or a stop did not end)
# is not repeated: each repeat would cost the whole of every wait again. One line per target
# says "met" or "not met", and a summary ends the output (exit status 1 when a target is not met).
#
#   bench/storm_bench.sh [BUILD_DIR]     (default: build-release, configured as
#                                         `scripts/test.sh --release` does when it is not)
#
# Knobs: SECTIONS="hang telemetry grace"; ENVELOPES=1000000 (per run); STREAMS="800 2000";
# FORMS="run feed"; POOLS="default 16" (16: KORVALLE_UI_BLOCKING_THREADS=16); REPEAT=5;
# WAIT_MAX=60 (seconds the script waits for B's detail and for the snapshots when B does not
# answer); TELEMETRY_WAIT=160 (seconds it waits for the telemetry section's probes and stop).
# The client and every server run with `ulimit -n 8192`; every request goes to 127.0.0.1; the
# roots are made in /tmp and removed at exit, with every process the script started.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
sections=${SECTIONS:-hang telemetry grace}
envelopes=${ENVELOPES:-1000000}
stream_counts=${STREAMS:-800 2000}
forms=${FORMS:-run feed}
pools=${POOLS:-default 16}
repeat=${REPEAT:-5}
wait_max=${WAIT_MAX:-60}
telemetry_wait=${TELEMETRY_WAIT:-160}
max_time=30            # the warm-up requests of server_procs.sh's get
stop_bound=35          # the stop's bound at the default poll interval (500 ms)
stop_wait=$((stop_bound + 5))
list_wait=10           # a run list that takes longer is not met either way
snapshot_wait=10       # after B's detail answered

ulimit -n 8192 || { echo "cannot set the descriptor limit to 8192 (hard limit $(ulimit -Hn))"; exit 1; }
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DKORVALLE_WERROR=ON -DKORVALLE_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
# shellcheck source=bench/server_procs.sh
. bench/server_procs.sh
bench_setup storm-bench replay_bench server_bench events_bench
script_start=$(now)

# A server that hangs does not end on SIGTERM: everything this script started ends with SIGKILL,
# the telemetry children too (by the pids their stand-in logged).
storm_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  kill_children
  rm -rf "$work"
}
trap storm_cleanup EXIT
trap 'exit 130' INT TERM HUP

# ---- Figures and verdicts. ----

# Seconds to two decimals.
secs() { awk -v s="$1" 'BEGIN { printf "%.2f\n", s }'; }

# The figures of FILE (one a line: seconds, or "none" for one past its wait) as
# "MEDIAN s (MIN to MAX, N runs)"; a figure past the wait shows as "> WAIT".
spread() {
  [ -s "$1" ] || { echo "no figure"; return; }
  sed 's/^none$/1e18/' "$1" | sort -g | awk -v wait="$2" '
    function show(v) { return v >= 1e17 ? "> " wait : sprintf("%.2f", v) }
    { v[NR] = $1 }
    END {
      m = show(v[int((NR + 1) / 2)])
      if (NR == 1) printf "%s s (1 run)\n", m
      else printf "%s s (%s to %s, %d runs)\n", m, show(v[1]), show(v[NR]), NR
    }'
}

# The median of FILE as a number ("none" past the wait counts as 1e18).
median_of() { sed 's/^none$/1e18/' "$1" | median; }

# Prints and keeps one verdict: LABEL, the figure as text, whether it met its target (0/1), and
# what the summary puts before the label.
verdicts=()
judge() {
  local label=$1 figure=$2 met=$3 word="not met"
  [ "$met" = 1 ] && word=met
  printf '    %-50s %s: %s\n' "$label" "$figure" "$word"
  verdicts+=("$word|${4:+$4: }$label: $figure")
}

# The verdict on FILE's median against TARGET seconds (median <= target), labelled LABEL, with
# WAIT the wait that "none" passed, and TAG for the summary.
judge_file() {
  local label=$1 file=$2 target=$3 wait=$4 med
  med=$(median_of "$file")
  judge "$label (target <= $target s)" "$(spread "$file" "$wait")" \
    "$(awk -v m="${med:-1e18}" -v t="$target" 'BEGIN { print (m <= t ? 1 : 0) }')" "$5"
}

# ---- Requests and the server's end. ----

# Starts curl on URL in the background with a limit of SECONDS; its "STATUS SECONDS EXITCODE
# END" (END: the epoch when curl returned) goes to FILE. Sets asked_pid.
ask() {
  (
    out=$(curl -s -o /dev/null --max-time "$3" -w '%{http_code} %{time_total} %{exitcode}' "$2" || true)
    echo "$out $(now)" >"$1.part" && mv "$1.part" "$1"
  ) &
  asked_pid=$!
  pids+=("$asked_pid")
}

# Waits until FILE exists (or, with PATTERN, holds a line matching it), at most until the epoch
# DEADLINE, looking every 20 ms. Returns 1 when the deadline passed first.
wait_for() {
  local file=$1 deadline=$2 pattern=${3:-}
  while :; do
    if [ -f "$file" ] && { [ -z "$pattern" ] || grep -q "$pattern" "$file"; }; then return 0; fi
    awk -v d="$deadline" -v n="$(now)" 'BEGIN { exit !(n >= d) }' && return 1
    sleep 0.02
  done
}

later() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", a + b }'; }

# Waits for each PID (a bounded request) and forgets it.
reap() {
  local pid
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; forget "$pid"; done
}

# Forgets PID among the processes to end at exit.
forget() {
  local pid left=()
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || left+=("$pid"); done
  pids=("${left[@]}")
}

# Sends SIGTERM to the server PID and waits at most SECONDS for it to end; sets stop_status
# (its exit status, or "running": then it was killed with SIGKILL) and stop_secs.
stop_within() {
  local pid=$1 limit=$2 began
  began=$(now)
  kill -TERM "$pid" 2>/dev/null || true
  stop_signal_at=$began
  while kill -0 "$pid" 2>/dev/null && awk -v b="$began" -v n="$(now)" -v l="$limit" 'BEGIN { exit !(n - b < l) }'; do
    sleep 0.05
  done
  stop_secs=$(elapsed "$began")
  if kill -0 "$pid" 2>/dev/null; then
    stop_status=running
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  else
    wait "$pid" 2>/dev/null && stop_status=0 || stop_status=$?
  fi
  forget "$pid"
}

# Ends a process this script started with SIGKILL (for servers whose stop is not measured, and
# clients) and forgets it.
end_now() {
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
  forget "$1"
}

# The stop's figure for a file of figures: its seconds when it ended with status 0, else "none".
stop_figure() { if [ "$stop_status" = 0 ]; then secs "$stop_secs"; else echo none; fi; }
stop_text() {
  if [ "$stop_status" = running ]; then echo "still running after $(secs "$stop_secs") s, killed"
  else echo "exit $stop_status after $(secs "$stop_secs") s"; fi
}

threads_of() { awk '$1 == "Threads:" { print $2 }' "/proc/$1/status" 2>/dev/null || echo "?"; }

# ---- hang ----

hang_root=
# The root of two runs of ENVELOPES envelopes, generated once.
storm_root() {
  if [ -z "$hang_root" ]; then
    hang_root=$work/runs-storm
    local start
    start=$(now)
    "$build/bench/replay_bench" --write-run "$hang_root/run-a" "$envelopes" >/dev/null
    "$build/bench/replay_bench" --write-run "$hang_root/run-b" "$envelopes" >/dev/null
    printf '  two journals of %d MB each (generated in %.1f s)\n' \
      $(($(stat -c %s "$hang_root/run-a/events.jsonl") / 1000000)) "$(elapsed "$start")"
    # A view read within 2 s of its files' last change serves its own request only.
    sleep 2
  fi
}

# Starts a server on the storm root with the blocking pool POOL ("default" or a thread count).
start_pool_server() {
  if [ "$1" = default ]; then
    start_server "$binary" "$hang_root"
  else
    KORVALLE_UI_BLOCKING_THREADS=$1 start_server "$binary" "$hang_root"
  fi
}

detail_of() { echo "$url/api/v2/runs/$1?include_conversations=false"; }

# Asks A's detail, 50 ms later B's, into $work/a and $work/b; sets b_asked (epoch).
ask_a_then_b() {
  rm -f "$work/a" "$work/b"
  ask "$work/a" "$(detail_of run-a)" "$wait_max"
  a_pid=$asked_pid
  sleep 0.05
  b_asked=$(now)
  ask "$work/b" "$(detail_of run-b)" "$wait_max"
  b_pid=$asked_pid
}

# Waits for the detail requests to return (curl's own limit bounds them) and forgets them.
reap_details() { reap "$a_pid" "$b_pid"; }

# B's seconds from $work/b when it answered 200, else "none".
b_seconds() {
  if [ -f "$work/b" ] && [ "$(cut -d' ' -f1 "$work/b")" = 200 ]; then secs "$(cut -d' ' -f2 "$work/b")"; else echo none; fi
}
b_text() {
  if [ ! -f "$work/b" ]; then echo "not answered"
  elif [ "$(cut -d' ' -f3 "$work/b")" = 28 ]; then echo "not answered within $wait_max s"
  else awk '{ printf "%s in %.2f s", $1, $2 }' "$work/b"; fi
}

# B's detail on a fresh server with no stream open, into FILE (one figure).
fresh_b() {
  start_pool_server "$1"
  ask_a_then_b
  wait_for "$work/b" "$(later "$b_asked" "$((wait_max + 5))")" || true
  echo "    fresh server: B's detail $(b_text)"
  b_seconds >>"$2"
  end_now "$server_pid"
  reap_details
}

# Starts the stream client: COUNT streams of FORM, their report to $work/hold. Sets hold_pid.
start_streams() {
  local target=/api/v2/events
  [ "$1" = run ] && target="/api/v2/events?run_id=run-b"
  rm -f "$work/hold"
  "$build/bench/events_bench" --hold "${url##*:}" "$2" 3600 "$target" >"$work/hold" &
  hold_pid=$!
  pids+=("$hold_pid")
}

# Ends the stream client (SIGTERM makes it close its streams and report) within 10 s.
end_streams() {
  kill -TERM "$hold_pid" 2>/dev/null || true
  wait_for "$work/hold" "$(later "$(now)" 10)" '^read ' || true
  end_now "$hold_pid"
}

# "N of M" streams with their first frame, from the client's report.
first_frames() { sed -n 's/^first frames: \([0-9]* of [0-9]*\) streams.*/\1/p' "$work/hold" | head -n 1; }

# One storm, POOL FORM COUNT, that runs on to the stop: its figures go to the files FILES-*.
storm_full() {
  local files=$4 snap_deadline seen_at lag list list_text threads frames
  start_pool_server "$1"
  ask_a_then_b
  start_streams "$2" "$3"
  wait_for "$work/b" "$(later "$b_asked" "$((wait_max + 5))")" || true
  if [ "$(b_seconds)" != none ]; then
    snap_deadline=$(later "$(cut -d' ' -f4 "$work/b")" "$snapshot_wait")
  else
    snap_deadline=$(later "$b_asked" "$wait_max")
  fi
  lag=none
  if wait_for "$work/hold" "$snap_deadline" '^first frames:.*all snapshots: yes'; then
    seen_at=$(now)
    [ "$(b_seconds)" = none ] || lag=$(secs "$(delta "$(cut -d' ' -f4 "$work/b")" "$seen_at")")
  fi
  threads=$(threads_of "$server_pid")
  list=$(curl -s -o /dev/null --max-time "$list_wait" -w '%{http_code} %{time_total} %{exitcode}' "$url/api/v2/runs" || true)
  list_text=$(awk -v w="$list_wait" '{ if ($3 == 28) print "not answered within " w " s"; else printf "%s in %.2f s", $1, $2 }' <<<"$list")
  stop_within "$server_pid" "$stop_wait"
  end_streams
  frames=$(first_frames)
  printf '    B %s; snapshots %s%s; list %s; %s threads; SIGTERM: %s\n' "$(b_text)" "${frames:-?}" \
    "$([ "$lag" = none ] || echo ", the last $lag s after B")" "$list_text" "$threads" "$(stop_text)"
  b_seconds >>"$files-b"
  echo "$lag" >>"$files-snapshots"
  awk '{ if ($1 == 200) printf "%.2f\n", $2; else print "none" }' <<<"$list" >>"$files-list"
  stop_figure >>"$files-stop"
  reap_details
  [ "$(b_seconds)" != none ] && [ "$stop_status" = 0 ]
}

# One storm, POOL FORM COUNT, stopped 1 s after the streams were asked for: its stop's figure goes
# to FILES-midstop.
storm_midstop() {
  local files=$4 waiting=no
  start_pool_server "$1"
  ask_a_then_b
  start_streams "$2" "$3"
  sleep 1
  [ -f "$work/b" ] || waiting=yes
  stop_within "$server_pid" "$stop_wait"
  end_streams
  printf '    mid-storm SIGTERM (B still waiting: %s): %s; snapshots %s\n' "$waiting" "$(stop_text)" \
    "$(first_frames)"
  stop_figure >>"$files-midstop"
  reap_details
  [ "$stop_status" = 0 ]
}

section_hang() {
  local pool form count files i pool_text
  echo "hang: two runs of $envelopes envelopes; A's detail, 50 ms later B's, then the streams (B is"
  echo "      waited for $wait_max s, the snapshots $snapshot_wait s after B, the run list $list_wait s, a stop $stop_wait s)"
  storm_root
  for pool in $pools; do
    pool_text="default blocking pool"
    [ "$pool" = default ] || pool_text="KORVALLE_UI_BLOCKING_THREADS=$pool"
    echo " $pool_text:"
    for i in $(seq "$repeat"); do fresh_b "$pool" "$work/fresh-$pool"; done
    echo "    fresh server, B's detail: $(spread "$work/fresh-$pool" "$wait_max")"
    for form in $forms; do
      for count in $stream_counts; do
        files=$work/storm-$pool-$form-$count
        echo "  $count streams, form $form ($pool_text):"
        for i in $(seq "$repeat"); do
          storm_full "$pool" "$form" "$count" "$files" || { [ "$i" = "$repeat" ] || echo "    hung: not repeated"; break; }
        done
        for i in $(seq "$repeat"); do
          storm_midstop "$pool" "$form" "$count" "$files" || { [ "$i" = "$repeat" ] || echo "    hung: not repeated"; break; }
        done
        hang_verdicts "$pool" "$form" "$count" "$files"
      done
    done
  done
}

# The verdicts of one configuration.
hang_verdicts() {
  local tag="$3 streams, form $2, pool $1" fresh over=$4-over
  fresh=$(median_of "$work/fresh-$1")
  # Each storm's B over the fresh servers' median; none when either did not answer.
  awk -v f="${fresh:-1e18}" '{ if ($1 == "none" || f >= 1e17) print "none"; else printf "%.2f\n", $1 - f }' \
    "$4-b" >"$over"
  judge_file "B's detail over fresh" "$over" 2 "$wait_max" "$tag"
  judge_file "last snapshot after B" "$4-snapshots" 2 "$snapshot_wait" "$tag"
  judge_file "run list then" "$4-list" 2 "$list_wait" "$tag"
  judge_file "stop after the snapshots, exit 0" "$4-stop" "$stop_bound" "$stop_wait" "$tag"
  judge_file "stop mid-storm, exit 0" "$4-midstop" "$stop_bound" "$stop_wait" "$tag"
}

# ---- telemetry ----

# The stand-in telemetry program: appends "start EPOCH PID PGID RUN" to $work/children, sleeps
# the seconds $work/slow holds while it exists (in a child of its own, so that only a kill of its
# whole group ends everything it started), then answers as tests/fake_korvalle does.
write_telemetry_program() {
  slow_program=$work/slow-korvalle
  cat >"$slow_program" <<EOF
#!/bin/sh
echo "start \$(date +%s.%N) \$\$ \$(ps -o pgid= -p \$\$ | tr -d ' ') \$2" >>'$work/children'
if [ -e '$work/slow' ]; then sleep "\$(cat '$work/slow')"; fi
exec '$fake' "\$@"
EOF
  chmod +x "$slow_program"
  : >"$work/children"
}

# Kills what is left of the telemetry children's groups (by pid: the processes whose group is
# one the stand-in logged).
kill_children() {
  [ -f "${work:-}/children" ] || return 0
  local pid
  for pid in $(left_in_child_groups); do kill -KILL "$pid" 2>/dev/null || true; done
}

# The pids of the processes that remain in the groups of the logged children (a zombie has
# ended: it only waits for its reaper, which in a container may never come).
left_in_child_groups() {
  ps -e -o pid=,pgid=,stat= |
    awk 'NR == FNR { groups[$4] = 1; next } ($2 in groups) && $3 !~ /^Z/ { print $1 }' "$work/children" -
}

# The event-stream probe of the telemetry section: opens GET /api/v2/events, waits for its
# snapshot and prints "open"; once the file GO exists, appends a copy of JOURNAL's last line (its
# seq one higher) and prints the milliseconds until the stream's run.changed for RUN, or "timeout"
# after LIMIT seconds.
write_changed_probe() {
  cat >"$work/changed.py" <<'PY'
import json, os, socket, sys, time

host, port, run, journal, limit, go = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], float(sys.argv[5]), sys.argv[6]
pending = b""

def frames(s, deadline):
    """Yields (event, data) frames as they come, until the deadline."""
    global pending
    while True:
        while b"\n\n" in pending:
            frame, pending = pending.split(b"\n\n", 1)
            fields = dict(line.split(b": ", 1) for line in frame.split(b"\n") if b": " in line)
            yield fields.get(b"event", b"").decode(), fields.get(b"data", b"")
        if deadline <= time.monotonic():
            raise TimeoutError
        s.settimeout(deadline - time.monotonic())
        chunk = s.recv(65536)
        if not chunk:
            raise ConnectionError
        pending += chunk

try:
    # HTTP/1.0: the frames come as they are, without chunk framing.
    s = socket.create_connection((host, port), timeout=limit)
    s.sendall(f"GET /api/v2/events HTTP/1.0\r\nHost: {host}:{port}\r\n\r\n".encode())
    for event, _ in frames(s, time.monotonic() + limit):
        if event == "snapshot":
            break
    print("open", flush=True)
    while not os.path.exists(go):
        time.sleep(0.02)
    last = json.loads(open(journal, "rb").read().rstrip(b"\n").rsplit(b"\n", 1)[-1])
    last["seq"] += 1
    start = time.monotonic()
    with open(journal, "ab") as out:
        out.write(json.dumps(last, separators=(",", ":")).encode() + b"\n")
    for event, data in frames(s, start + limit):
        if event == "run.changed" and json.loads(data).get("run_id") == run:
            break
    print(f"{(time.monotonic() - start) * 1000:.1f}")
except (OSError, TimeoutError, ConnectionError):
    print("timeout")
PY
}

# Appends a copy of JOURNAL's last line (its seq one higher), as a writer would.
append_line() {
  python3 - "$1" <<'PY'
import json, sys
path = sys.argv[1]
last = json.loads(open(path, "rb").read().rstrip(b"\n").rsplit(b"\n", 1)[-1])
last["seq"] += 1
open(path, "ab").write(json.dumps(last, separators=(",", ":")).encode() + b"\n")
PY
}

# The root of the telemetry section: three generated runs of 200 kB, each listed (its last node
# runs), so that a run list looks up the telemetry of each; and a settled run of the demo root,
# not listed, for an artifact and a conversation.
telemetry_root() {
  telemetry_runs=$work/runs-telemetry
  "$build/bench/server_bench" --generate "$telemetry_runs" 3 200000 >/dev/null
  cp -r "examples/runs/$settled_run" "$telemetry_runs/"
  sleep 2
}
settled_run=2026-03-08-release-notes

# Waits at most 10 s for the Nth child's start in the log; prints its line.
child_started() {
  local deadline
  deadline=$(later "$(now)" 10)
  while [ "$(wc -l <"$work/children")" -lt "$1" ]; do
    awk -v d="$deadline" -v n="$(now)" 'BEGIN { exit !(n >= d) }' && return 1
    sleep 0.02
  done
  sed -n "${1}p" "$work/children"
}

# A probe's "STATUS SECONDS EXITCODE END" as a figure in ms, or its failure.
ms_of() {
  awk -v w="$2" '{ if ($3 == 28) print "not answered within " w " s"; else if ($1 != 200) print "answered " $1;
                   else printf "%.1f ms\n", $2 * 1000 }' "$1"
}
ms_met() { awk -v t="$2" '{ print ($1 == 200 && $2 * 1000 <= t ? 1 : 0) }' "$1"; }

section_telemetry() {
  local changed_pid line children signal_at after left list_pid probes=()
  echo "telemetry: three listed runs of 200 kB and a settled one; a telemetry program that sleeps 50 s"
  echo "           while a flag is set (requests and streams are waited for $telemetry_wait s)"
  telemetry_root
  write_telemetry_program
  write_changed_probe

  # While a child sleeps: the requests that need no telemetry, and an open stream's run.changed.
  telemetry_program=$slow_program start_server "$binary" "$telemetry_runs"
  get "$url/api/v2/runs" || echo "  the warm-up run list failed"
  python3 "$work/changed.py" 127.0.0.1 "${url##*:}" bench-run-001 "$telemetry_runs/bench-run-001/events.jsonl" \
    "$telemetry_wait" "$work/go" >"$work/stream" &
  changed_pid=$!
  pids+=("$changed_pid")
  if ! wait_for "$work/stream" "$(later "$(now)" 30)" '^open'; then
    echo "  the stream's snapshot did not come within 30 s"
  fi
  echo 50 >"$work/slow"
  append_line "$telemetry_runs/bench-run-000/events.jsonl"
  ask "$work/probe-list" "$url/api/v2/runs" "$telemetry_wait"
  list_pid=$asked_pid
  if line=$(child_started "$(($(wc -l <"$work/children") + 1))"); then
    echo "  a child sleeps: $line"
    sleep 0.5
    touch "$work/go"
    probes=()
    ask "$work/probe-healthz" "$url/healthz" "$telemetry_wait"
    probes+=("$asked_pid")
    ask "$work/probe-artifact" "$url/api/v2/runs/$settled_run/artifacts/draft-notes-report" "$telemetry_wait"
    probes+=("$asked_pid")
    ask "$work/probe-conversation" "$url/api/v2/runs/$settled_run/conversations/ses-draft-01" "$telemetry_wait"
    probes+=("$asked_pid")
    wait_for "$work/stream" "$(later "$(now)" "$((telemetry_wait + 5))")" '^\(timeout\|[0-9]\)' || true
    for name in healthz artifact conversation; do
      wait_for "$work/probe-$name" "$(later "$(now)" "$((telemetry_wait + 5))")" || echo "999 999 28 0" >"$work/probe-$name"
      judge "$name (target < 100 ms)" "$(ms_of "$work/probe-$name" "$telemetry_wait")" \
        "$(ms_met "$work/probe-$name" 100)" "telemetry, while a child runs"
    done
    local changed
    changed=$(tail -n 1 "$work/stream")
    if [ "$changed" = timeout ] || [ "$changed" = open ]; then
      judge "run.changed of another run (target <= 1000 ms)" "not within $telemetry_wait s" 0 \
        "telemetry, while a child runs"
    else
      judge "run.changed of another run (target <= 1000 ms)" "$changed ms" \
        "$(awk -v c="$changed" 'BEGIN { print (c <= 1000 ? 1 : 0) }')" "telemetry, while a child runs"
    fi
  else
    echo "  no child started for the run list"
  fi
  end_now "$server_pid"
  end_now "$changed_pid"
  kill_children
  reap "$list_pid" "${probes[@]}"

  # The stop while a child sleeps: every child sleeps now.
  : >"$work/children"
  rm -f "$work/probe-list"
  telemetry_program=$slow_program start_server "$binary" "$telemetry_runs"
  ask "$work/probe-list" "$url/api/v2/runs" "$telemetry_wait"
  list_pid=$asked_pid
  if ! child_started 1 >/dev/null; then
    echo "  no child started for the run list"
    end_now "$server_pid"
    reap "$list_pid"
    return
  fi
  sleep 3
  stop_within "$server_pid" "$telemetry_wait"
  signal_at=$stop_signal_at
  left=$(left_in_child_groups | wc -l)
  children=$(wc -l <"$work/children")
  after=$(awk -v s="$signal_at" '$2 > s' "$work/children" | wc -l)
  kill_children
  reap "$list_pid"
  printf '  SIGTERM 3 s after the first child started: %s; %d children started, %d after the signal;\n' \
    "$(stop_text)" "$children" "$after"
  printf '  the run list: %s\n' "$(awk '{ if ($3 == 28) print "not answered"; else printf "%s after %.1f s\n", $1, $2 }' \
    "$work/probe-list" 2>/dev/null || echo "not answered")"
  judge "stop (target exit 0 within $stop_bound s)" "$(stop_text)" \
    "$([ "$stop_status" = 0 ] && awk -v s="$stop_secs" -v b="$stop_bound" 'BEGIN { print (s <= b ? 1 : 0) }' || echo 0)" \
    "telemetry, SIGTERM with a child sleeping"
  judge "children started after the signal (target 0)" "$after" "$([ "$after" = 0 ] && echo 1 || echo 0)" \
    "telemetry, SIGTERM with a child sleeping"
  judge "processes of their groups left (target 0)" "$left" "$([ "$left" = 0 ] && echo 1 || echo 0)" \
    "telemetry, SIGTERM with a child sleeping"
  judge "the run list waiting for it (target 503)" "$(awk '{ print $1 }' "$work/probe-list" 2>/dev/null || echo none)" \
    "$(awk '{ print ($1 == 503 ? 1 : 0) }' "$work/probe-list" 2>/dev/null || echo 0)" "telemetry, SIGTERM with a child sleeping"
}

# ---- grace ----

section_grace() {
  local list_pid signal_at after left status with_telemetry
  echo "grace: the telemetry section's root; a telemetry program that answers 2.5 s after it starts,"
  echo "       then one that leaves a background process in its group holding its output open"
  [ -n "${telemetry_runs:-}" ] || telemetry_root
  write_telemetry_program
  rm -f "$work/slow"

  # SIGTERM 1 s after the one child a run list needs started: every other run's telemetry kept.
  telemetry_program=$slow_program start_server "$binary" "$telemetry_runs"
  get "$url/api/v2/runs" || echo "  the warm-up run list failed"
  echo 2.5 >"$work/slow"
  append_line "$telemetry_runs/bench-run-000/events.jsonl"
  : >"$work/children"
  (curl -s -o "$work/grace-list" --max-time "$telemetry_wait" -w '%{http_code}' "$url/api/v2/runs" >"$work/grace-status" || true) &
  list_pid=$!
  pids+=("$list_pid")
  if child_started 1 >/dev/null; then
    sleep 1
    stop_within "$server_pid" "$telemetry_wait"
    signal_at=$stop_signal_at
    reap "$list_pid"
    status=$(cat "$work/grace-status" 2>/dev/null || echo none)
    with_telemetry=$(python3 -c '
import json, sys
runs = json.load(open(sys.argv[1]))["runs"]
print(sum(1 for r in runs if r["run_id"] == "bench-run-000" and r["timing"]["wall_ms"] is not None))' \
      "$work/grace-list" 2>/dev/null || echo 0)
    after=$(awk -v s="$signal_at" '$2 > s' "$work/children" | wc -l)
    judge "the run list in flight (target 200, with its telemetry)" "$status, telemetry $with_telemetry" \
      "$([ "$status" = 200 ] && [ "$with_telemetry" = 1 ] && echo 1 || echo 0)" "grace, SIGTERM while a 2.5 s child runs"
    judge "stop (target exit 0 within $stop_bound s)" "$(stop_text)" \
      "$([ "$stop_status" = 0 ] && awk -v s="$stop_secs" -v b="$stop_bound" 'BEGIN { print (s <= b ? 1 : 0) }' || echo 0)" \
      "grace, SIGTERM while a 2.5 s child runs"
    judge "children started after the signal (target 0)" "$after" "$([ "$after" = 0 ] && echo 1 || echo 0)" \
      "grace, SIGTERM while a 2.5 s child runs"
  else
    echo "  no child started for the run list"
    end_now "$server_pid"
    reap "$list_pid"
  fi
  kill_children

  # A program that leaves a background process in its group, on a fresh server: a run list over
  # the three runs, what is left 3 s after it and after the stop.
  rm -f "$work/slow" "$work/linger-list"
  : >"$work/children"
  FAKE_KORVALLE_MODE=linger telemetry_program=$slow_program start_server "$binary" "$telemetry_runs"
  ask "$work/linger-list" "$url/api/v2/runs" 30
  wait_for "$work/linger-list" "$(later "$(now)" 35)" || echo "999 999 28 0" >"$work/linger-list"
  reap "$asked_pid"
  judge "run list over three such runs (target 200 within 5 s)" "$(ms_of "$work/linger-list" 30)" \
    "$(awk '{ print ($1 == 200 && $2 <= 5 ? 1 : 0) }' "$work/linger-list")" "grace, background processes"
  sleep 3
  left=$(left_in_child_groups | wc -l)
  judge "left 3 s after the run list (target 0 of $(wc -l <"$work/children"))" "$left" \
    "$([ "$left" = 0 ] && echo 1 || echo 0)" "grace, background processes"
  stop_within "$server_pid" "$stop_wait"
  left=$(left_in_child_groups | wc -l)
  judge "left after the stop (target 0)" "$left, $(stop_text)" \
    "$([ "$left" = 0 ] && [ "$stop_status" = 0 ] && echo 1 || echo 0)" "grace, background processes"
  kill_children
}

# ---- Summary. ----

run_sections "storm benchmark"
echo
met=0
for v in "${verdicts[@]}"; do [ "${v%%|*}" = met ] && met=$((met + 1)); done
echo "summary: $met of ${#verdicts[@]} targets met"
for v in "${verdicts[@]}"; do [ "${v%%|*}" = met ] || echo "  not met: ${v#*|}"; done
printf 'done in %.0f s\n' "$(elapsed "$script_start")"
[ "$met" = "${#verdicts[@]}" ]
