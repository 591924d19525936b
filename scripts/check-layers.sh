#!/bin/bash
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
# Inside capture/, the stages are rooms of their own: decode/ needs nothing above it, and no stage
# includes the session that runs them.
if grep -rnE '#include "capture/(source|detect|stream|tls|http1|http2|playlist)/' capture/decode >&2; then status=1; fi
if grep -rnE '#include "capture/CaptureSession.h"' capture/*/ >&2; then status=1; fi
[ "$status" -eq 0 ] && echo "layering: every include runs downward"
exit "$status"
