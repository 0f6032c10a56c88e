#!/usr/bin/env bash
# Installs what the build needs, builds korvalle-api into build/, and serves the demo runs root
# (examples/runs) on http://127.0.0.1:8765 until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target korvalle-api
exec build/korvalle-api serve --runs-root examples/runs --bind 127.0.0.1:8765
