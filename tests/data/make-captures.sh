#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Records the test captures from real HTTP traffic on loopback and writes their expected headless output.
# Needs root (tcpdump), python3, curl and ffmpeg. Usage: tests/data/make-captures.sh path/to/tarnwick [NAME...]
# (only the named captures; all of them without names).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tarnwick="${1:?usage: $0 path/to/tarnwick [NAME...]}"
shift
wanted=("$@")
server_address=127.0.0.2
port=8081
base="http://$server_address:$port"

# Media made with ffmpeg from its test picture, served by video_server.py from this folder.
media="$(mktemp -d)"
# Noise keeps the encoders from squeezing three seconds below the 100,000-byte threshold.
clip() { ffmpeg -loglevel error -nostdin -f lavfi -i "testsrc=size=320x240:rate=25,noise=alls=12:allf=t" -t 3 "$@"; }
clip -c:v libx264 -pix_fmt yuv420p -b:v 600k "$media/clip.mp4"
clip -c:v libvpx -b:v 600k "$media/clip.webm"
clip -c:v mpeg2video -b:v 600k -f mpegts "$media/clip.ts"
# An HLS stream (a master playlist naming one media playlist) and a DASH stream of four one-second
# segments, picture and tone.
stream_input=(-f lavfi -i "testsrc=size=320x240:rate=25,noise=alls=12:allf=t" -f lavfi -i
  "sine=frequency=440:sample_rate=44100" -t 4 -c:v libx264 -pix_fmt yuv420p -b:v 400k -g 25 -c:a aac -b:a 64k)
mkdir -p "$media/hls" "$media/dash"
ffmpeg -loglevel error -nostdin "${stream_input[@]}" -f hls -hls_time 1 -hls_playlist_type vod \
  -hls_segment_filename "$media/hls/seg%d.ts" -master_pl_name master.m3u8 "$media/hls/index.m3u8"
ffmpeg -loglevel error -nostdin "${stream_input[@]}" -f dash -seg_duration 1 "$media/dash/manifest.mpd"

python3 "$here/video_server.py" "$server_address" "$port" --media "$media" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; rm -rf "$media"' EXIT
for _ in $(seq 1 50); do
  curl -s --noproxy '*' -o /dev/null "$base/clip.mp4" && break
  sleep 0.1
done

# record NAME SNAPLEN COMMAND...: captures loopback traffic to the server while COMMAND runs.
record() {
  local name="$1" snaplen="$2"
  shift 2
  if [ ${#wanted[@]} -gt 0 ] && [[ ! " ${wanted[*]} " == *" $name "* ]]; then return; fi
  tcpdump -i lo -s "$snaplen" -U -w "$here/$name.pcap" "tcp and host $server_address and port $port" 2>/dev/null &
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

fetch_ranges() {
  local path="$1"
  shift
  for range in "$@"; do curl -s --noproxy '*' -o /dev/null -r "$range" "$base$path"; done
}

record videos-separate 2048 fetch_each /clip.mp4 /movie.flv /inline.flv /small.mp4 /page.html /untyped.bin \
  /same-size.mp4 /clip.mp4
record videos-keepalive 2048 curl -s --noproxy '*' -o /dev/null -o /dev/null -o /dev/null -o /dev/null \
  "$base/movie.flv" "$base/page.html" "$base/clip.mp4" "$base/inline.flv"
record videos-by-signature 2048 fetch_each /octet/clip.mp4 /octet/clip.webm /octet/clip.ts
record video-in-ranges 2048 fetch_ranges /media/clip.mp4 0-99999 100000-199999 200000-
# ffmpeg plays each stream at its own pace (-re), so its segments arrive over several seconds. Frames are
# kept up to 8192 bytes: a playlist must be read whole, a segment's answer only to its header.
play() { ffmpeg -loglevel error -nostdin -re -i "$base$1" -c copy -f null -; }
record stream-hls 8192 play /media/hls/master.m3u8
record stream-dash 8192 play /media/dash/manifest.mpd
echo "captures written to $here"
