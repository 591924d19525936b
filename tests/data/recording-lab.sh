# SPDX-License-Identifier: GPL-3.0-or-later
# Shared by the scripts that record a real browser between two network namespaces: the namespaces, the
# caddy server of $work/Caddyfile, and the bookkeeping of the cases. Sourced, not run.

# lab_setup PREFIX: names the namespaces and links after PREFIX and this shell, makes $work, and removes
# all of it on exit.
lab_setup() {
  client_ns="${1}c$$" server_ns="${1}s$$" client_if="${1}$$a" server_if="${1}$$b"
  client_address=192.0.2.1
  server_address=192.0.2.2
  host=videohost.test
  page_port=8000
  work="$(mktemp -d)"
  trap lab_cleanup EXIT
}

lab_cleanup() {
  for pid in $(ip netns pids "$client_ns" 2>/dev/null) $(ip netns pids "$server_ns" 2>/dev/null); do
    kill "$pid" 2>/dev/null || true
  done
  sleep 0.5
  ip netns del "$client_ns" 2>/dev/null || true
  ip netns del "$server_ns" 2>/dev/null || true
  rm -rf "/etc/netns/$client_ns" "$work"
}

# lab_start: the namespaces joined by a veth pair of 1500-byte frames (no offloads, so the capture holds
# what the wire carries), the host name known in the client's, and caddy serving in the server's.
lab_start() {
  ip netns add "$client_ns"
  ip netns add "$server_ns"
  ip link add "$client_if" type veth peer name "$server_if"
  ip link set "$client_if" netns "$client_ns"
  ip link set "$server_if" netns "$server_ns"
  ip -n "$client_ns" addr add "$client_address/24" dev "$client_if"
  ip -n "$server_ns" addr add "$server_address/24" dev "$server_if"
  ip -n "$client_ns" link set "$client_if" mtu 1500 gso_max_segs 1 gso_max_size 1500 up
  ip -n "$server_ns" link set "$server_if" mtu 1500 gso_max_segs 1 gso_max_size 1500 up
  ip -n "$client_ns" link set lo up
  ip -n "$server_ns" link set lo up
  # "ip netns exec" lays this over /etc/hosts for the client namespace's programs.
  mkdir -p "/etc/netns/$client_ns"
  echo "$server_address $host" >"/etc/netns/$client_ns/hosts"

  ip netns exec "$server_ns" env HOME="$work" XDG_DATA_HOME="$work/caddy" XDG_CONFIG_HOME="$work/caddy" \
    caddy run --config "$work/Caddyfile" >"$work/caddy.out" 2>&1 &
  for _ in $(seq 1 50); do
    ip netns exec "$client_ns" curl -s --noproxy '*' -o /dev/null "http://$host:$page_port/player.js" && break
    sleep 0.2
  done
}

# wanted NAME: whether case NAME is to be recorded (all when the script was given no names).
wanted() {
  [ "${#only[@]}" -eq 0 ] && return 0
  local name
  for name in "${only[@]}"; do [ "$name" = "$1" ] && return 0; done
  return 1
}

# ended NAME: whether the page of case NAME said that its stream ended, or failed (then says why).
ended() {
  grep -q "\"uri\":\"/ended?case=$1" "$work/access-page.log" 2>/dev/null && return 0
  if grep -q "\"uri\":\"/failed?case=$1" "$work/access-page.log" 2>/dev/null; then
    grep -o "\"uri\":\"/failed?case=$1[^\"]*" "$work/access-page.log" >&2
    return 0
  fi
  return 1
}
