#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Records the TLS test captures: curl fetches three files over one kept-alive HTTPS connection from
# video_server.py, once per forced cipher suite, writing its key log; tcpdump keeps every byte.
# Client and server sit in two network namespaces made here, joined by a veth pair with an MTU of
# 1500 and no segmentation offload, so TLS records span several segments as on a real network.
# Then writes the reordered and duplicated variant and each capture's expected headless output.
# Needs root (ip netns, tcpdump), python3, curl and openssl.
# Usage: tests/data/tls/make-tls-captures.sh path/to/tarnwick
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tarnwick="${1:?usage: $0 path/to/tarnwick}"
client_ns="tw15c$$" server_ns="tw15s$$" client_if="tw15a$$" server_if="tw15b$$"
client_address=10.215.0.1
server_address=10.215.0.2
port=18615
base="https://$server_address:$port"
work="$(mktemp -d)"
cleanup() {
  for pid in $(ip netns pids "$server_ns" 2>/dev/null) $(ip netns pids "$client_ns" 2>/dev/null); do
    kill "$pid" 2>/dev/null || true
  done
  ip netns del "$client_ns" 2>/dev/null || true
  ip netns del "$server_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$client_ns"
ip netns add "$server_ns"
ip link add "$client_if" type veth peer name "$server_if"
ip link set "$client_if" netns "$client_ns"
ip link set "$server_if" netns "$server_ns"
ip -n "$client_ns" addr add "$client_address/24" dev "$client_if"
ip -n "$server_ns" addr add "$server_address/24" dev "$server_if"
ip -n "$client_ns" link set "$client_if" gso_max_segs 1 gso_max_size 1500 up
ip -n "$server_ns" link set "$server_if" gso_max_segs 1 gso_max_size 1500 up
# A throw-away self-signed certificate; the captures' secrets are in their key logs anyway.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
  -subj "/CN=videohost.test" 2>/dev/null
openssl genpkey -genparam -algorithm DH -pkeyopt group:ffdhe2048 -out "$work/dh.pem" 2>/dev/null

ip netns exec "$server_ns" python3 "$here/../video_server.py" "$server_address" "$port" \
  --tls "$work/cert.pem" "$work/key.pem" "$work/dh.pem" &
for _ in $(seq 1 50); do
  ip netns exec "$client_ns" curl -sk --noproxy '*' -o /dev/null "$base/tls-page.html" && break
  sleep 0.1
done

# record NAME CURL-TLS-OPTIONS...: one connection, three responses: a video/mp4, a chunked page and an
# untyped file whose body starts with the FLV signature.
record() {
  local name="$1"
  shift
  rm -f "$here/$name.keylog"
  ip netns exec "$client_ns" tcpdump -i "$client_if" -s 0 -U -w "$here/$name.pcap" "tcp port $port" 2>/dev/null &
  local dump_pid=$!
  sleep 1
  ip netns exec "$client_ns" env SSLKEYLOGFILE="$here/$name.keylog" curl -sk --noproxy '*' --http1.1 "$@" \
    -o /dev/null -o /dev/null -o /dev/null \
    "$base/tls-clip.mp4" "$base/tls-chunked.html" "$base/tls-untyped.bin"
  sleep 1
  kill -INT "$dump_pid"
  wait "$dump_pid" || true
}

record tls13-aes128gcm --tlsv1.3 --tls13-ciphers TLS_AES_128_GCM_SHA256
record tls13-aes256gcm --tlsv1.3 --tls13-ciphers TLS_AES_256_GCM_SHA384
record tls13-chacha20 --tlsv1.3 --tls13-ciphers TLS_CHACHA20_POLY1305_SHA256
record tls12-ecdhe-aes128gcm --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-AES128-GCM-SHA256
record tls12-ecdhe-aes256gcm --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-AES256-GCM-SHA384
record tls12-ecdhe-chacha20 --tlsv1.2 --tls-max 1.2 --ciphers ECDHE-RSA-CHACHA20-POLY1305
record tls12-dhe-aes256gcm --tlsv1.2 --tls-max 1.2 --ciphers DHE-RSA-AES256-GCM-SHA384
record tls12-rsa-aes128gcm --tlsv1.2 --tls-max 1.2 --ciphers AES128-GCM-SHA256
python3 "$here/shuffle-capture.py" "$here/tls13-aes128gcm.pcap" "$here/tls13-shuffled.pcap"
cp "$here/tls13-aes128gcm.keylog" "$here/tls13-shuffled.keylog"
# The key log carried inside the capture, in a Decryption Secrets Block (editcap: package wireshark-common).
editcap --inject-secrets "tls,$here/tls13-aes128gcm.keylog" "$here/tls13-aes128gcm.pcap" \
  "$here/tls13-aes128gcm-dsb.pcapng"

for capture in "$here"/*.pcap; do
  name="${capture%.pcap}"
  TZ=GMT0 "$tarnwick" --headless --json --read "$capture" --keylog "$name.keylog" >"$name.expected.jsonl"
done
TZ=GMT0 "$tarnwick" --headless --json --read "$here/tls13-aes128gcm-dsb.pcapng" \
  >"$here/tls13-aes128gcm-dsb.expected.jsonl"
echo "captures written to $here"
