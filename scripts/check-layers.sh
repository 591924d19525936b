#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a source includes from a folder above its own: each folder may include only from itself
# and the folders before it in this list (the order of the top-level CMakeLists.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(resources capture platform config controls download sniffer app)
rank() { local i; for i in "${!layers[@]}"; do [ "${layers[$i]}" = "$1" ] && { echo "$i"; return; }; done; echo -1; }
status=0
for folder in "${layers[@]}"; do
  own=$(rank "$folder")
  while IFS=: read -r file line included; do
    target=${included%%/*}
    target_rank=$(rank "$target")
    if [ "$target_rank" -gt "$own" ]; then
      echo "layering: $file:$line includes $included (from $target, above $folder)" >&2
      status=1
    fi
  done < <(grep -rnoE '#include "[a-z]+/[^"]+"' "$folder" --include='*.h' --include='*.cpp' |
           sed -E 's/#include "([^"]+)"/\1/')
done
# Inside capture/, the stages are rooms of their own, in the order a packet passes them; rooms of the
# same rank (the readers of each protocol; the video rules and the playlists) do not include each other.
# QUIC comes after them: it opens its packets with TLS's key log and key schedule, and reads HTTP/3's
# header lists as HTTP/2's.
rooms=(limits source decode stream message "tls http1 http2" quic "judge playlist" session)
room_rank() { local i r; for i in "${!rooms[@]}"; do for r in ${rooms[$i]}; do [ "$r" = "$1" ] && { echo "$i"; return; }; done; done; echo -1; }
for file in $(find capture -name '*.h' -o -name '*.cpp'); do
  room=$(echo "$file" | cut -d/ -f2)
  own=$(room_rank "$room")
  if [ "$own" -lt 0 ]; then
    echo "layering: $file is in no room of capture/" >&2
    status=1
    continue
  fi
  while IFS=: read -r line included; do
    target=$(echo "$included" | cut -d/ -f2)
    target_rank=$(room_rank "$target")
    if [ "$target_rank" -gt "$own" ] || { [ "$target_rank" -eq "$own" ] && [ "$target" != "$room" ]; }; then
      echo "layering: $file:$line includes $included (from capture/$target, not below capture/$room)" >&2
      status=1
    fi
  done < <(grep -noE '#include "capture/[a-z]+/[^"]+"' "$file" | sed -E 's/#include "([^"]+)"/\1/')
done
[ "$status" -eq 0 ] && echo "layering: every include runs downward"
exit "$status"
