#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# UPnP port mapping against miniupnpd (version 1 and 2 descriptions) in a gateway namespace between
# a LAN client (10.231.1.2) and a WAN host (10.231.2.2), namespaces without a link to the host's
# network: nat_tests' live case maps, reads back and deletes a mapping; the real updater maps its
# TCP listen port at network start (redirect rule, `upnpc -l` with the -UPnPText description, a WAN
# connection reaching its listener) and unmaps it at "quit".
#   upnp_gateway_test.sh <build-dir> <source-dir>   (exit 77: no namespaces here)
set -euo pipefail
build="$(cd "$1" && pwd)" src="$(cd "$2" && pwd)"
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] && command -v ip > /dev/null && ip netns add "brv$$-probe" 2> /dev/null ||
  { echo "SKIPPED: network namespaces need root and iproute2"; exit 77; }
ip netns del "brv$$-probe"
for tool in miniupnpd upnpc nft nginx; do  # apt-get install miniupnpd-nftables miniupnpc nftables nginx-light
  command -v "$tool" > /dev/null || fail "$tool missing"
done
updater="$build/app/brelvane" nat_tests="$build/tests/nat_tests"
for f in "$updater" "$build/tools/brelvane-release" "$nat_tests"; do [ -x "$f" ] || fail "$f not built"; done

