#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Records real players fetching a short HLS and a short DASH stream: headless Chromium and Firefox with
# hls.js and dash.js over HTTPS (HTTP/2 and HTTP/1.1, TLS 1.3 and 1.2), and nghttp over clear-text
# HTTP/2 (by prior knowledge and by Upgrade). The players sit in a client network namespace, caddy
# serves in a server namespace; both are made here and joined by a veth pair with an MTU of 1500 and
# no segmentation offload. tcpdump keeps every byte of the stream's connections; each browser writes
# its key log beside its capture (throw-away secrets of a throw-away certificate). Then writes each
# capture's expected headless output, and checks it against tshark where tshark is installed.
# Installs what it needs (Debian packages; hls.js and dash.js from npm into a cache folder outside the
# repository, $TARNWICK_PLAYER_CACHE or ~/.cache/tarnwick-players). Needs root.
# Usage: tests/data/browser/make-browser-captures.sh path/to/tarnwick [NAME...]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tarnwick="$(realpath "${1:?usage: $0 path/to/tarnwick [NAME...]}")"
shift
only=("$@")

# What is missing, from Debian; the players from npm, pinned so that a new recording behaves as this one.
packages=()
need() { command -v "$1" >/dev/null || packages+=("$2"); }
need caddy caddy
need chromium chromium
need firefox-esr firefox-esr
need nghttp nghttp2-client
need h2load nghttp2-client
need curl curl
need ip iproute2
need tcpdump tcpdump
need ffmpeg ffmpeg
need certutil libnss3-tools
need npm npm
need openssl openssl
need python3 python3
need tshark tshark
if [ "${#packages[@]}" -gt 0 ]; then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${packages[@]}"
fi
players="${TARNWICK_PLAYER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick-players}"
hls_js="$players/node_modules/hls.js/dist/hls.min.js"
dash_js="$players/node_modules/dashjs/dist/modern/umd/dash.all.min.js"
if [ ! -f "$hls_js" ] || [ ! -f "$dash_js" ]; then
  mkdir -p "$players"
  npm install --prefix "$players" --no-audit --no-fund --no-save hls.js@1.7.4 dashjs@5.2.1
fi

# shellcheck source=../recording-lab.sh
source "$here/../recording-lab.sh"
lab_setup twbr

# The streams: a few seconds of a small noisy picture with a tone, one-second segments. HLS: a master
# playlist naming one media playlist of MPEG-TS segments; DASH: SegmentTemplate with a timeline, a
# video and an audio representation, each with its init segment.
mkdir -p "$work/media/hls" "$work/media/dash" "$work/page"
stream_input=(-f lavfi -i "testsrc2=size=192x108:rate=25,noise=alls=20:allf=t" -f lavfi
  -i "sine=frequency=440:sample_rate=44100" -t 6 -c:v libx264 -profile:v baseline -pix_fmt yuv420p
  -b:v 330k -maxrate 330k -bufsize 330k -g 25 -keyint_min 25 -sc_threshold 0 -c:a aac -b:a 32k -ac 1)
ffmpeg -loglevel error -nostdin "${stream_input[@]}" -f hls -hls_time 1 -hls_playlist_type vod \
  -hls_segment_filename "$work/media/hls/seg%d.ts" -master_pl_name master.m3u8 "$work/media/hls/index.m3u8"
ffmpeg -loglevel error -nostdin "${stream_input[@]}" -f dash -seg_duration 1 "$work/media/dash/manifest.mpd"
cp "$here/pages/hls.html" "$here/pages/dash.html" "$here/pages/player.js" "$hls_js" "$dash_js" "$work/page/"

# A throw-away certificate authority and a certificate for the host it signs: Firefox trusts the
# authority through its profile, Chromium is told to take any certificate.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -days 2 -subj "/CN=Throw-away test CA" -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" -out "$work/host.csr" \
  -subj "/CN=$host" 2>/dev/null
printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$host" >"$work/host.ext"
openssl x509 -req -in "$work/host.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 2 \
  -out "$work/cert.pem" -extfile "$work/host.ext" 2>/dev/null

