#!/usr/bin/env bash
# Installs what the server needs to build (scripts/install-deps.sh --server), builds
# korvalle-api into build-demo/ (its own folder, so that it never rebuilds what scripts/test.sh
# built), and serves the demo runs root (examples/runs) until Ctrl-C.
#   scripts/serve-demo.sh [--bind HOST:PORT]     (default: 127.0.0.1:8765)
# The address goes to the server as is. KORVALLE_UI_KORVALLE_BIN, when set, names the program
# that answers telemetry.
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { echo "usage: scripts/serve-demo.sh [--bind HOST:PORT]"; }
help() {
  usage
  echo "Installs what the server needs, builds it into build-demo/ and serves examples/runs on"
  echo "HOST:PORT (default 127.0.0.1:8765) until Ctrl-C."
}
bind=127.0.0.1:8765
while [ $# -gt 0 ]; do
  case "$1" in
    --bind) [ $# -ge 2 ] || { usage >&2; exit 2; }; bind=$2; shift 2 ;;
    --bind=*) bind=${1#--bind=}; shift ;;
    -h | --help) help; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done
scripts/install-deps.sh --server
build=build-demo
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALLE_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target korvalle-api
exec "$build/korvalle-api" serve --runs-root examples/runs --bind "$bind"
