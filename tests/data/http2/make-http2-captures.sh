#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Records the HTTP/2 test captures: nghttpd serves generated files, with TLS and in clear text (pushing
# pushed.mp4 with page.html); nghttpx in front of the clear-text one takes the switch from HTTP/1.1
# (nghttpd itself does not). curl and nghttp fetch the files on loopback while tcpdump keeps every byte.
# Then writes each capture's expected headless output.
# Needs root (tcpdump), nghttpd, nghttpx, nghttp, curl and openssl. Usage: tests/data/http2/make-http2-captures.sh path/to/tarnwick
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tarnwick="${1:?usage: $0 path/to/tarnwick}"
address=127.0.0.16
tls_port=8443
clear_port=8080
upgrade_port=8081
work="$(mktemp -d)"
pids=()
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; rm -rf "$work"' EXIT

# The files: two videos named by their type, one too small to list, one known only by its first bytes,
# a page, and the video pushed with the page. Sizes differ: the video table takes equal sizes for one video.
mkdir "$work/htdocs"
head -c 120000 /dev/zero | tr '\0' 'm' >"$work/htdocs/clip.mp4"
head -c 130000 /dev/zero | tr '\0' 'w' >"$work/htdocs/movie.webm"
head -c 50000 /dev/zero | tr '\0' 's' >"$work/htdocs/small.mp4"
{ printf 'FLV\001\005'; head -c 139995 /dev/zero; } >"$work/htdocs/untyped.bin"
echo '<html><body>a page</body></html>' >"$work/htdocs/page.html"
head -c 150000 /dev/zero | tr '\0' 'p' >"$work/htdocs/pushed.mp4"
printf 'video/mp4 mp4\nvideo/webm webm\ntext/html html\napplication/octet-stream bin\n' >"$work/mime.types"
# A throw-away self-signed certificate; the captures' secrets are in their key logs anyway.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
  -subj "/CN=videohost.test" 2>/dev/null

serve=(nghttpd --address="$address" --htdocs="$work/htdocs" --mime-types-file="$work/mime.types")
"${serve[@]}" "$tls_port" "$work/key.pem" "$work/cert.pem" &
pids+=($!)
"${serve[@]}" --no-tls --push=/page.html=/pushed.mp4 "$clear_port" &
pids+=($!)
nghttpx --conf=/dev/null --workers=1 --log-level=WARN --frontend="$address,$upgrade_port;no-tls" \
  --backend="$address,$clear_port;;proto=h2" 2>/dev/null &
pids+=($!)
for _ in $(seq 1 50); do
  curl -sk --noproxy '*' --http2 -o /dev/null "https://$address:$tls_port/page.html" &&
    curl -s --noproxy '*' --http2-prior-knowledge -o /dev/null "http://$address:$clear_port/page.html" &&
    curl -s --noproxy '*' --http2 -o /dev/null "http://$address:$upgrade_port/page.html" && break
  sleep 0.1
done

# record NAME PORT COMMAND...: captures loopback traffic to the server while COMMAND runs.
record() {
  local name="$1" port="$2"
  shift 2
  tcpdump -i lo -s 0 -U -w "$here/$name.pcap" "tcp and host $address and port $port" 2>/dev/null &
  local dump_pid=$!
  sleep 1
  "$@" || { kill -INT "$dump_pid"; echo "$name: the client failed" >&2; return 1; }
  sleep 1
  kill -INT "$dump_pid"
  wait "$dump_pid" || true
}

tls="https://$address:$tls_port"
clear="http://$address:$clear_port"
# h2 inside TLS: five requests at the same time on one connection.
rm -f "$here/h2-tls.keylog"
record h2-tls "$tls_port" env SSLKEYLOGFILE="$here/h2-tls.keylog" curl -sSk --no-progress-meter --noproxy '*' --http2 --parallel \
  -o /dev/null -o /dev/null -o /dev/null -o /dev/null -o /dev/null \
  "$tls/clip.mp4" "$tls/movie.webm" "$tls/small.mp4" "$tls/untyped.bin" "$tls/page.html"
# h2c by prior knowledge: nghttp asks for three files on one connection at once; the server pushes a
# fourth with the page.
record h2c-prior-knowledge "$clear_port" nghttp -n "$clear/clip.mp4" "$clear/movie.webm" "$clear/page.html"
# h2c by Upgrade: the first request asks to switch and is answered on stream 1, the second on stream 3.
# (nghttp: curl 7.88 gives up when the answer right after the 101 exceeds its buffer.)
upgrade="http://$address:$upgrade_port"
record h2c-upgrade "$upgrade_port" nghttp -nu "$upgrade/clip.mp4" "$upgrade/untyped.bin"

for capture in h2-tls h2c-prior-knowledge h2c-upgrade; do
  keylog=()
  [ -f "$here/$capture.keylog" ] && keylog=(--keylog "$here/$capture.keylog")
  TZ=GMT0 "$tarnwick" --headless --json --read "$here/$capture.pcap" "${keylog[@]}" >"$here/$capture.expected.jsonl"
done
echo "captures written to $here"