LAN="brv$$-lan" GW="brv$$-gw" WAN="brv$$-wan" LAN_IP=10.231.1.2 GW_WAN_IP=10.231.2.1 WAN_IP=10.231.2.2
work="$(mktemp -d "${TMPDIR:-/tmp}/brelvane-upnp.XXXXXX")" pids=()
cleanup() {  # the spawned processes (last first), nginx, the namespaces by name, the scratch directory
  for (( i = ${#pids[@]} - 1; i >= 0; i-- )); do stop "${pids[i]}"; done
  "$src/scripts/nginx-mirror.sh" stop "$work/nginx" > /dev/null 2>&1 || true
  for ns in "$LAN" "$GW" "$WAN"; do ip netns del "$ns" 2> /dev/null || true; done
  [ "${BRELVANE_UPNP_KEEP:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT; trap 'exit 130' INT; trap 'exit 143' TERM
stop() {  # SIGTERM, SIGKILL after 5 s
  kill -TERM "$1" 2> /dev/null || return 0
  timeout 5 tail --pid="$1" -f /dev/null || kill -KILL "$1" 2> /dev/null || true
  wait "$1" 2> /dev/null || true
}
spawn() {  # spawn NS LOG COMMAND...: in the background, its pid in $spawned
  ip netns exec "$1" "${@:3}" > "$2" 2>&1 &
  spawned=$! pids+=("$!")
}
link() {  # link NS_A IF ADDR_A NS_B ADDR_B: a veth pair named IF at both ends, up and addressed
  ip link add name "$2" netns "$1" type veth peer name "$2" netns "$4" &&
    ip -n "$1" addr add "$3/24" dev "$2" && ip -n "$1" link set "$2" up &&
    ip -n "$4" addr add "$5/24" dev "$2" && ip -n "$4" link set "$2" up
}
for ns in "$LAN" "$GW" "$WAN"; do ip netns add "$ns" && ip -n "$ns" link set lo up || fail "namespace $ns"; done
link "$LAN" lan0 "$LAN_IP" "$GW" 10.231.1.1 && link "$GW" wan0 "$GW_WAN_IP" "$WAN" "$WAN_IP" &&
  ip -n "$LAN" route add default via 10.231.1.1 && ip netns exec "$GW" sysctl -qw net.ipv4.ip_forward=1 ||
  fail "cannot build the namespaces"
# The table miniupnpd fills in (the packaged nft_init.sh wrongly requires iptables).
ip netns exec "$GW" nft -f - <<'NFT' || fail "cannot create the gateway's nftables table"
table inet filter {
  chain miniupnpd { }; chain prerouting_miniupnpd { }; chain postrouting_miniupnpd { }
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
}
NFT

# A release served on the LAN namespace's loopback; the tracker (nothing answers) is the far
# host, so the updater's local address is its LAN one.
mkdir -p "$work/www/app"
head -c 300000 /dev/urandom > "$work/www/app/data.bin"
port="$(ip netns exec "$LAN" "$src/scripts/nginx-mirror.sh" start "$work/www" "$work/nginx")"
"$build/tools/brelvane-release" build "$work/www/app" "$work/www/r1" --quiet \
  --mirror "http://127.0.0.1:$port/app" --tracker "$WAN_IP:5000" > /dev/null

wait_line() { timeout "$3" bash -c 'until grep -qF -- "$1" "$0"; do sleep 0.1; done' "$1" "$2" 2> /dev/null; }
wan_connect() { ip netns exec "$WAN" timeout 3 bash -c "exec 3<> /dev/tcp/$GW_WAN_IP/$1" 2> /dev/null; }
# traces PORT TEXT: "rule listing wan" when the mapping is fully in place.
# (Captured whole: `grep -q` on a pipe would cut the writer short.)
traces() {
  local rules listing
  rules="$(ip netns exec "$GW" nft list chain inet filter prerouting_miniupnpd)"
  listing="$(ip netns exec "$LAN" upnpc -l 2>&1 || true)"
  ! grep -q "dport $1 dnat ip to $LAN_IP:$1" <<< "$rules" || echo -n "rule "
  ! grep -qF "TCP $1->$LAN_IP:$1 '$2'" <<< "$listing" || echo -n "listing "
  ! wan_connect "$1" || echo -n "wan"
}

for version in v1 v2; do
  dir="$work/upnp-$version" force="$([ "$version" = v1 ] && echo yes || echo no)"  # version 1 descriptions
  mkdir -p "$dir"
  printf '%s\n' ext_ifname=wan0 ext_ip=11.22.33.44 listening_ip=lan0 port=5000 enable_upnp=yes \
    enable_natpmp=no secure_mode=no system_uptime=yes notify_interval=60 clean_ruleset_interval=0 \
    "uuid=3f2b8a8e-6f33-4c5e-9a0b-$(printf '%012d' "$$")" "force_igd_desc_v1=$force" "lease_file=$dir/leases" \
    "allow 1024-65535 10.231.1.0/24 1024-65535" "deny 0-65535 0.0.0.0/0 0-65535" > "$dir/miniupnpd.conf"
  spawn "$GW" "$dir/miniupnpd.log" miniupnpd -d -f "$dir/miniupnpd.conf" -P "$dir/miniupnpd.pid"
  miniupnpd="$spawned"
  timeout 10 bash -c 'until [ -n "$(ip netns exec "$0" ss -Hltn "sport = :5000")" ]; do sleep 0.1; done' "$GW" ||
    { cat "$dir/miniupnpd.log" >&2; fail "$version: miniupnpd did not start"; }
  out="$work/live-$version.txt"
  ip netns exec "$LAN" env BRELVANE_UPNP_LIVE="$LAN_IP" \
    BRELVANE_UPNP_LIVE_SERVICE="urn:schemas-upnp-org:service:WANIPConnection:${version#v}" \
    "$nat_tests" --gtest_filter='UpnpLiveGatewayTest.*' > "$out" 2>&1 &&
    grep -q '^\[  PASSED  \] 1 test' "$out" && ! grep -q SKIPPED "$out" ||
    { cat "$out" >&2; fail "$version: the live client case failed or did not run"; }
  echo "ok: $version: client maps, queries and deletes a mapping on miniupnpd"
  text="Brelvane-UPnP-$version" run="$work/run-$version"
  mkdir -p "$run/game" && mkfifo "$run/in"
  spawn "$LAN" "$run/out.txt" bash -c 'cd "$1" && shift && exec "$@" < in' _ "$run" \
    "$updater" -Dir "$run/game" -HttpUrl "http://127.0.0.1:$port/r1/" -Charset UTF-8 -UPnPText "$text"
  pid="$spawned"
  exec 7> "$run/in"
  wait_line "$run/out.txt" "UPnPNAT mapping succ" 30 ||
    { cat "$run/out.txt" >&2; fail "$version: the updater did not map its port"; }
  echo "get state" >&7
  wait_line "$run/out.txt" "[Interactive]TcpListenPort=" 10 || fail "$version: no TcpListenPort"
  tcp="$(sed -n 's/^\[Interactive\]TcpListenPort=//p' "$run/out.txt" | head -n 1)"
  found="$(traces "$tcp" "$text")"
  [ "$found" = "rule listing wan" ] || fail "$version: TCP $tcp mapped, only found: $found"
  ! wan_connect "$((tcp + 1))" || fail "$version: the gateway accepts an unmapped port"
  echo "ok: $version: updater mapped TCP $tcp; rule, upnpc listing and WAN connection checked"
  echo quit >&7
  exec 7>&-
  timeout 30 tail --pid="$pid" -f /dev/null || fail "$version: the updater did not stop"
  grep -qF "[Interactive]P2PState=16" "$run/out.txt" || fail "$version: no P2PState=16"
  found="$(traces "$tcp" "$text")"
  [ -z "$found" ] || fail "$version: the mapping outlived the updater: $found"
  ip netns exec "$LAN" upnpc -l 2>&1 | grep -qF "GetGenericPortMappingEntry() returned 713" ||
    fail "$version: upnpc -l still lists mappings"
  echo "ok: $version: mapping deleted at stop"
  stop "$miniupnpd"
done
echo "upnp gateway: client and updater mapped, checked and unmapped on miniupnpd (v1 and v2)"
