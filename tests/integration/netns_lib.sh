# SPDX-License-Identifier: MIT
# Network namespaces for integration tests (bash functions to source).  Every
# namespace is "$NETNS_PREFIX<name>" (default "brv<PID>-"), recorded, and
# deleted by name by netns_cleanup, which netns_install_trap runs on EXIT, INT
# and TERM after stopping the processes netns_spawn started.  The namespaces
# have no link to the host's network.  Needs root, iproute2, nftables and
# miniupnpd (miniupnpd-nftables) for the gateway.

NETNS_PREFIX="${NETNS_PREFIX:-brv$$-}"
NETNS_CREATED=() NETNS_PIDS=()
NETNS_LAN_NET="${NETNS_LAN_NET:-10.231.1}"     # LAN: client .2, gateway .1
NETNS_WAN_NET="${NETNS_WAN_NET:-10.231.2}"     # WAN: gateway .1, far host .2
# Only reported to clients by miniupnpd, never contacted.
NETNS_DECLARED_EXT_IP="${NETNS_DECLARED_EXT_IP:-11.22.33.44}"

# Prints "SKIPPED: <reason>" and exits 77 (ctest: skipped) when namespaces cannot be made here.
netns_skip_unless_possible() {
  local why=""
  if [ "$(id -u)" -ne 0 ]; then why="network namespaces need root"
  elif ! command -v ip > /dev/null; then why="iproute2 (ip) is not installed"
  elif ! ip netns add "${NETNS_PREFIX}probe" 2> /dev/null; then why="cannot create a network namespace"
  fi
  [ -z "$why" ] || { echo "SKIPPED: $why"; exit 77; }
  ip netns del "${NETNS_PREFIX}probe"
}

netns_exec() { ip netns exec "$@"; }

# netns_link NS_A IF_A ADDR_A/LEN NS_B IF_B ADDR_B/LEN: a veth pair, both ends up and addressed.
netns_link() {
  ip link add name "$2" netns "$1" type veth peer name "$5" netns "$4" || return 1
  ip -n "$1" addr add "$3" dev "$2" && ip -n "$1" link set "$2" up &&
    ip -n "$4" addr add "$6" dev "$5" && ip -n "$4" link set "$5" up
}

# netns_spawn NS LOGFILE COMMAND...: COMMAND in NS in the background; PID in NETNS_SPAWNED.
netns_spawn() {
  ip netns exec "$1" "${@:3}" > "$2" 2>&1 &
  NETNS_SPAWNED=$! NETNS_PIDS+=("$!")
}

# netns_stop PID: SIGTERM, SIGKILL after 5 s; waits for it.
netns_stop() {
  kill -TERM "$1" 2> /dev/null || return 0
  for _ in {1..50}; do kill -0 "$1" 2> /dev/null && sleep 0.1 || break; done
  kill -KILL "$1" 2> /dev/null || true
  wait "$1" 2> /dev/null || true
}

# Stops the spawned processes (last first), runs netns_install_trap's extra
# command once, deletes the namespaces by name.  Safe to call twice.
netns_cleanup() {
  local i ns extra="${NETNS_TRAP_EXTRA:-}"
  for (( i = ${#NETNS_PIDS[@]} - 1; i >= 0; i-- )); do netns_stop "${NETNS_PIDS[i]}"; done
  NETNS_PIDS=() NETNS_TRAP_EXTRA=""
  [ -z "$extra" ] || eval "$extra"
  for ns in "${NETNS_CREATED[@]}"; do ip netns del "$ns" 2> /dev/null || true; done
  NETNS_CREATED=()
}

netns_install_trap() {
  NETNS_TRAP_EXTRA="${1:-}"
  trap 'netns_cleanup' EXIT; trap 'exit 130' INT; trap 'exit 143' TERM
}

# A LAN client ($NETNS_LAN, lan0 .2, default route via the gateway), the
# gateway ($NETNS_GW, lan0 .1, wan0 .1, forwarding) and a far host ($NETNS_WAN,
# wan0 .2).  Sets NETNS_LAN/GW/WAN, LAN_IP, GW_LAN_IP, GW_WAN_IP, WAN_IP.
netns_gateway_topology() {
  NETNS_LAN="${NETNS_PREFIX}lan" NETNS_GW="${NETNS_PREFIX}gw" NETNS_WAN="${NETNS_PREFIX}wan"
  for ns in "$NETNS_LAN" "$NETNS_GW" "$NETNS_WAN"; do
    ip netns add "$ns" && NETNS_CREATED+=("$ns") && ip -n "$ns" link set lo up || return 1
  done
  LAN_IP="$NETNS_LAN_NET.2" GW_LAN_IP="$NETNS_LAN_NET.1" GW_WAN_IP="$NETNS_WAN_NET.1" WAN_IP="$NETNS_WAN_NET.2"
  netns_link "$NETNS_LAN" lan0 "$LAN_IP/24" "$NETNS_GW" lan0 "$GW_LAN_IP/24" || return 1
  netns_link "$NETNS_GW" wan0 "$GW_WAN_IP/24" "$NETNS_WAN" wan0 "$WAN_IP/24" || return 1
  ip -n "$NETNS_LAN" route add default via "$GW_LAN_IP" &&
    netns_exec "$NETNS_GW" sysctl -qw net.ipv4.ip_forward=1
}

# The table miniupnpd fills in (the packaged nft_init.sh wrongly requires iptables).
netns_nft_miniupnpd_table() {
  netns_exec "$1" nft -f - <<'NFT'
table inet filter {
  chain miniupnpd { }; chain prerouting_miniupnpd { }; chain postrouting_miniupnpd { }
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
}
NFT
}

# miniupnpd_start v1|v2 DIR [HTTP_PORT]: miniupnpd in $NETNS_GW (external wan0,
# serving lan0 at HTTP_PORT, default 5000); v1 forces version 1 descriptions.
# Sets MINIUPNPD_PID and MINIUPNPD_PORT; returns 1 when it does not come up.
miniupnpd_start() {
  local dir="$2" force=no
  MINIUPNPD_PORT="${3:-5000}"
  mkdir -p "$dir"
  [ "$1" = v1 ] && force=yes
  cat > "$dir/miniupnpd.conf" <<CONF
ext_ifname=wan0
ext_ip=$NETNS_DECLARED_EXT_IP
listening_ip=lan0
port=$MINIUPNPD_PORT
enable_upnp=yes
enable_natpmp=no
secure_mode=no
system_uptime=yes
notify_interval=60
clean_ruleset_interval=0
uuid=3f2b8a8e-6f33-4c5e-9a0b-$(printf '%012d' "$$")
force_igd_desc_v1=$force
lease_file=$dir/leases
allow 1024-65535 $NETNS_LAN_NET.0/24 1024-65535
deny 0-65535 0.0.0.0/0 0-65535
CONF
  netns_spawn "$NETNS_GW" "$dir/miniupnpd.log" miniupnpd -d -f "$dir/miniupnpd.conf" -P "$dir/miniupnpd.pid"
  MINIUPNPD_PID="$NETNS_SPAWNED"
  for _ in {1..100}; do
    [ -n "$(netns_exec "$NETNS_GW" ss -Hltn "sport = :$MINIUPNPD_PORT")" ] && return 0
    sleep 0.1
  done
  echo "miniupnpd did not come up:" >&2; cat "$dir/miniupnpd.log" >&2; return 1
}

miniupnpd_stop() {
  [ -n "${MINIUPNPD_PID:-}" ] && netns_stop "$MINIUPNPD_PID"
  MINIUPNPD_PID=""
}
