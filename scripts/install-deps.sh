#!/usr/bin/env bash
# Installs every build, test and benchmark dependency from Debian packages.
# Idempotent and non-interactive; safe to run on every build.
set -euo pipefail

packages=(
  build-essential g++-12 cmake ninja-build pkg-config ccache
  libboost1.81-dev libboost-json1.81-dev
  libyaml-dev libcli11-dev libfmt-dev libssl-dev libicu-dev libsimdjson-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-14 libclang-rt-14-dev
  wrk curl python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo_cmd apt-get update -q
  $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
