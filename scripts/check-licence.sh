#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a source file of the repository does not state its licence in its first line (after a #!
# line where there is one): a comment "SPDX-License-Identifier: GPL-3.0-or-later", as the package's
# copyright file says of every file.
set -euo pipefail
cd "$(dirname "$0")/.."

# A listing that fails (no git, not a checkout) fails the check: an empty one would pass it unread.
listing=$(git ls-files -- '*.cpp' '*.h' '*.sh' '*.py' '*.cmake' 'CMakeLists.txt' '*/CMakeLists.txt' 'docs/man/*.1')
[ -n "$listing" ] || { echo "licence: git lists no source files here" >&2; exit 1; }
status=0
count=0
while IFS= read -r file; do
  count=$((count + 1))
  if ! head -n 2 "$file" | grep -qE '^(//|#|\.\\") SPDX-License-Identifier: GPL-3\.0-or-later$'; then
    echo "licence: $file does not begin with its SPDX-License-Identifier line" >&2
    status=1
  fi
done <<<"$listing"
[ "$status" -eq 0 ] && echo "licence: $count source files state it"
exit "$status"
