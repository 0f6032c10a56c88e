#!/usr/bin/env bash
# The tests that need file permissions to bind (a runs root that cannot be listed, run files that
# cannot be read) skip when run by root, as CI is: run by root, this script runs them again as
# the user nobody, from a copy of their test program in a scratch directory that user can reach.
#   scripts/unprivileged-test.sh [BUILD_DIR]     (default: build, as scripts/test.sh leaves it)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tests=Listing.EmptyMissingFileAndUnlistableRootsGiveNoRuns:Listing.OneEntryByNameFollowsTheListingsRule
tests+=:OpenRun.UnreadableFilesCountAsAbsent
count=3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
cp "$build/tests/test_run" "$work/"
mkdir "$work/tmp"
as_user=()
if [ "$(id -u)" -eq 0 ]; then
  chown nobody:nogroup "$work/tmp"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
TMPDIR=$work/tmp "${as_user[@]}" "$work/test_run" --gtest_filter="$tests" | tee "$work/out"
# Every one of them ran, and none skipped.
grep -q "^\[  PASSED  \] $count tests\.$" "$work/out" && ! grep -q '^\[  SKIPPED \]' "$work/out" || {
  echo "unprivileged-test: expected $count tests to pass, none skipped" >&2
  exit 1
}
