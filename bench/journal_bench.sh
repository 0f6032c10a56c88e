#!/usr/bin/env bash
# Journal benchmark: a run's journal changed in the ways its writers change it while a server
# reads it, BUILD_DIR's server beside BASE_BINARY's (both on one root at once, so the figures come
# from one run), measured from outside (curl, and CPU time from /proc/PID/stat):
#
#   rewrite  a big run's journal changed before its end while lines are appended and both servers
#            are read (a message written over in place; the file truncated and written again,
#            longer; a block punched out), then left still: does a request begun 2 s after the
#            last write answer as a freshly started server does (run detail and run list)?
#                                                                     (target: yes in every case)
#   prefix   the big run appended to at 10 lines a second, 20 event streams on the root and a run
#            list every 0.25 s: each server's CPU in % of a core, and the difference, what the
#            checks of the bytes before the old end cost                       (target <= 3 %)
#   notutf8  the same writing on the big run, clean and with one line that is not UTF-8 nine
#            tenths of the way in (two roots, two servers of each binary): CPU and run-list time
#            over the clean journal's                                           (target <= 3)
#   flip     the root's entry of a small run renamed over and over between the run and a decoy
#            directory (a journal, round result and artifact of its own, no launch record) for
#            FLIP_SECONDS while run details, run lists and the run's artifact are asked for:
#            answers that hold the decoy's files beside the run's                (target 0)
#   faulty   a run whose journal holds 10 MiB of lines that are no envelopes between two envelopes,
#            for each shape of such line (x, {}, [], {"v":1}, a 200-byte object without "kind",
#            "text", 42, null, [1,2,3]), beside a run of 10 MiB of envelopes, each on a root of its
#            own: the cold run list (a freshly started server's first), median of FAULTY_RUNS with
#            its range, over the envelopes' (target <= 3); then 1 MiB of those lines appended to a
#            live run at once: the server's CPU time for the first run list 2 s after, over that
#            after 1 MiB of envelopes (target <= 3). With a base binary, the cold list of the
#            envelopes is also compared with the base's (this build at least 0.98 of its speed).
#
#   bench/journal_bench.sh [BUILD_DIR] [BASE_BINARY]     (default: build-release; no comparison)
#
# Knobs: SECTIONS="rewrite prefix notutf8 flip faulty"; BIG_ENVELOPES=116000 (about 67 MB of
# journal); WRITE_SECONDS=20 (prefix, notutf8); FLIP_SECONDS=60; FAULTY_RUNS=5; MAX_TIME=300.
set -euo pipefail
base=${2:+$(realpath "$2")}
cd "$(dirname "$0")/.."
build=${1:-build-release}
sections=${SECTIONS:-rewrite prefix notutf8 flip faulty}
big_envelopes=${BIG_ENVELOPES:-116000}
write_seconds=${WRITE_SECONDS:-20}
flip_seconds=${FLIP_SECONDS:-60}
faulty_runs=${FAULTY_RUNS:-5}
max_time=${MAX_TIME:-300}

# shellcheck source=bench/server_procs.sh
. bench/server_procs.sh
bench_setup journal-bench server_bench replay_bench
write_append_script

# The binaries measured side by side: this build's, then the base's when given.
binaries=("$binary")
names=("this")
if [ -n "$base" ]; then
  binaries+=("$base")
  names+=("base")
fi

# ---- Roots and writers. ----

# A root of 4 runs of 2 MB and the big run of replay_bench (big_envelopes envelopes), made once;
# its journal is kept aside to be put back between sections.
big_root() {
  local dir=$work/runs-big
  if [ ! -d "$dir" ]; then
    "$build/bench/server_bench" --generate "$dir" 4 2097152 >/dev/null
    "$build/bench/replay_bench" --write-run "$dir/big-run" "$big_envelopes"
    cp "$dir/big-run/events.jsonl" "$work/pristine.jsonl"
  fi
  echo "$dir"
}

# Puts the big run's journal of ROOT back as it was generated (a new file in its place) and lets
# it age past the cache's 2 s.
restore_big() {
  cp "$work/pristine.jsonl" "$1/big-run/events.jsonl.new"
  mv "$1/big-run/events.jsonl.new" "$1/big-run/events.jsonl"
  sleep 2.2
}

