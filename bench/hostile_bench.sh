#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Replays the crafted captures of bench/hostile_captures.py through `tarnwick --headless --json --read`
# and prints, per capture, the CPU time and peak memory against the goals: CPU within a few times what a
# plain capture of the same size and packet count takes, peak memory within the limits' stated total
# per capture thread plus the program's own base. Each capture is replayed again under the ASan+UBSan
# build when there is one, to show that nothing undefined happens on the way. Not a test: it prints
# figures (a Markdown table, for docs/benchmarks-hostile.md).
#
#   bash bench/hostile_bench.sh [BUILD_DIR] [CAPTURE_DIR]
#
# BUILD_DIR (default build) holds tarnwick and bench/capture_bench; CAPTURE_DIR (default
# /tmp/tarnwick-hostile) receives the captures, written when missing. Environment:
#   ASAN_BUILD   the sanitizer build's folder (default build-asan; skipped when it has no tarnwick)
#   COMPARE      other builds of tarnwick to measure beside, as NAME=PATH words (e.g.
#                "main=/work/main/build/tarnwick"): each adds a CPU and a peak memory column
#   TIMEOUT      seconds of wall time per run before it is stopped (default 300; COMPARE_TIMEOUT for the
#                compared builds)
#   ONLY         a pattern: only the captures whose names match it (the plain ones always run)
#   CPU_FACTOR   how many times the plain figure the CPU goal allows (default 4)
# Runs under a scratch XDG_CONFIG_HOME, so the default limits hold whatever Tarnwick.ini says.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd) || exit 1
captures=${2:-/tmp/tarnwick-hostile}
asan=${ASAN_BUILD:-build-asan}
compare=${COMPARE:-}
timeout=${TIMEOUT:-300}
compare_timeout=${COMPARE_TIMEOUT:-$timeout}
only=${ONLY:-}
factor=${CPU_FACTOR:-4}
tarnwick=$build/tarnwick

[ -x "$tarnwick" ] && [ -x "$build/bench/capture_bench" ] || { echo "hostile_bench: build $build first" >&2; exit 1; }
command -v /usr/bin/time >/dev/null || { echo "hostile_bench: /usr/bin/time is missing (apt-get install time)" >&2; exit 1; }
mkdir -p "$captures"
missing=()
for name in $(python3 "$here/hostile_captures.py" --list); do
  [ -s "$captures/$name" ] || missing+=("$name")
