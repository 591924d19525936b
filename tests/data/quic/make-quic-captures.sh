#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Records headless Chromium playing an MP4 file and a short HLS stream over HTTP/3 only (QUIC, UDP), and
# the same two pages over HTTP/2 for comparison. Chromium sits in a client network namespace, caddy serves
# in a server namespace; both are made here and joined by a veth pair (MTU 1500), and removed at the end.
# Chromium is made to speak QUIC to the test host at once (--origin-to-force-quic-on) and to take the
# throw-away certificate by its key's hash (QUIC accepts no certificate error otherwise). tcpdump keeps
# every byte of the stream's port, UDP and TCP; Chromium writes its key log beside each capture
# (throw-away secrets of a throw-away certificate). Then writes each capture's expected headless output.
# Needs root, caddy, chromium, ffmpeg, tcpdump; hls.js as the browser captures have it
# ($TARNWICK_PLAYER_CACHE or ~/.cache/tarnwick-players, see tests/data/browser/make-browser-captures.sh).
# Usage: tests/data/quic/make-quic-captures.sh path/to/tarnwick [NAME...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
pages="$here/../browser/pages"
tarnwick="$(realpath "${1:?usage: $0 path/to/tarnwick [NAME...]}")"
shift
only=("$@")

for tool in caddy chromium ffmpeg tcpdump ip openssl curl python3; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
players="${TARNWICK_PLAYER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick-players}"
hls_js="$players/node_modules/hls.js/dist/hls.min.js"
[ -f "$hls_js" ] || { echo "needs hls.js in $players (see tests/data/browser/make-browser-captures.sh)" >&2; exit 1; }

# shellcheck source=../recording-lab.sh
source "$here/../recording-lab.sh"
lab_setup twq
stream_port=8443

# The media: six seconds of a small noisy picture with a tone, as one MP4 file (its index first, as
# players like it) and as HLS in one-second MPEG-TS segments under a master playlist.
mkdir -p "$work/media/hls" "$work/page"
input=(-f lavfi -i "testsrc2=size=192x108:rate=25,noise=alls=20:allf=t" -f lavfi
  -i "sine=frequency=440:sample_rate=44100" -t 6 -c:v libx264 -profile:v baseline -pix_fmt yuv420p
  -b:v 330k -maxrate 330k -bufsize 330k -g 25 -keyint_min 25 -sc_threshold 0 -c:a aac -b:a 32k -ac 1)
ffmpeg -loglevel error -nostdin "${input[@]}" -movflags +faststart "$work/media/clip.mp4"
ffmpeg -loglevel error -nostdin "${input[@]}" -f hls -hls_time 1 -hls_playlist_type vod \
  -hls_segment_filename "$work/media/hls/seg%d.ts" -master_pl_name master.m3u8 "$work/media/hls/index.m3u8"
cp "$pages/hls.html" "$pages/player.js" "$here/mp4.html" "$hls_js" "$work/page/"

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 2 -subj "/CN=$host" -addext "subjectAltName=DNS:$host" 2>/dev/null
spki="$(openssl x509 -in "$work/cert.pem" -pubkey -noout | openssl pkey -pubin -outform der |
  openssl dgst -sha256 -binary | base64)"

# One port for the stream, over TCP (HTTP/1.1 and HTTP/2) and UDP (HTTP/3); the page from a port that is
# not recorded.
cat >"$work/Caddyfile" <<EOF
{
	admin off
	auto_https off
	servers :$stream_port {
		protocols h1 h2 h3
	}
	servers :$page_port {
		protocols h1
	}
}
https://$host:$stream_port {
	tls $work/cert.pem $work/key.pem
	root * $work/media
	header Access-Control-Allow-Origin *
	@ts path *.ts
	header @ts Content-Type video/mp2t
	@m3u8 path *.m3u8
	header @m3u8 Content-Type application/vnd.apple.mpegurl
	file_server
}
http://$host:$page_port {
	root * $work/page
	file_server
	log {
		output file $work/access-page.log
		format json
	}
}
EOF

lab_start

# chromium NAME PAGE STREAM-PATH QUIC|TCP: records the stream port while Chromium plays the page (until it
# says the stream ended, at most 90 seconds), with its key log going to NAME.keylog.
chromium() {
  local name="$1" page="$2" path="$3" transport="$4"
  wanted "$name" || return 0
  rm -f "$here/$name.pcap" "$here/$name.keylog" "$here/$name.expected.jsonl"
  mkdir -p "$work/home-$name"
  local quic=(--disable-quic)
  [ "$transport" = QUIC ] && quic=(--enable-quic "--origin-to-force-quic-on=$host:$stream_port")
  ip netns exec "$client_ns" tcpdump -i "$client_if" -s 0 -U -w "$here/$name.pcap" "port $stream_port" 2>/dev/null &
  local dump_pid=$!
  sleep 1
  ip netns exec "$client_ns" env HOME="$work/home-$name" SSLKEYLOGFILE="$here/$name.keylog" chromium --headless \
    --no-sandbox --disable-gpu --no-first-run --disable-background-networking --disable-component-update \
    --disable-sync "${quic[@]}" --user-data-dir="$work/home-$name/profile" \
    "--ignore-certificate-errors-spki-list=$spki" --autoplay-policy=no-user-gesture-required \
    "http://$host:$page_port/$page?case=$name&src=https://$host:$stream_port/$path" >"$work/$name.out" 2>&1 &
  local client_pid=$!
  local waited=0
  until ended "$name" || [ "$waited" -ge 90 ]; do sleep 1; waited=$((waited + 1)); done
  [ "$waited" -lt 90 ] || { echo "$name: the stream did not end within 90 seconds" >&2; tail "$work/$name.out" >&2; }
  sleep 1
  kill "$client_pid" 2>/dev/null || true
  wait "$client_pid" 2>/dev/null || true
  for pid in $(ip netns pids "$client_ns"); do [ "$pid" = "$dump_pid" ] || kill "$pid" 2>/dev/null || true; done
  sleep 1
  kill -INT "$dump_pid"
  wait "$dump_pid" || true
  [ -s "$here/$name.keylog" ] || rm -f "$here/$name.keylog"
}

chromium chromium-mp4-h3 mp4.html clip.mp4 QUIC
chromium chromium-hls-h3 hls.html hls/master.m3u8 QUIC
chromium chromium-mp4-h2 mp4.html clip.mp4 TCP
chromium chromium-hls-h2 hls.html hls/master.m3u8 TCP

for capture in "$here"/*.pcap; do
  name="${capture%.pcap}"
  wanted "$(basename "$name")" || continue
  keylog=()
  [ -f "$name.keylog" ] && keylog=(--keylog "$name.keylog")
  TZ=GMT0 "$tarnwick" --headless --json --read "$capture" "${keylog[@]}" >"$name.expected.jsonl"
done
echo "captures written to $here"
