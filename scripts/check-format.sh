#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a C++ file of the repository is not formatted as .clang-format says. Only files git
# tracks are read, so build folders and scratch files never count.
#
#   bash scripts/check-format.sh     # lists what differs; `clang-format -i FILE` mends a file
set -euo pipefail
cd "$(dirname "$0")/.."

# Each release of clang-format formats a little differently: the one of clang 14 is the reference.
formatter=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$formatter" ] || { echo "format: clang-format is not installed (Debian package clang-format)" >&2; exit 1; }

# A listing that fails (no git, not a checkout) fails the check: an empty one would pass it unread.
listing=$(git ls-files -- '*.cpp' '*.h')
mapfile -t files <<<"$listing"
[ -n "$listing" ] || { echo "format: git lists no C++ files here" >&2; exit 1; }
if ! report=$("$formatter" --dry-run --Werror "${files[@]}" 2>&1); then
  grep -E '^[^ ].*: error:' <<<"$report" | cut -d: -f1 | sort -u | sed 's/^/format: differs: /' >&2
  echo "format: run clang-format -i on the files above ($("$formatter" --version | sed 's/.*version //'))" >&2
  exit 1
fi
echo "format: ${#files[@]} files as .clang-format says"
