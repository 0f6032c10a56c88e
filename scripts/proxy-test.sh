#!/usr/bin/env bash
# The README's nginx lines for serving a UI and the API behind a reverse proxy, in a real nginx:
# the whole `server` block is taken from README.md as it stands (only its ports and its root
# change), put in front of the real server on a copy of the demo runs root, and checked to serve
# the UI's files and a plain route, to refuse a foreign Host as the server does, and to pass the
# change feed's snapshot and a frame as soon as the server sends it.
#   scripts/proxy-test.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
wait_s=10   # how long a frame or an answer may take to come through the proxy

# Debian's nginx package (on a machine with systemd it also starts nginx as a service of its own).
scripts/install-deps.sh --proxy
nginx=$(command -v nginx || echo /usr/sbin/nginx)

if [ ! -x "$build/korvalle-api" ]; then
  scripts/install-deps.sh --server
  cmake -S . -B "$build" -G Ninja -DKORVALLE_WERROR=ON
  cmake --build "$build" --target korvalle-api
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "proxy-test: $*" >&2; [ -f "$work/error.log" ] && cat "$work/error.log" >&2; exit 1; }

# Waits until FILE holds a line matching PATTERN, for at most $wait_s seconds.
wait_for() {
  local file=$1 pattern=$2 deadline=$((SECONDS + wait_s))
  until grep -q "$pattern" "$file" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# The server, on an ephemeral port, over a copy of the demo root that this script appends to.
cp -r examples/runs "$work/runs"
"$build/korvalle-api" serve --runs-root "$work/runs" --bind 127.0.0.1:0 --poll-interval-ms 100 \
  >"$work/server.out" 2>"$work/server.err" &
pids+=($!)
wait_for "$work/server.out" "^korvalle-api: serving" || fail "the server did not start: $(cat "$work/server.err")"
server_port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)$|\1|p' "$work/server.out")

# The README's block, as written in its section on the reverse proxy.
block=$(sed -n '/^## A UI on the same origin, behind a reverse proxy$/,$p' README.md |
  sed -n '/^    server {$/,/^    }$/p' | sed 's/^    //')
[ -n "$block" ] || fail "no nginx server block in the README's section on the reverse proxy"
for line in 'listen 127.0.0.1:8080;' 'proxy_pass http://127.0.0.1:8765;' 'root /srv/korvalle-ui;'; do
  grep -qF "$line" <<<"$block" || fail "the README's server block must hold \`$line\`"
done
# The UI's files, with a text of this run's own that tells this nginx from whatever else may
# answer on its port.
mkdir "$work/ui"
ui_text="korvalle-ui $$ $RANDOM"
echo "$ui_text" >"$work/ui/index.html"

# nginx in the foreground, one process, every path in the scratch directory. It cannot be told to
# take any free port, so it gets one that was free a moment ago, and another if that was taken.
mkdir "$work/nginx"
for attempt in 1 2 3; do
  proxy_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  server_block=${block//127.0.0.1:8765/127.0.0.1:$server_port}
  server_block=${server_block//127.0.0.1:8080/127.0.0.1:$proxy_port}
  server_block=${server_block//\/srv\/korvalle-ui/$work/ui}
  cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
error_log $work/error.log;
pid $work/nginx.pid;
events {}
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
$server_block
}
CONF
  "$nginx" -p "$work/nginx" -c "$work/nginx.conf" -e "$work/error.log" &
  nginx_pid=$!
  deadline=$((SECONDS + wait_s))
  until [ "$(curl -s --max-time 1 "http://127.0.0.1:$proxy_port/")" = "$ui_text" ] || ! kill -0 "$nginx_pid" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || fail "nginx did not start"
    sleep 0.1
  done
  if kill -0 "$nginx_pid" 2>/dev/null; then pids+=("$nginx_pid"); break; fi
  [ "$attempt" -lt 3 ] || fail "nginx did not start"
done
proxy=http://127.0.0.1:$proxy_port

# GET of the run list through the proxy, with the curl options given: the status, then the body.
runs_through_proxy() {
  curl -s -o "$work/runs.json" -w '%{http_code}' --max-time "$wait_s" "$@" "$proxy/api/v2/runs?limit=1" ||
    fail "no answer to /api/v2/runs through the proxy (curl $*)"
}
# The run list answers under each name a browser on this machine may use, and under the
# server_name when an HTTP/1.0 client names none.
for how in "" "-H Host:localhost:$proxy_port" "--http1.0 -H Host:"; do
  # shellcheck disable=SC2086  # each is a list of options
  status=$(runs_through_proxy $how)
  [ "$status" = 200 ] && grep -q '"next_cursor":"2026-03-07-flaky-ci-triage"' "$work/runs.json" ||
    fail "/api/v2/runs through the proxy (curl $how) answered $status: $(cat "$work/runs.json")"
done

# A name that a web page made to resolve to this machine is refused through the proxy, as it is by
# the server itself.
status=$(runs_through_proxy -H "Host: rebound.attacker.example:$proxy_port")
[ "$status" = 403 ] && grep -q '"rebound.attacker.example"' "$work/runs.json" ||
  fail "a foreign Host through the proxy got $status, not 403: $(cat "$work/runs.json")"

# The change feed, as a page from http://localhost:PORT/ asks for it: the snapshot, then the
# frame of one appended journal line, which is far too small to fill a buffer of nginx's, so it
# comes through only if nothing holds it back.
run=2026-03-07-flaky-ci-triage
curl -sN --max-time 60 -H "Host: localhost:$proxy_port" "$proxy/api/v2/events?run_id=$run" >"$work/stream" &
pids+=($!)
wait_for "$work/stream" '^event: snapshot$' || fail "no snapshot came through the proxy in ${wait_s}s"
sent=$(date +%s%N)
echo '{"v":1,"ts":"2026-03-07T22:50:00.000Z","stream":"driver","seq":6,"source":"pipeline","kind":"note","labels":{"run_id":"'$run'","round":1},"payload":{}}' \
  >>"$work/runs/$run/events.jsonl"
wait_for "$work/stream" '^event: run.changed$' ||
  fail "the run.changed frame did not come through the proxy in ${wait_s}s; the stream so far: $(cut -c1-120 "$work/stream")"
echo "proxy-test: $("$nginx" -v 2>&1 | sed 's/.*: //') served the UI, passed /api/v2/runs, refused a foreign Host," \
  "passed the snapshot, and run.changed" \
  "$(( ($(date +%s%N) - sent) / 1000000 )) ms after the journal line"
