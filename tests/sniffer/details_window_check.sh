#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The window's tool tips with each video's picture and details, on a virtual display: serves videos on
# 127.0.0.5, fetches them with curl while the window captures, hovers each row and takes a screenshot of
# its tool tip. Three of the files are crafted: one makes the decoder hang, one makes it crash (through a
# stand-in for ffprobe and ffmpeg that behaves so on them and runs the real ones otherwise), one is no
# media at all. The window must keep running with every row in place; the screenshots are for a person to
# look at.
#
# Usage: details_window_check.sh TARNWICK VIDEO_SERVER OUTPUT_FOLDER. Exits 77 (skipped) where Xvfb,
# xdotool, ffmpeg or curl is missing or capture on lo is not permitted.
set -euo pipefail
tarnwick=$1 server_script=$2 out=$3
for tool in Xvfb xdotool ffmpeg ffprobe curl; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ "$(id -u)" = 0 ] || { echo "SKIP: capture on lo needs root here"; exit 77; }
mkdir -p "$out"
work=$(mktemp -d -t tarnwick-details-window.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/home/.config/Tarnwick" "$work/tmp" "$work/media" "$work/fake"

# The stand-in decoder: hangs (in a child of its own, as a stuck decoder might) or crashes on the crafted files.
cat > "$work/fake/ffmpeg" <<'SCRIPT'
#!/bin/sh
for argument in "$@"; do case "$argument" in file:*) input=${argument#file:} ;; esac; done
if [ -n "${input:-}" ] && grep -q TARNWICK-HANG "$input"; then sleep 3600; fi
if [ -n "${input:-}" ] && grep -q TARNWICK-CRASH "$input"; then kill -SEGV $$; fi
exec "/usr/bin/$(basename "$0")" "$@"
SCRIPT
cp "$work/fake/ffmpeg" "$work/fake/ffprobe"
# Started by root, the decoders run as nobody: the stand-in must be within their reach.
chmod 755 "$work" "$work/fake" "$work/fake/ffmpeg" "$work/fake/ffprobe"
printf '[Tarnwick]\nFFPlayExe=/usr/bin/ffplay\nTempDir=%s\nFFmpegExe=%s\n' "$work/tmp" "$work/fake/ffmpeg" \
  > "$work/home/.config/Tarnwick/Tarnwick.ini"

ffmpeg -v error -y -f lavfi -i "testsrc2=size=480x270:rate=25,noise=alls=30:allf=t+u" -t 6 -c:v libx264 \
  -preset ultrafast -crf 23 -g 25 "$work/media/end.mp4"
ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -t 4 -c:v libvpx -deadline realtime -cpu-used 8 \
  -b:v 600k "$work/media/clip.webm"
craft() {  # NAME MARKER SIZE: an ftyp box, then the marker and filler
  { printf '\x00\x00\x00\x18ftypisom\x00\x00\x02\x00isomiso2'; printf '%s' "$2"; head -c "$3" /dev/urandom; } \
    > "$work/media/$1"
}
craft hang.mp4 TARNWICK-HANG 150000
craft crash.mp4 TARNWICK-CRASH 160000
craft garbage.mp4 "" 170000

display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
port=$((20000 + RANDOM % 40000))
python3 "$server_script" 127.0.0.5 "$port" --media "$work/media" >"$work/server.log" 2>&1 &
pids+=($!)
sleep 1
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config DISPLAY=$display "$tarnwick" >"$work/gui.out" 2>"$work/gui.err" &
gui=$!
pids+=($gui)
window=
for _ in $(seq 100); do
  window=$(DISPLAY=$display xdotool search --name "Recently Sniffed" 2>/dev/null | head -1) && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "FAIL: the window did not open"; cat "$work/gui.err"; exit 1; }
for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.5:$port/none" && break; sleep 0.1; done

names=(end.mp4 clip.webm hang.mp4 crash.mp4 garbage.mp4)
for name in "${names[@]}"; do curl -s -f -o /dev/null "http://127.0.0.5:$port/media/$name?run=$$"; done
# The hanging decoder is stopped after its time limit; then every row has its tool tip.
sleep 25
kill -0 "$gui" || { echo "FAIL: the window ended"; exit 1; }

read -r x y < <(DISPLAY=$display xdotool getwindowgeometry "$window" | sed -n 's/.*Position: \([0-9]*\),\([0-9]*\).*/\1 \2/p')
# Rows are 17 pixels apart, newest first, below the list's header.
for row in 0 1 2 3 4; do
  DISPLAY=$display xdotool mousemove $((x + 60)) $((y + 200)) && sleep 0.5
  DISPLAY=$display xdotool mousemove $((x + 70)) $((y + 35 + row * 17)) && sleep 2
  ffmpeg -v error -y -f x11grab -video_size 1280x800 -i "$display" -frames:v 1 "$out/row$row.png"
done
kill -0 "$gui" || { echo "FAIL: the window ended"; exit 1; }
echo "the window runs on; screenshots in $out"