# Changes FILE before its end as CASE says, and appends a line at once (no read comes between the
# two): "inplace" writes over one turn's message and duration in place (same length), "truncate"
# truncates the file and writes it again with that change, "hole" punches out a 64 KiB block
# (the size kept). Each about 40 % into the file.
cat >"$work/rewrite.py" <<'EOF'
import ctypes, os, sys
path, case = sys.argv[1], sys.argv[2]
data = open(path, "rb").read()
at = data.find(b'"message":"I updated', len(data) * 2 // 5)
changed = data[:at] + data[at:].replace(b'"message":"I updated', b'"message":"I UPDATED', 1).replace(
    b'"duration":41.25', b'"duration":91.25', 1)
line = data.splitlines(keepends=True)[-1]
if case == "inplace":
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(changed[at:at + 2048])
        f.seek(0, 2)
        f.write(line)
elif case == "truncate":
    with open(path, "wb") as f:
        f.write(changed + line)
else:
    fd = os.open(path, os.O_WRONLY | os.O_APPEND)
    libc = ctypes.CDLL(None, use_errno=True)
    offset = ctypes.c_long((len(data) * 2 // 5) // 65536 * 65536)
    if libc.fallocate(fd, 3, offset, ctypes.c_long(65536)) != 0:  # PUNCH_HOLE | KEEP_SIZE
        sys.exit("fallocate: errno %d" % ctypes.get_errno())
    os.write(fd, line)
    os.close(fd)
EOF

# A document of URL with its "observed_at" left out, into FILE.
document() { curl -sf --max-time "$max_time" "$1" | sed -E 's/"observed_at":"[^"]*"//' >"$2" || echo "failed" >"$2"; }

# ---- Sections. ----

section_rewrite() {
  local root case name i fresh_url
  root=$(big_root)
  echo "rewrite: a big run ($(($(stat -c %s "$root/big-run/events.jsonl") / 1048576)) MiB of journal) changed before its end with a line"
  echo "         appended, then 9 more over a second while the servers are read, then still for 2 s:"
  echo "         run detail and run list against a freshly started server"
  local urls=() servers=() exact=0
  for i in "${!binaries[@]}"; do
    start_server "${binaries[$i]}" "$root"
    urls+=("$url") servers+=("$server_pid")
  done
  for case in inplace truncate hole; do
    restore_big "$root"
    for url in "${urls[@]}"; do get "$url/api/v2/runs" && get "$url/api/v2/runs/big-run?include_conversations=false"; done
    sleep 2.2
    for url in "${urls[@]}"; do get "$url/api/v2/runs" && get "$url/api/v2/runs/big-run?include_conversations=false"; done
    python3 "$work/rewrite.py" "$root/big-run/events.jsonl" "$case"
    python3 "$work/append.py" "$root/big-run/events.jsonl" 9 0.1 0 &
    local writer=$!
    pids+=("$writer")
    for _ in $(seq 10); do
      for url in "${urls[@]}"; do get "$url/api/v2/runs" && get "$url/api/v2/runs/big-run?include_conversations=false"; done
      sleep 0.1
    done
    wait "$writer"
    stop "$writer"
    sleep 2.1
    for i in "${!urls[@]}"; do
      document "${urls[$i]}/api/v2/runs/big-run?include_conversations=false" "$work/detail-${names[$i]}"
      document "${urls[$i]}/api/v2/runs" "$work/list-${names[$i]}"
    done
    start_server "$binary" "$root"
    fresh_url=$url
    document "$fresh_url/api/v2/runs/big-run?include_conversations=false" "$work/detail-fresh"
    document "$fresh_url/api/v2/runs" "$work/list-fresh"
    stop "$server_pid"
    for i in "${!urls[@]}"; do
      name=${names[$i]}
      local detail=no list=no
      cmp -s "$work/detail-$name" "$work/detail-fresh" && detail=yes
      cmp -s "$work/list-$name" "$work/list-fresh" && list=yes
      [ "$i" != 0 ] || [ "$detail$list" != yesyes ] || exact=$((exact + 1))
      printf '  %-9s %-5s run detail as a fresh server: %-3s  run list: %s\n' "$case" "$name" "$detail" "$list"
    done
  done
  for i in "${!servers[@]}"; do stop "${servers[$i]}"; done
  verdict "cases answered as a fresh server (this build)" "$exact" ">=" 3
  restore_big "$root"
}

# Holds COUNT event streams on URL (curl, reading to the end); their pids go to stream_pids.
hold_curl_streams() {
  local i
  for i in $(seq "$2"); do
    curl -sN --max-time "$max_time" -o /dev/null "$1/api/v2/events" &
    stream_pids+=($!)
    pids+=($!)
  done
}

# With a server of each binary on each root given (their urls in served_urls and pids in
# served_pids, in the order binaries x roots), writes lines to the big run of each root at 10
# a second for write_seconds while 20 streams watch each server and each is listed every 0.25 s.
# Sets cpu_of[k] (CPU seconds over the window) and list_ms[k] (median run-list ms).
written_window() {
  local roots=("$@") k root writers=() listers=()
  stream_pids=()
  for k in "${!served_urls[@]}"; do hold_curl_streams "${served_urls[$k]}" 20; done
  sleep 1
  local before=() start
  for k in "${!served_pids[@]}"; do before[k]=$(cpu_seconds "${served_pids[$k]}"); done
  start=$(now)
  for root in "${roots[@]}"; do
    python3 "$work/append.py" "$root/big-run/events.jsonl" $((write_seconds * 10)) 0.1 0 &
    writers+=($!)
    pids+=($!)
  done
  for k in "${!served_urls[@]}"; do
    list_times_for "${served_urls[$k]}" $((write_seconds - 1)) >"$work/list-times-$k" &
    listers+=($!)
  done
  for k in "${!writers[@]}"; do wait "${writers[$k]}"; stop "${writers[$k]}"; done
  for k in "${!listers[@]}"; do wait "${listers[$k]}"; done
  window=$(elapsed "$start")
  for k in "${!served_pids[@]}"; do
    cpu_of[k]=$(delta "${before[$k]}" "$(cpu_seconds "${served_pids[$k]}")")
    list_ms[k]=$(median <"$work/list-times-$k")
  done
  for k in "${!stream_pids[@]}"; do stop "${stream_pids[$k]}"; done
}

percent() { awk -v cpu="$1" -v wall="$2" 'BEGIN { printf "%.2f\n", 100 * cpu / wall }'; }

section_prefix() {
  local root i
  root=$(big_root)
  echo "prefix: the big run appended to at 10 lines a second for ${write_seconds} s, 20 streams on the root and a"
  echo "        run list every 0.25 s, a server of each binary on the root at once"
  restore_big "$root"
  served_urls=() served_pids=()
  for i in "${!binaries[@]}"; do
    start_server "${binaries[$i]}" "$root"
    get "$url/api/v2/runs" && get "$url/api/v2/runs"
    served_urls+=("$url") served_pids+=("$server_pid")
  done
  written_window "$root"
  for i in "${!binaries[@]}"; do
    printf '  %-5s server CPU %.2f %% of a core, run list %.1f ms (median)\n' "${names[$i]}" \
      "$(percent "${cpu_of[$i]}" "$window")" "${list_ms[$i]}"
    stop "${served_pids[$i]}"
  done
  if [ -n "$base" ]; then
    verdict "CPU over the base's, % of a core" \
      "$(awk -v a="${cpu_of[0]}" -v b="${cpu_of[1]}" -v w="$window" 'BEGIN { print 100 * (a - b) / w }')" "<=" 3
  fi
  restore_big "$root"
}

section_notutf8() {
  local clean bad i k
  clean=$(big_root)
  restore_big "$clean"
  bad=$work/runs-bad
  if [ ! -d "$bad" ]; then
    cp -r "$clean" "$bad"
    # One line that is not UTF-8, nine tenths of the way in.
    python3 - "$bad/big-run/events.jsonl" <<'EOF'
import sys
lines = open(sys.argv[1], "rb").read().split(b"\n")
k = next(i for i in range(len(lines) * 9 // 10, len(lines)) if b"Bash" in lines[i])
lines[k] = lines[k].replace(b"Bash", b"B\xffsh", 1)
open(sys.argv[1], "wb").write(b"\n".join(lines))
EOF
    cp "$bad/big-run/events.jsonl" "$work/pristine-bad.jsonl"
  fi
  echo "notutf8: the big run appended to at 10 lines a second for ${write_seconds} s, clean and with one line"
  echo "         that is not UTF-8 (two roots), 20 streams on each server and a run list every 0.25 s"
  for i in "${!binaries[@]}"; do
    restore_big "$clean"
    cp "$work/pristine-bad.jsonl" "$bad/big-run/events.jsonl"
    sleep 2.2
    served_urls=() served_pids=()
    for root in "$clean" "$bad"; do
      start_server "${binaries[$i]}" "$root"
      get "$url/api/v2/runs" && get "$url/api/v2/runs"
      served_urls+=("$url") served_pids+=("$server_pid")
    done
    written_window "$clean" "$bad"
    printf '  %-5s clean:     CPU %.2f %% of a core, run list %.1f ms\n' "${names[$i]}" \
      "$(percent "${cpu_of[0]}" "$window")" "${list_ms[0]}"
    printf '  %-5s not UTF-8: CPU %.2f %% of a core, run list %.1f ms\n' "${names[$i]}" \
      "$(percent "${cpu_of[1]}" "$window")" "${list_ms[1]}"
    for k in 0 1; do stop "${served_pids[$k]}"; done
    if [ "$i" = 0 ]; then
      verdict "CPU, not UTF-8 over clean" "$(ratio "${cpu_of[1]}" "${cpu_of[0]}")" "<=" 3
      verdict "run list, not UTF-8 over clean" "$(ratio "${list_ms[1]}" "${list_ms[0]}")" "<=" 3
    else
      printf '  %-5s not UTF-8 over clean: CPU %.1f, run list %.1f\n' "${names[$i]}" \
        "$(ratio "${cpu_of[1]}" "${cpu_of[0]}")" "$(ratio "${list_ms[1]}" "${list_ms[0]}")"
    fi
  done
  restore_big "$clean"
}

# Asks URL for the run detail, the run list and the run's artifact in turn until FILE exists,
# and prints how many of each were answered and how many held the decoy's files.
cat >"$work/flip_client.py" <<'EOF'
import json, os, sys, urllib.error, urllib.request
url, stop = sys.argv[1], sys.argv[2]
targets = ["/api/v2/runs/r-1", "/api/v2/runs", "/api/v2/runs/r-1/artifacts/report"]
answered, mixed = [0, 0, 0], [0, 0, 0]
k = 0
while not os.path.exists(stop):
    which = k % 3
    k += 1
    try:
        with urllib.request.urlopen(url + targets[which], timeout=60) as reply:
            body = reply.read()
    except urllib.error.HTTPError:
        continue
    answered[which] += 1
    if b"decoy" in body:
        mixed[which] += 1
print("details %d (%d mixed), run-list pages %d (%d mixed), artifacts %d (%d the decoy's)"
      % (answered[0], mixed[0], answered[1], mixed[1], answered[2], mixed[2]))
print("mixed", sum(mixed))
EOF

cat >"$work/flipper.py" <<'EOF'
import os, sys
entry, run, decoy, stop = sys.argv[1:5]
turn = 0
while not os.path.exists(stop):
    nxt = entry + ".next"
    os.symlink(run if turn % 2 else decoy, nxt)
    os.rename(nxt, entry)
    turn += 1
EOF

# A small run and its decoy: each a journal whose plan names its own node, settled, a round
# result and the artifact "report" saying whose they are; only the run has a launch record.
flip_dirs() {
  local who dir plan
  for who in run decoy; do
    dir=$work/flip/$who
    mkdir -p "$dir/round-01" "$dir/artifacts"
    plan='{"schema_version":1,"goal":{"text":"g"},"name":"n","tasks":[{"id":"'$who'-node","task":"T."}]}'
    {
      echo '{"v":1,"ts":"2026-03-02T09:00:00.000Z","stream":"driver","seq":1,"source":"pipeline","kind":"run-started","labels":{"run_id":"r-1"},"payload":{"plan":'"$plan"'}}'
      echo '{"v":1,"ts":"2026-03-02T09:00:01.000Z","stream":"driver","seq":2,"source":"pipeline","kind":"round-started","labels":{"run_id":"r-1","round":1},"payload":{"plan":'"$plan"'}}'
      echo '{"v":1,"ts":"2026-03-02T09:00:02.000Z","stream":"driver","seq":3,"source":"pipeline","kind":"node-settled","labels":{"run_id":"r-1","node":"'$who'-node","round":1},"payload":{"status":"done"},"artifacts":[{"id":"report","kind":"report","bytes":1}]}'
      echo '{"v":1,"ts":"2026-03-02T09:00:03.000Z","stream":"driver","seq":4,"source":"pipeline","kind":"round-finished","labels":{"run_id":"r-1","round":1},"payload":{"ok":true}}'
    } >"$dir/events.jsonl"
    echo '{"nodes":[{"id":"'$who'-node","status":"'$who'-status"}]}' >"$dir/round-01/result.json"
    echo "$who's report" >"$dir/artifacts/report"
  done
  cat >"$work/flip/run/launch.json" <<'EOF'
{"run_id":"r-1","plan":"plans/demo.yaml","graph":"default","launcher":"codex","session":"sess-0001","pid":0,"host":"elsewhere","started_at":"2026-03-02T09:00:00.000Z","round_budget":8,"heartbeat_interval":30,"adoptions":0}
EOF
  mkdir -p "$work/flip/root"
  ln -sfn "$work/flip/run" "$work/flip/root/r-1"
}

section_flip() {
  local i clients=() flipper
  echo "flip: the root's entry of a run renamed over between the run and a decoy (no launch record) for"
  echo "      ${flip_seconds} s while each server is asked for the run detail, the run list and the run's artifact"
  [ -d "$work/flip" ] || flip_dirs
  rm -f "$work/flip/stop"
  served_pids=()
  for i in "${!binaries[@]}"; do
    start_server "${binaries[$i]}" "$work/flip/root"
    served_pids+=("$server_pid")
    python3 "$work/flip_client.py" "$url" "$work/flip/stop" >"$work/flip-${names[$i]}" &
    clients+=($!)
    pids+=($!)
  done
  python3 "$work/flipper.py" "$work/flip/root/r-1" "$work/flip/run" "$work/flip/decoy" "$work/flip/stop" &
  flipper=$!
  pids+=("$flipper")
  sleep "$flip_seconds"
  touch "$work/flip/stop"
  wait "$flipper"
  stop "$flipper"
  for i in "${!binaries[@]}"; do
    wait "${clients[$i]}"
    stop "${clients[$i]}"
    printf '  %-5s %s\n' "${names[$i]}" "$(head -1 "$work/flip-${names[$i]}")"
    stop "${served_pids[$i]}"
  done
  verdict "answers mixing the run with the decoy" "$(sed -n 's/^mixed //p' "$work/flip-this")" "<=" 0
}

# Appends at least BYTES of lines of one shape to FILE at once: a shape of line that is no envelope
# (line_shapes), or "envelopes", an agent's tool activity 100 ms apart.
cat >"$work/lines.py" <<'EOF'
import os, sys
shape, size, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
without_kind = ('{"v":1,"ts":"2026-03-02T09:00:00.000Z","stream":"morvane/ses-1","seq":7,"source":"morvane",'
                '"labels":{"run_id":"bench-run-000","node":"scan","round":1},"payload":{"detail":"%s"}}')
shapes = {"x": "x", "{}": "{}", "[]": "[]", '{"v":1}': '{"v":1}', '"text"': '"text"', "42": "42", "null": "null",
          "[1,2,3]": "[1,2,3]", "no-kind": without_kind % ("d" * (202 - len(without_kind)))}
if shape == "envelopes":
    lines, k = [], 0
    while k == 0 or len(lines) * len(lines[0]) < size:
        lines.append('{"v":1,"ts":"2026-03-02T10:%02d:%02d.%03dZ","stream":"morvane/ses-live","seq":%d,'
                     '"source":"morvane","kind":"turn-activity","labels":{"run_id":"bench-run-000","node":"scan",'
                     '"round":1,"persona":"worker","session":"ses-live","role":"agent"},'
                     '"payload":{"kind":"tool","name":"Bash","detail":"live step %06d"}}\n'
                     % (k // 600 % 60, k // 10 % 60, k % 10 * 100, k + 1, k))
        k += 1
    data = "".join(lines).encode()
else:
    line = shapes[shape] + "\n"
    data = (line * (size // len(line) + 1)).encode()
fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
view = memoryview(data)
while view:
    view = view[os.write(fd, view):]
os.close(fd)
EOF
# The lines of the faulty section: envelopes first, then the shapes that are none.
line_shapes=(envelopes x '{}' '[]' '{"v":1}' no-kind '"text"' 42 null '[1,2,3]')

# "median min max" of the numbers read, one a line.
spread() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[1], v[NR] }'; }

# The time in ms of the first run list of a server of BINARY started on ROOT.
cold_list_ms() {
  start_server "$1" "$2"
  curl -sf --max-time "$max_time" -o /dev/null -w '%{time_total}\n' "$url/api/v2/runs" | awk '{ print $1 * 1000 }'
  stop "$server_pid"
}

# The CPU time in ms of a server of BINARY for its first run list 2 s after 1 MiB of lines of SHAPE
# were appended to the live run of a fresh copy of the root $work/faulty/live, listed before.
append_list_ms() {
  local root=$work/faulty/appended before
  rm -rf "$root"
  cp -r "$work/faulty/live" "$root"
  start_server "$1" "$root"
  get "$url/api/v2/runs"
  sleep 2.2
  get "$url/api/v2/runs"
  python3 "$work/lines.py" "$2" 1048576 "$root/bench-run-000/events.jsonl"
  sleep 2.2
  before=$(cpu_ns "$server_pid")
  get "$url/api/v2/runs"
  delta "$before" "$(cpu_ns "$server_pid")" | awk '{ printf "%.3f\n", $1 / 1e6 }'
  stop "$server_pid"
}

# Measures MEASURE (cold or append) faulty_runs times over every shape of line and binary in turn,
# into $work/faulty/MEASURE-BINARY-SHAPE (indices), then prints for each the median with its range
# and its ratio over the envelopes', and sets worst to this build's largest ratio.
faulty_measure() {
  local measure=$1 unit=$2 i k envelopes median low high over
  for _ in $(seq "$faulty_runs"); do
    for k in "${!line_shapes[@]}"; do
      for i in "${!binaries[@]}"; do
        if [ "$measure" = cold ]; then
          cold_list_ms "${binaries[$i]}" "$work/faulty/shape-$k"
        else
          append_list_ms "${binaries[$i]}" "${line_shapes[$k]}"
        fi >>"$work/faulty/$measure-$i-$k"
      done
    done
  done
  worst=0
  for i in "${!binaries[@]}"; do
    envelopes=$(spread <"$work/faulty/$measure-$i-0" | cut -d' ' -f1)
    for k in "${!line_shapes[@]}"; do
      read -r median low high < <(spread <"$work/faulty/$measure-$i-$k")
      over=$(ratio "$median" "$envelopes")
      printf '  %-5s %-10s %9.2f %s (%.2f-%.2f)  %6.2f\n' "${names[$i]}" "${line_shapes[$k]}" "$median" "$unit" \
        "$low" "$high" "$over"
      if [ "$i" = 0 ] && awk -v a="$over" -v b="$worst" 'BEGIN { exit !(a > b) }'; then worst=$over; fi
    done
  done
}

section_faulty() {
  local dir=$work/faulty k run
  if [ ! -d "$dir" ]; then
    "$build/bench/server_bench" --generate "$dir/shape-0" 1 10485760 >/dev/null
    local valid=$dir/shape-0/bench-run-000
    for k in "${!line_shapes[@]}"; do
      [ "$k" != 0 ] || continue
      run=$dir/shape-$k/bench-run-000
      mkdir -p "$run"
      cp "$valid/launch.json" "$run/"
      head -1 "$valid/events.jsonl" >"$run/events.jsonl"
      python3 "$work/lines.py" "${line_shapes[$k]}" 10485760 "$run/events.jsonl"
      sed -n 2p "$valid/events.jsonl" >>"$run/events.jsonl"
    done
    mkdir -p "$dir/live/bench-run-000"
    cp "$valid/launch.json" "$dir/live/bench-run-000/"
    head -2 "$valid/events.jsonl" >"$dir/live/bench-run-000/events.jsonl"
    sleep 2.2
  fi
  local mib=$(($(stat -c %s "$dir/shape-0/bench-run-000/events.jsonl") / 1048576))
  echo "faulty: the cold run list of a root whose run holds $mib MiB of envelopes, or 10 MiB of lines of one"
  echo "        shape that are no envelopes between two: median of $faulty_runs (range), and over the envelopes'"
  faulty_measure cold ms
  verdict "cold run list over the envelopes' (worst)" "$worst" "<=" 3
  if [ -n "$base" ]; then
    verdict "envelopes' cold run list, base's time over this" \
      "$(ratio "$(spread <"$dir/cold-1-0" | cut -d' ' -f1)" "$(spread <"$dir/cold-0-0" | cut -d' ' -f1)")" ">=" 0.98
  fi
  echo "        1 MiB of lines appended at once to a live run: the server's CPU time for its first run list"
  echo "        2 s after, median of $faulty_runs (range), and over that after 1 MiB of envelopes"
  faulty_measure append "ms CPU"
  verdict "CPU after an append over the envelopes' (worst)" "$worst" "<=" 3
}

run_sections "journal benchmark"
