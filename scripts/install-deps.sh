#!/usr/bin/env bash
# Installs from Debian packages what the sets named need, and nothing when it is all there.
# Idempotent and non-interactive; safe to run on every build.
#   scripts/install-deps.sh [SET...]     (default: --dev)
#     --server   the compiler, CMake, Ninja and the libraries the server links (the demo's)
#     --tests    --server, Google Test and Google Benchmark (the suite builds the benchmarks
#                too) and groff (the manual page's check)
#     --clang    --server and clang 14 with its sanitizer runtimes (the sanitizer suite, fuzzing)
#     --bench    --tests and what the benchmark scripts run: wrk, curl, python3
#     --proxy    nginx, curl and python3 (scripts/proxy-test.sh)
#     --browser  Chromium, Node.js and npm (scripts/browser-test.sh)
#     --dev      --tests, --clang and --bench: everything to build, test and measure
#     --all      every set
set -euo pipefail

usage() {
  echo "usage: scripts/install-deps.sh [--server | --tests | --clang | --bench | --proxy | --browser | --dev | --all]..."
}
# The comment at the top of this file, which says what each set holds.
help() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }

server=(build-essential g++-12 cmake ninja-build pkg-config ccache
  libboost1.81-dev libboost-json1.81-dev
  libyaml-dev libcli11-dev libfmt-dev libssl-dev libicu-dev libsimdjson-dev)
tests=("${server[@]}" libgtest-dev libgmock-dev googletest libbenchmark-dev groff-base)
clang=("${server[@]}" clang-14 libclang-rt-14-dev)
bench=("${tests[@]}" wrk curl python3)
proxy=(nginx curl python3)
browser=(chromium nodejs npm)

packages=()
[ $# -gt 0 ] || set -- --dev
for set in "$@"; do
  case "$set" in
    --server) packages+=("${server[@]}") ;;
    --tests) packages+=("${tests[@]}") ;;
    --clang) packages+=("${clang[@]}") ;;
    --bench) packages+=("${bench[@]}") ;;
    --proxy) packages+=("${proxy[@]}") ;;
    --browser) packages+=("${browser[@]}") ;;
    --dev) packages+=("${bench[@]}" "${clang[@]}") ;;
    --all) packages+=("${bench[@]}" "${clang[@]}" "${proxy[@]}" "${browser[@]}") ;;
    -h | --help) help; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

# A tool that is only ever run by name counts as present when its command is found, whichever
# package brought it (Node.js from NodeSource brings its own npm, which Debian's would conflict
# with); anything else when dpkg has it installed.
run_by_name=" curl python3 wrk nginx npm "
present() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" && return 0
  [[ $run_by_name == *" $1 "* ]] && PATH=$PATH:/usr/sbin command -v "$1" >/dev/null
}

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  present "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
