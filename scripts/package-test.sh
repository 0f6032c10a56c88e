#!/usr/bin/env bash
# What a packager does: configure a Release build without tests and benchmarks (which must then
# look for neither Google Test nor Google Benchmark), build the server alone, into build-notests,
# and install it under a scratch prefix, which must then hold the server, its manual page, the
# licence and the changelog and nothing else. The installed server must run, and its manual page
# must render without a warning, name the server's version and quote every help text the server
# prints. JOBS sets how many compile jobs run at once (default: one per core).
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "package-test: $*" >&2; exit 1; }
scripts/install-deps.sh --tests

build=build-notests
# Either library, if looked for, would now fail the configure.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVALLE_WERROR=ON \
  -DBUILD_TESTING=OFF -DKORVALLE_BENCH=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target korvalle-api
[ -x "$build/korvalle-api" ] || fail "no $build/korvalle-api"

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . ! -type d | sort)
expected="./bin/korvalle-api
./share/doc/korvalle-api/CHANGELOG.md
./share/doc/korvalle-api/LICENSE
./share/man/man1/korvalle-api.1"
[ "$installed" = "$expected" ] || fail "the install holds ${installed//$'\n'/ }, not ${expected//$'\n'/ }"
cmp -s LICENSE "$prefix/share/doc/korvalle-api/LICENSE" || fail "the installed licence is not LICENSE"
bin=$prefix/bin/korvalle-api
page=$prefix/share/man/man1/korvalle-api.1
version=$("$bin" --version)
echo "$version"

# The page as man shows it, without hyphenation (so that every word stays whole) and without
# bold or underline; then as one line, each run of blanks one space.
warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns of the manual page: $warnings"
rendered=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -rHY=0 -P-cbou "$page")
[[ $(grep -v '^$' <<<"$rendered" | tail -n 1) == "$version "* ]] ||
  fail "the manual page's footer does not begin with \"$version\""
text=$(tr -s ' \n' '  ' <<<"$rendered")

# Every help text of the server, one text a line: the text of each line with its option or
# command column taken off, and each default apart; the usage lines and headings aside.
help_texts() {
  { "$bin" --help; "$bin" serve -h; "$bin" serve --help; } |
    sed -E -e '/^(Usage|Options|Commands):/d' \
      -e 's/^ *(-[a-zA-Z], )?--?[a-z-]+( <[A-Z]+>)?( {2,}|$)//' -e 's/^  [a-z]+  +//' \
      -e 's/^ +//' -e 's/ *(\[default: [^]]*\])$/\n\1/' |
    sed '/^$/d' | sort -u
}
texts=$(help_texts)
[ "$(wc -l <<<"$texts")" -ge 12 ] || fail "too few help texts read from the server: $texts"
while IFS= read -r quoted; do
  [[ $text == *"$quoted"* ]] || fail "the manual page does not quote \"$quoted\""
done <<<"$texts"
echo "package-test: the install holds ${expected//$'\n'/ }; the manual page renders cleanly and" \
  "quotes all $(wc -l <<<"$texts") help texts"
