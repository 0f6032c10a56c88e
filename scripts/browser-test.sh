#!/usr/bin/env bash
# The change feed in a real browser (tests/browser/events.mjs): Debian's chromium driven by
# playwright-core from npm, against the real server built by scripts/test.sh. Kept apart from
# scripts/test.sh so that the suite stays fast without a browser.
#   scripts/browser-test.sh [BUILD_DIR]     (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/install-deps.sh --browser
(cd tests/browser && npm ci --no-audit --no-fund --silent)

if [ ! -x "$build/korvalle-api" ]; then
  scripts/install-deps.sh --server
  cmake -S . -B "$build" -G Ninja -DKORVALLE_WERROR=ON
  cmake --build "$build" --target korvalle-api
fi
# The stand-in pipeline tool, when the tests were built, answers telemetry.
[ -x "$build/tests/fake_korvalle" ] && export KORVALLE_UI_KORVALLE_BIN="$PWD/$build/tests/fake_korvalle"
# CI runs as root, where chromium's sandbox cannot start; the page is our own server's.
node tests/browser/events.mjs "$build/korvalle-api" /usr/bin/chromium
