#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Records the link-type and IPv6 test captures from real HTTP traffic between two network namespaces
# that it creates (and removes), converts to the link types (and VLAN tags) that no live link here has,
# and writes their expected headless output. Needs root (namespaces, tcpdump), python3 and curl.
# Usage: tests/data/make-link-captures.sh path/to/tarnwick
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tarnwick="$(realpath "${1:?usage: $0 path/to/tarnwick}")"
port=8081
loopback_port=8082
# This run's namespaces and devices (device names have at most 15 characters).
client="tw-links-$$-client"
server="tw-links-$$-server"
veth_c="tw$$c"
veth_s="tw$$s"
tun_c="tw$$ct"
tun_s="tw$$st"
pids=()

cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$client" 2>/dev/null || true
  ip netns del "$server" 2>/dev/null || true
}
trap cleanup EXIT

on() { local namespace="$1"; shift; ip netns exec "$namespace" "$@"; }

# Ethernet between the namespaces.
ip netns add "$client"
ip netns add "$server"
ip link add "$veth_c" mtu 9000 type veth peer name "$veth_s" mtu 9000
ip link set "$veth_c" netns "$client"
ip link set "$veth_s" netns "$server"
# configure NAMESPACE DEVICE IPV4/PREFIX IPV6/PREFIX
configure() {
  ip -n "$1" addr add "$3" dev "$2"
  ip -n "$1" -6 addr add "$4" dev "$2" nodad
  ip -n "$1" link set "$2" up
}
ip -n "$client" link set lo up
ip -n "$server" link set lo up
configure "$client" "$veth_c" 198.51.100.1/24 2001:db8:14::1/64
configure "$server" "$veth_s" 198.51.100.2/24 2001:db8:14::2/64

# Bare IP packets: a tun device in each namespace, joined by a forwarder.
python3 "$here/tun_pair.py" "$tun_c" "$client" "$tun_s" "$server" >"/tmp/tw-links-$$-tun" &
pids+=($!)
for _ in $(seq 1 50); do grep -q ready "/tmp/tw-links-$$-tun" 2>/dev/null && break; sleep 0.1; done
rm -f "/tmp/tw-links-$$-tun"
ip -n "$client" link set "$tun_c" mtu 9000
ip -n "$server" link set "$tun_s" mtu 9000
configure "$client" "$tun_c" 203.0.113.129/26 2001:db8:14:30::1/64
configure "$server" "$tun_s" 203.0.113.130/26 2001:db8:14:30::2/64

# One server for every address of the server namespace (an IPv6 socket takes IPv4 too), and one on the
# client namespace's own loopback.
# Started by "ip netns exec" itself (not through a function), so that $! is the server's own process.
ip netns exec "$server" python3 "$here/video_server.py" :: "$port" &
pids+=($!)
ip netns exec "$client" python3 "$here/video_server.py" :: "$loopback_port" &
pids+=($!)
# fetch URL [CURL OPTIONS...]: from the client namespace, bounded in time.
fetch() { on "$client" curl -s --noproxy '*' --max-time 10 -o /dev/null "$@"; }
for url in "http://198.51.100.2:$port/clip.mp4" "http://[::1]:$loopback_port/clip.mp4"; do
  for _ in $(seq 1 50); do fetch "$url" && break; sleep 0.1; done
done

# record NAME INTERFACE LINK-TYPE FILTER COMMAND...: captures in the client namespace while COMMAND runs,
# frames cut at 300 bytes (the detector reads only the start of a payload).
record() {
  local name="$1" interface="$2" link="$3" filter="$4"
  shift 4
  ip netns exec "$client" tcpdump -Z root -i "$interface" -y "$link" -s 300 -U -w "$here/$name.pcap" "$filter" \
    2>/dev/null &
  local dump_pid=$!
  sleep 1
  "$@"
  sleep 1
  kill -INT "$dump_pid"
  wait "$dump_pid" || true
}

expect() {
  TZ=GMT0 "$tarnwick" --headless --json --read "$here/$1" >"$here/${1%.*}.expected.jsonl"
}

# both_versions IPV4 IPV6: an mp4 over IPv4, a Flash video whose header and body come apart over IPv6.
both_versions() {
  fetch "http://$1:$port/clip.mp4"
  fetch "http://[$2]:$port/movie.flv"
}
# Over IPv4, over IPv6, and over IPv6 without a Host header (the URL then names the server's address).
ethernet() {
  both_versions 198.51.100.2 2001:db8:14::2
  fetch "http://[2001:db8:14::2]:$port/inline.flv" -H "Host:"
}
# Over the veth, and over the client namespace's loopback, where the "any" adapter sees each frame twice.
everywhere() {
  both_versions 198.51.100.2 2001:db8:14::2
  fetch "http://[::1]:$loopback_port/inline.flv"
  fetch "http://127.0.0.1:$loopback_port/untyped.bin"
}

record link-ethernet "$veth_c" EN10MB tcp ethernet
record link-sll any LINUX_SLL tcp everywhere
record link-sll2 any LINUX_SLL2 tcp everywhere
record link-raw "$tun_c" RAW tcp both_versions 203.0.113.130 2001:db8:14:30::2
# No VLAN devices here: the Ethernet capture's frames are tagged afterwards.
for kind in vlan qinq; do
  python3 "$here/convert-link-type.py" "$kind" "$here/link-ethernet.pcap" "$here/link-$kind.pcap"
done
for kind in ipv4 ipv6 null loop; do
  python3 "$here/convert-link-type.py" "$kind" "$here/link-raw.pcap" "$here/link-$kind.pcap"
done
for name in ethernet vlan qinq sll sll2 raw ipv4 ipv6 null loop; do expect "link-$name.pcap"; done
echo "captures written to $here"
