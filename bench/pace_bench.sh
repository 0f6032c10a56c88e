#!/usr/bin/env bash
# Pace benchmark: clients that read a large answer in bursts. One generated run of ENVELOPES
# (116 000) envelopes, whose full detail is about 41 MB, served by this build and, with
# BASE_BINARY, by the base binary beside it on the same root, every client of both at once. Each
# server gets four clients asking for that detail (with `connection: close`) that read
#
#   1.2 MiB every 20 s, 1.2 MiB every 25 s     (target: the whole answer)
#   64 KiB every 25 s, nothing                 (target: closed at about 30 s)
#
# For each: when the server closed the connection, read from the server's side of it in
# /proc/net/tcp (the client would see the end only once it has read what the kernel still holds),
# and how much of the body it got. The bursty readers take about 14 minutes to read the whole.
#
#   bench/pace_bench.sh [BUILD_DIR] [BASE_BINARY]     (default: build; no comparison)
#
# Knobs: ENVELOPES=116000, MAX_SECONDS=1200 (a client still reading then is reported as such).
set -euo pipefail
base=${2:+$(realpath "$2")}
cd "$(dirname "$0")/.."
build=${1:-build}
envelopes=${ENVELOPES:-116000}
max_seconds=${MAX_SECONDS:-1200}
max_time=60

# shellcheck source=bench/server_procs.sh
. bench/server_procs.sh
bench_setup pace-bench replay_bench

# The clients of one server: HOST PORT PATH LABEL then one BURST:SECONDS per client (a burst of
# 0: never reads). Prints one line per client.
cat >"$work/bursts.py" <<'PY'
import socket, sys, threading, time

host, port, path, label, max_seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], float(sys.argv[5])
schedules = [tuple(float(x) for x in given.split(":")) for given in sys.argv[6:]]
request = f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nConnection: close\r\n\r\n".encode()
start = time.monotonic()


class Client:
    def __init__(self, burst, every):
        self.burst, self.every = int(burst), every
        self.socket = socket.create_connection((host, port))
        self.socket.sendall(request)
        self.port = self.socket.getsockname()[1]
        self.closed_at = None  # when the server closed its side
        self.received = b""

    def read(self, count):
        got = 0
        while got < count:
            data = self.socket.recv(min(count - got, 1 << 20))
            if not data:
                return False
            got += len(data)
            if len(self.received) < 65536:
                self.received += data
            self.total += len(data)
        return True

    def run(self):
        self.total = 0
        ticks = 0
        while self.closed_at is None and time.monotonic() - start < max_seconds:
            if self.burst and not self.read(self.burst):
                break
            ticks += 1
            while self.closed_at is None and time.monotonic() < start + ticks * self.every:
                time.sleep(0.05)
        # The server is done with the connection: what it wrote is there to read.
        self.socket.settimeout(60)
        if self.closed_at is not None:
            try:
                self.read(1 << 40)
            except OSError:
                pass

    def body(self):
        head = self.received.split(b"\r\n\r\n", 1)[0]
        length = next((int(line.split(b":")[1]) for line in head.split(b"\r\n")
                       if line.lower().startswith(b"content-length:")), None)
        return self.total - len(head) - 4, length


def watch(clients):
    # The server's end of each connection, in /proc/net/tcp: its local port is the server's, its
    # remote port the client's; state 01 is ESTABLISHED.
    while any(c.closed_at is None for c in clients) and time.monotonic() - start < max_seconds:
        established = set()
        with open("/proc/net/tcp") as table:
            for row in table.readlines()[1:]:
                fields = row.split()
                if int(fields[1].split(":")[1], 16) == port and fields[3] == "01":
                    established.add(int(fields[2].split(":")[1], 16))
        for c in clients:
            if c.closed_at is None and c.port not in established:
                c.closed_at = time.monotonic() - start
        time.sleep(0.25)


clients = [Client(*schedule) for schedule in schedules]
threads = [threading.Thread(target=c.run) for c in clients] + [threading.Thread(target=watch, args=(clients,))]
for t in threads:
    t.start()
for t in threads:
    t.join()
for c in clients:
    size = f"{c.burst / 1048576:.1f} MiB" if c.burst >= 1 << 20 else f"{c.burst >> 10} KiB"
    what = f"{size} every {c.every:.0f} s" if c.burst else "never reads"
    body, length = c.body()
    if c.closed_at is None:
        end = f"still open at {max_seconds:.0f} s"
    else:
        end = f"{'whole' if body == length else 'cut'} at {c.closed_at:.1f} s"
    print(f"  {label:<10} {what:<24} {end:<18} {body / 1e6:6.1f} of {(length or 0) / 1e6:.1f} MB")
PY

root=$work/runs
"$build/bench/replay_bench" --write-run "$root/big-run" "$envelopes" >/dev/null
sleep 2  # a view read within 2 s of its files' last change serves its own request only

echo "korvalle-api pace benchmark: $binary${base:+ beside $base}; one run of $envelopes envelopes"
clients=(1258291.2:20 1258291.2:25 65536:25 0:25)
start_server "$binary" "$root"
this_url=$url
get "$this_url/api/v2/runs/big-run"  # opened once, so that every client is answered at once
python3 "$work/bursts.py" 127.0.0.1 "${this_url##*:}" /api/v2/runs/big-run "this build" "$max_seconds" \
  "${clients[@]}" >"$work/this" &
readers=("$!")
if [ -n "$base" ]; then
  start_server "$base" "$root"
  base_url=$url
  get "$base_url/api/v2/runs/big-run"
  python3 "$work/bursts.py" 127.0.0.1 "${base_url##*:}" /api/v2/runs/big-run base "$max_seconds" \
    "${clients[@]}" >"$work/base" &
  readers+=("$!")
fi
pids+=("${readers[@]}")
wait "${readers[@]}"
cat "$work/this"
[ -z "$base" ] || cat "$work/base"