# One caddy, one port per protocol and TLS version (caddy wants HTTP/1.1 beside HTTP/2). The stream's
# files carry the types HLS and DASH servers send (caddy's own guess for .ts is not always video/mp2t);
# .m4s segments go without a type, as caddy serves them. The page and the players come from a port that
# is not recorded, so the captures hold only the stream's connection.
cat >"$work/Caddyfile" <<EOF
{
	admin off
	auto_https off
	servers :8443 {
		protocols h1 h2
	}
	servers :8444 {
		protocols h1
	}
	servers :8445 {
		protocols h1 h2
	}
	servers :8446 {
		protocols h1
	}
	servers :8080 {
		protocols h1 h2c
	}
	servers :$page_port {
		protocols h1
	}
}
(stream) {
	root * $work/media
	header Access-Control-Allow-Origin *
	@ts path *.ts
	header @ts Content-Type video/mp2t
	@m3u8 path *.m3u8
	header @m3u8 Content-Type application/vnd.apple.mpegurl
	@mpd path *.mpd
	header @mpd Content-Type application/dash+xml
	file_server
	log {
		output file $work/access-{args.0}.log
		format json
	}
}
https://$host:8443 {
	tls $work/cert.pem $work/key.pem {
		protocols tls1.3 tls1.3
	}
	import stream 8443
}
https://$host:8444 {
	tls $work/cert.pem $work/key.pem {
		protocols tls1.2 tls1.2
	}
	import stream 8444
}
https://$host:8445 {
	tls $work/cert.pem $work/key.pem {
		protocols tls1.2 tls1.2
	}
	import stream 8445
}
https://$host:8446 {
	tls $work/cert.pem $work/key.pem {
		protocols tls1.3 tls1.3
	}
	import stream 8446
}
http://$host:8080 {
	import stream 8080
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

# server_saw PORT FROM-LINE: the stream files the server sent since that line of its access log, as
# the server's own witness beside tshark's.
server_saw() {
  tail -n "+$2" "$work/access-$1.log" | python3 -c '
import json, sys
sizes = {}
for line in sys.stdin:
    entry = json.loads(line)
    path = entry["request"]["uri"].split("?")[0]
    if 200 <= entry["status"] < 300 and not path.endswith((".m3u8", ".mpd")):
        sizes.setdefault(path, entry["size"])
print(f"server sent {len(sizes)} segments, {sum(sizes.values())} bytes")'
}

# capture NAME PORT COMMAND...: records the client's connections to PORT while COMMAND runs in the client
# namespace, with its key log going to NAME.keylog; COMMAND runs until it exits, or for a browser until
# its page says the stream ended (at most 90 seconds).
capture() {
  local name="$1" port="$2"
  shift 2
  wanted "$name" || return 0
  rm -f "$here/$name.pcap" "$here/$name.keylog" "$here/$name.expected.jsonl"
  touch "$work/access-$port.log"
  local from=$(($(wc -l <"$work/access-$port.log") + 1))
  ip netns exec "$client_ns" tcpdump -i "$client_if" -s 0 -U -w "$here/$name.pcap" "tcp port $port" 2>/dev/null &
  local dump_pid=$!
  sleep 1
  ip netns exec "$client_ns" env HOME="$work/home-$name" SSLKEYLOGFILE="$here/$name.keylog" "$@" \
    >"$work/$name.out" 2>&1 &
  local client_pid=$!
  if [ "$1" != chromium ] && [ "$1" != firefox-esr ]; then
    wait "$client_pid" || { echo "$name: the client failed" >&2; tail "$work/$name.out" >&2; }
  else
    local waited=0
    until ended "$name" || [ "$waited" -ge 90 ]; do sleep 1; waited=$((waited + 1)); done
    [ "$waited" -lt 90 ] || { echo "$name: the stream did not end within 90 seconds" >&2; tail "$work/$name.out" >&2; }
    sleep 1
    kill "$client_pid" 2>/dev/null || true
    wait "$client_pid" 2>/dev/null || true
    # The browser's helper processes, if any outlived it (all of the client namespace's but tcpdump).
    for pid in $(ip netns pids "$client_ns"); do [ "$pid" = "$dump_pid" ] || kill "$pid" 2>/dev/null || true; done
  fi
  sleep 1
  kill -INT "$dump_pid"
  wait "$dump_pid" || true
  [ -s "$here/$name.keylog" ] || rm -f "$here/$name.keylog"
  echo "$name: $(server_saw "$port" "$from")"
}

