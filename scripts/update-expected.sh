#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Writes the expected lines of every recorded capture (tests/data/**/NAME.expected.jsonl) again from
# what the built tarnwick prints, after a change meant to alter them; each is its capture's own test
# (ctest -L recorded), run in a mode that writes before it compares. Read the difference before
# committing it: every changed line must be one the change meant.
#
#   bash scripts/update-expected.sh [BUILD_DIR] [TEST_REGEX]
#
# TEST_REGEX picks tests by name, e.g. 'recorded\.tls/' or 'recorded\.link-'. The build folder must be
# configured with BUILD_TESTING=ON; tarnwick is built first so the lines never come from an old binary.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
pattern=${2:-}
[ -f "$build/CTestTestfile.cmake" ] || { echo "update-expected: no tests configured in $build (BUILD_TESTING=ON)" >&2; exit 1; }
cmake --build "$build" --target tarnwick >/dev/null

status=0
TARNWICK_UPDATE_EXPECTED=1 ctest --test-dir "$build" -L recorded ${pattern:+-R "$pattern"} --output-on-failure -j2 ||
  status=1
echo "== Changed expected lines"
git status --short -- 'tests/data/*.expected.jsonl'
git diff --stat -- 'tests/data/*.expected.jsonl'
[ "$status" -eq 0 ] || echo "update-expected: some captures failed a check that writing cannot settle (see above)" >&2
exit "$status"
