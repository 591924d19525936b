#!/bin/bash
# Records the test captures from real HTTP traffic on loopback and writes their expected headless output.
# Needs root (tcpdump), python3 and curl. Usage: tests/data/make-captures.sh path/to/tarnwick
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tarnwick="${1:?usage: $0 path/to/tarnwick}"
server_address=127.0.0.2
port=8081
base="http://$server_address:$port"

python3 "$here/video_server.py" "$server_address" "$port" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 50); do
  curl -s --noproxy '*' -o /dev/null "$base/clip.mp4" && break
  sleep 0.1
done

# record NAME COMMAND...: captures loopback traffic to the server while COMMAND runs.
record() {
  local name="$1"
  shift
  tcpdump -i lo -s 2048 -U -w "$here/$name.pcap" "tcp and host $server_address and port $port" 2>/dev/null &
  local dump_pid=$!
  sleep 1
  "$@"
  sleep 1
  kill -INT "$dump_pid"
  wait "$dump_pid" || true
  TZ=GMT0 "$tarnwick" --headless --json --read "$here/$name.pcap" >"$here/$name.expected.jsonl"
}

fetch_each() {
  for path in "$@"; do curl -s --noproxy '*' -o /dev/null "$base$path"; done
}

record videos-separate fetch_each /clip.mp4 /movie.flv /inline.flv /small.mp4 /page.html /untyped.bin \
  /same-size.mp4 /clip.mp4
record videos-keepalive curl -s --noproxy '*' -o /dev/null -o /dev/null -o /dev/null -o /dev/null \
  "$base/movie.flv" "$base/page.html" "$base/clip.mp4" "$base/inline.flv"
echo "captures written to $here"