page="http://$host:$page_port"
# chromium NAME PAGE STREAM-URL
chromium() {
  local name="$1"
  wanted "$name" || return 0
  mkdir -p "$work/home-$name"
  capture "$name" "$(echo "$3" | sed -E 's|^https?://[^:/]+:([0-9]+)/.*|\1|')" chromium --headless --no-sandbox \
    --disable-gpu --no-first-run --disable-background-networking --disable-component-update --disable-sync \
    --disable-quic --user-data-dir="$work/home-$name/profile" --ignore-certificate-errors \
    --autoplay-policy=no-user-gesture-required "$page/$2?case=$name&src=$3"
}
# firefox NAME PAGE STREAM-URL: a fresh profile that trusts the test authority and plays without a gesture.
firefox() {
  local name="$1"
  wanted "$name" || return 0
  local profile="$work/home-$name/profile"
  mkdir -p "$profile"
  cp "$here/firefox-user.js" "$profile/"
  certutil -N -d "sql:$profile" --empty-password
  certutil -A -n "throw-away test CA" -t "C,," -i "$work/ca.pem" -d "sql:$profile"
  capture "$name" "$(echo "$3" | sed -E 's|^https?://[^:/]+:([0-9]+)/.*|\1|')" firefox-esr --headless --no-remote \
    --profile "$profile" "$page/$2?case=$name&src=$3"
}

hls=hls/master.m3u8
dash=dash/manifest.mpd
for browser in chromium firefox; do
  "$browser" "$browser-hls-h2-tls13" hls.html "https://$host:8443/$hls"
  "$browser" "$browser-dash-h2-tls13" dash.html "https://$host:8443/$dash"
  "$browser" "$browser-hls-h1-tls12" hls.html "https://$host:8444/$hls"
  "$browser" "$browser-dash-h1-tls12" dash.html "https://$host:8444/$dash"
done
chromium chromium-hls-h2-tls12 hls.html "https://$host:8445/$hls"
chromium chromium-hls-h1-tls13 hls.html "https://$host:8446/$hls"

# Clear-text HTTP/2 has no browser. As a player does, h2load (by prior knowledge) and curl (by Upgrade
# from HTTP/1.1: the master playlist's request asks to switch) ask for the master playlist, the media
# playlist and every segment one after the other on one connection (curl 7.88 cannot reuse a connection
# it opened by prior knowledge). nghttp asks for all of them at once on one connection, both ways: the
# answers for the segments then begin before the media playlist's body has come.
segments=()
for file in "$work"/media/hls/seg*.ts; do segments+=("http://$host:8080/hls/$(basename "$file")"); done
hls_files=("http://$host:8080/$hls" "http://$host:8080/hls/index.m3u8" "${segments[@]}")
discard=()
for _ in "${hls_files[@]}"; do discard+=(-o /dev/null); done
for name in h2load-hls-h2c-prior-knowledge curl-hls-h2c-upgrade nghttp-hls-h2c-prior-knowledge nghttp-hls-h2c-upgrade; do
  mkdir -p "$work/home-$name"
done
capture h2load-hls-h2c-prior-knowledge 8080 h2load --clients=1 --max-concurrent-streams=1 \
  --requests="${#hls_files[@]}" "${hls_files[@]}"
capture curl-hls-h2c-upgrade 8080 curl -sS --noproxy '*' --http2 "${discard[@]}" "${hls_files[@]}"
capture nghttp-hls-h2c-prior-knowledge 8080 nghttp -n "${hls_files[@]}"
capture nghttp-hls-h2c-upgrade 8080 nghttp -nu "${hls_files[@]}"

for capture in "$here"/*.pcap; do
  name="${capture%.pcap}"
  wanted "$(basename "$name")" || continue
  keylog=()
  [ -f "$name.keylog" ] && keylog=(--keylog "$name.keylog")
  TZ=GMT0 "$tarnwick" --headless --json --read "$capture" "${keylog[@]}" >"$name.expected.jsonl"
done
echo "captures written to $here"
if command -v tshark >/dev/null; then
  checked=()
  for capture in "$here"/*.pcap; do wanted "$(basename "${capture%.pcap}")" && checked+=("$capture"); done
  python3 "$here/check-browser-captures.py" "${checked[@]}" || echo "some captures disagree with tshark: see above" >&2
fi