done
if [ ${#missing[@]} -gt 0 ]; then
  python3 "$here/hostile_captures.py" "$captures" --only "${missing[@]}" || exit 1
fi

work=$(mktemp -d /tmp/tarnwick-hostile-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config"
total_bytes=$("$build/bench/capture_bench" total)
total_mib=$((total_bytes / 1048576))

# run BINARY CAPTURE TIMEOUT [ENV...]: sets cpu, rss_kib, status, log (the run's stderr)
run() {
  local binary=$1 capture=$2 limit=$3
  shift 3
  local keys=()
  [ -f "${capture%.*}.keylog" ] && keys=(--keylog "${capture%.*}.keylog")
  log=$work/run.log
  env XDG_CONFIG_HOME="$work/config" "$@" /usr/bin/time -v -o "$work/time" timeout -s KILL "$limit" \
    "$binary" --headless --json --read "$capture" "${keys[@]}" >/dev/null 2>"$log"
  status=$?
  local user system
  user=$(sed -n 's/.*User time (seconds): //p' "$work/time")
  system=$(sed -n 's/.*System time (seconds): //p' "$work/time")
  rss_kib=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time")
  cpu=$(printf '%.2f' "$(echo "${user:-0} + ${system:-0}" | bc)")
  # time(1) reports the status of timeout, which is 137 when it had to kill.
  [ "$status" -eq 137 ] && status=timeout
  return 0
}

# The limits the run's last lines name as reached, by key.
limits_reached() {
  grep -o 'limits reached: .*' "$log" | sed 's/^limits reached: //; s/ (each can be raised.*//' |
    tr ';' '\n' | sed -n 's/^ *\([A-Za-z0-9]*\) (.*) \([0-9]*\) times\{0,1\}$/\1 \2/p' | paste -sd, - | sed 's/,/, /g'
}

packets_of() { sed -n 's/.*: \([0-9]*\) packets read.*/\1/p' "$log" | head -1; }
mib() { printf '%.1f' "$(echo "scale=2; $1 / 1024" | bc)"; }

# The yardsticks: a plain capture of ordinary browsing, and one of as many tiny in-order segments as the
# floods have, both about 3 MB.
run "$tarnwick" "$captures/plain-3m.pcap" "$timeout"
plain_cpu=$cpu
plain_bytes=$(stat -c %s "$captures/plain-3m.pcap")
run "$tarnwick" "$captures/plain-300k.pcap" "$timeout"
base_rss_kib=$rss_kib
small_cpu_first=$cpu
run "$tarnwick" "$captures/plain-small-segments.pcap" "$timeout"
small_cpu=$cpu
small_packets=$(packets_of)
echo "Yardsticks: plain-3m.pcap ${plain_cpu} s; plain-small-segments.pcap ${small_cpu} s for $small_packets packets;"
echo "plain-300k.pcap ${small_cpu_first} s, peak RSS $(mib "$base_rss_kib") MiB (the program's base)."
echo "Stated total per capture thread (CaptureLimits::TotalBytes, default limits): $total_mib MiB."
echo "Goals: CPU <= $factor x the larger of plain-3m scaled by size and plain-small-segments scaled by packets;"
echo "peak RSS <= base + stated total = $(( base_rss_kib / 1024 + total_mib )) MiB."
echo

header="| capture | size | packets | CPU s | goal s | peak RSS MiB | within total | limits reached | ASan+UBSan |"
for entry in $compare; do header="$header ${entry%%=*}: CPU s | ${entry%%=*}: peak RSS MiB |"; done
echo "$header"
echo "$header" | sed 's/[^|][^|]*/ --- /g'
for capture in "$captures"/*.pcap "$captures"/*.pcapng; do
  name=$(basename "$capture")
  case $name in plain-*) ;; *) [ -n "$only" ] && [[ ! $name =~ $only ]] && continue ;; esac
  size=$(stat -c %s "$capture")
  run "$tarnwick" "$capture" "$timeout"
  packets=$(packets_of)
  packets=${packets:-0}
  goal=$(printf '%.2f' "$(echo "scale=3; a = $plain_cpu * $size / $plain_bytes; b = $small_cpu * $packets / $small_packets;
               if (a < b) a = b; if (a < $plain_cpu) a = $plain_cpu; $factor * a" | bc)")
  within=yes
  [ "$rss_kib" -gt $(( base_rss_kib + total_bytes / 1024 )) ] && within=NO
  [ "$status" != 0 ] && within="$within (exit $status)"
  reached=$(limits_reached)
  cpu_mark=$cpu
  [ "$(echo "$cpu > $goal" | bc)" = 1 ] && cpu_mark="**$cpu**"
  row="| $name | $((size / 1024)) KiB | $packets | $cpu_mark | $goal | $(mib "$rss_kib") | $within | ${reached:-none} |"
  if [ -x "$asan/tarnwick" ]; then
    run "$asan/tarnwick" "$capture" $((timeout * 10)) ASAN_OPTIONS=detect_leaks=1 \
      UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
    if grep -q 'runtime error\|ERROR: AddressSanitizer\|ERROR: LeakSanitizer' "$log"; then
      row="$row **$(grep -m1 -o 'runtime error.*\|ERROR: [A-Za-z]*Sanitizer: [a-z-]*' "$log" | cut -c1-80)** |"
      cp "$log" "$captures/$name.sanitizer.log"
    elif [ "$status" != 0 ]; then
      row="$row exit $status |"
    else
      row="$row clean |"
    fi
  else
    row="$row not built |"
  fi
  for entry in $compare; do
    # An older build may grow without bound: its address space is capped so that it fails instead of
    # the machine.
    run "${entry#*=}" "$capture" "$compare_timeout" bash -c 'ulimit -v 8388608; exec "$@"' --
    if [ "$status" = timeout ]; then
      row="$row > $compare_timeout (stopped) | $(mib "$rss_kib") |"
    elif [ "$status" != 0 ]; then
      row="$row $cpu (exit $status$(grep -q bad_alloc "$log" && echo ', bad_alloc')) | $(mib "$rss_kib") |"
    else
      row="$row $cpu | $(mib "$rss_kib") |"
    fi
  done
  echo "$row"
done
