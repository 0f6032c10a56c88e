# shellcheck shell=bash
# build, max_time and the variables bench_setup sets belong to the script that sources this.
# shellcheck disable=SC2034,SC2154
# Helpers shared by the benchmarks that measure a running korvalle-api from outside
# (scale_bench.sh, documents_bench.sh, events_bench.sh, journal_bench.sh, storm_bench.sh):
# building, a scratch directory removed at exit, servers started on 127.0.0.1 and stopped again,
# their CPU time and memory from /proc, requests with curl, a journal written line by line, and
# the printing of figures against their targets.
#
# Sourced from the repository root, after `build` (the build directory) and `max_time` (seconds
# a request may take) are set; then `bench_setup NAME TARGET...` builds and makes the scratch
# directory.

# Builds TARGET... (korvalle-api and fake_korvalle always) into $build, configuring it first if
# needed, and sets binary, fake, work (a fresh /tmp/korvalle-NAME-XXXXXX, removed at exit with
# every process this script started).
bench_setup() {
  local name=$1
  shift
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALLE_BENCH=ON >/dev/null
  fi
  ninja -C "$build" korvalle-api fake_korvalle "$@" >/dev/null
  binary=$PWD/$build/korvalle-api
  fake=$PWD/$build/tests/fake_korvalle
  work=$(mktemp -d "/tmp/korvalle-$name-XXXXXX")
  pids=()
  started=0
  trap bench_cleanup EXIT
}

bench_cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}

# ---- Servers and their /proc figures. ----

# Starts a server (BINARY ROOT [OPTION...]) and sets server_pid and url.
start_server() {
  local out=$work/server-$((started += 1)) server=$1 root=$2
  shift 2
  # The stand-in pipeline tool answers telemetry, so lists and details carry it as in production;
  # telemetry_program, when set, names another.
  KORVALLE_UI_KORVALLE_BIN=${telemetry_program:-$fake} "$server" serve --runs-root "$root" --bind 127.0.0.1:0 "$@" \
    </dev/null >"$out.out" 2>"$out.err" &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 100); do grep -q serving "$out.out" 2>/dev/null && break; sleep 0.05; done
  url=$(sed -n 's/.* on //p' "$out.out")
  [ -n "$url" ] || { echo "the server did not start:"; cat "$out.err"; exit 1; }
}

# Stops a process this script started and forgets it.
stop() {
  kill -TERM "$1" 2>/dev/null && wait "$1" 2>/dev/null || true
  local pid left=()
  for pid in "${pids[@]}"; do [ "$pid" = "$1" ] || left+=("$pid"); done
  pids=("${left[@]}")
}

# CPU seconds the process has used (its name may hold spaces, so fields count after the ")").
cpu_seconds() {
  sed 's/.*) //' "/proc/$1/stat" | awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f\n", ($12 + $13) / hz }'
}

# CPU nanoseconds the process's threads have used (schedstat, finer than the clock ticks of stat;
# a thread that ended since is not counted, so take both readings while the threads live).
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ ns += $1 } END { printf "%d\n", ns }'; }

# A field of /proc/PID/status in MiB (VmHWM: the peak resident memory; VmRSS: the resident now).
status_mib() { awk -v field="$2:" '$1 == field { printf "%.0f\n", $2 / 1024 }' "/proc/$1/status"; }

# Starts the peak resident memory (VmHWM) of a process over from its resident memory now.
reset_peak() { echo 5 >"/proc/$1/clear_refs"; }

now() { date +%s.%N; }

# B - A, and the seconds since a time of now.
delta() { awk -v a="$1" -v b="$2" 'BEGIN { print b - a }'; }
elapsed() { delta "$1" "$(now)"; }

# ---- Requests. ----

get() { curl -sf --max-time "$max_time" -o /dev/null "$1"; }

# Sends every URL read (one a line) at once, one connection each, and prints the statuses as
# "16x200".
concurrent() {
  local target count=0 args=()
  while read -r target; do args+=(-o /dev/null "$target") && count=$((count + 1)); done
  curl -s --no-progress-meter -Z --parallel-immediate --parallel-max "$count" --max-time "$max_time" \
    -w '%{http_code}\n' "${args[@]}" |
    sort | uniq -c | awk '{ printf "%s%dx%s", (NR > 1 ? ", " : ""), $1, $2 } END { print "" }'
}

# Repeats a URL N times.
times_of() { for _ in $(seq "$2"); do echo "$1"; done; }

# ---- A journal being written. ----

# Writes $work/append.py, which appends COUNT journal lines to FILE, one every INTERVAL seconds on
# a fixed schedule: an agent's tool activity whose detail carries PAD more bytes, times 100 ms
# apart from the day after the generated journals'. Each line is one write, as a journal's writer
# appends it:  python3 "$work/append.py" FILE COUNT INTERVAL PAD
write_append_script() {
  cat >"$work/append.py" <<'EOF'
import datetime, os, sys, time
path, count, interval, pad = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
base = datetime.datetime(2026, 3, 2, tzinfo=datetime.timezone.utc)
fd = os.open(path, os.O_WRONLY | os.O_APPEND)
start = time.monotonic()
for k in range(count):
    ts = (base + datetime.timedelta(milliseconds=100 * k)).strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z"
    line = ('{"v":1,"ts":"%s","stream":"morvane/ses-live","seq":%d,"source":"morvane","kind":"turn-activity",'
            '"labels":{"run_id":"big","node":"node-0","round":1,"persona":"worker","session":"ses-live","role":"agent"},'
            '"payload":{"kind":"tool","name":"Bash","detail":"live step %d %s"}}\n') % (ts, k + 1, k, "x" * pad)
    os.write(fd, line.encode())
    time.sleep(max(0.0, start + (k + 1) * interval - time.monotonic()))
os.close(fd)
EOF
}

# Prints the time in ms of a GET /api/v2/runs of URL every quarter second for SECONDS, one a line.
list_times_for() {
  local end=$(($(date +%s%N) + $2 * 1000000000))
  while [ "$(date +%s%N)" -lt "$end" ]; do
    curl -sf --max-time "$max_time" -o /dev/null -w '%{time_total}\n' "$1/api/v2/runs"
    sleep 0.25
  done | awk '{ print $1 * 1000 }'
}

# ---- Figures. ----

# Prints "LABEL VALUE (target OP TARGET) ok|OVER".
verdict() {
  awk -v label="$1" -v value="$2" -v op="$3" -v target="$4" 'BEGIN {
    ok = op == "<=" ? value <= target : op == "<" ? value < target : value >= target
    printf "  %-44s %.2f (target %s %s) %s\n", label, value, op, target, ok ? "ok" : "OVER" }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.6g\n", (b > 0 ? a / b : 0) }'; }
gib() { awk -v mib="$1" 'BEGIN { printf "%.2f\n", mib / 1024 }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# ---- Sections. ----

# Runs the functions section_NAME for each NAME of $sections in turn (every name checked first),
# after a first line naming the benchmark TITLE, the binaries and the cores.
run_sections() {
  local section
  for section in $sections; do
    declare -F "section_$section" >/dev/null || { echo "unknown section: $section"; exit 2; }
  done
  echo "korvalle-api $1: $binary${base:+ beside $base}; $(nproc) cores"
  for section in $sections; do
    echo
    "section_$section"
  done
}
