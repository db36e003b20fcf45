#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# UPnP port mapping against miniupnpd (version 1 and 2 descriptions) in a
# gateway namespace between a LAN client and a WAN host: nat_tests' live case
# maps, reads back and deletes a mapping; the real updater maps its TCP listen
# port at network start (redirect rule, `upnpc -l` with the -UPnPText
# description, a WAN connection reaching its listener) and unmaps it at "quit".
#   upnp_gateway_test.sh <build-dir> <source-dir>   (exit 77: no namespaces here)
set -euo pipefail
build="$(cd "$1" && pwd)"
src="$(cd "$2" && pwd)"
. "$src/tests/integration/netns_lib.sh"
netns_skip_unless_possible

fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in miniupnpd upnpc nft nginx python3; do
  command -v "$tool" > /dev/null ||
    fail "$tool missing (apt-get install -y miniupnpd-nftables miniupnpc nftables nginx-light)"
done
updater="$build/app/brelvane" nat_tests="$build/tests/nat_tests"
for f in "$updater" "$build/tools/brelvane-release" "$nat_tests"; do [ -x "$f" ] || fail "$f not built"; done

work="$(mktemp -d "${TMPDIR:-/tmp}/brelvane-upnp.XXXXXX")"
netns_install_trap '"$src/scripts/nginx-mirror.sh" stop "$work/nginx" > /dev/null 2>&1 || true;
  [ "${BRELVANE_UPNP_KEEP:-0}" = 1 ] || rm -rf "$work"'
netns_gateway_topology || fail "cannot build the namespaces"
netns_nft_miniupnpd_table "$NETNS_GW" || fail "cannot create the gateway's nftables table"

# A release served on the LAN namespace's loopback; the tracker (nothing
# answers) is the far host, so the updater's local address is its LAN one.
mkdir -p "$work/www/app"
head -c 300000 /dev/urandom > "$work/www/app/data.bin"
port="$(netns_exec "$NETNS_LAN" "$src/scripts/nginx-mirror.sh" start "$work/www" "$work/nginx")"
"$build/tools/brelvane-release" build "$work/www/app" "$work/www/r1" --quiet \
  --mirror "http://127.0.0.1:$port/app" --tracker "$WAN_IP:5000" > /dev/null

wait_line() { timeout "$3" bash -c 'until grep -qF -- "$1" "$0"; do sleep 0.1; done' "$1" "$2" 2> /dev/null; }
wan_connect() {
  netns_exec "$NETNS_WAN" python3 -c 'import socket,sys
socket.create_connection((sys.argv[1], int(sys.argv[2])), 3).close()' "$GW_WAN_IP" "$1" 2> /dev/null
}
# traces PORT TEXT: "rule listing wan" when the mapping is fully in place.
# (Captured whole: `grep -q` on a pipe would cut the writer short.)
traces() {
  local rules listing
  rules="$(netns_exec "$NETNS_GW" nft list chain inet filter prerouting_miniupnpd)"
  listing="$(netns_exec "$NETNS_LAN" upnpc -l 2>&1 || true)"
  ! grep -q "dport $1 dnat ip to $LAN_IP:$1" <<< "$rules" || echo -n "rule "
  ! grep -qF "TCP $1->$LAN_IP:$1 '$2'" <<< "$listing" || echo -n "listing "
  ! wan_connect "$1" || echo -n "wan"
}

for version in v1 v2; do
  miniupnpd_start "$version" "$work/upnp-$version" || fail "$version: miniupnpd did not start"
  out="$work/live-$version.txt"
  netns_exec "$NETNS_LAN" env BRELVANE_UPNP_LIVE="$LAN_IP" \
    BRELVANE_UPNP_LIVE_SERVICE="urn:schemas-upnp-org:service:WANIPConnection:${version#v}" \
    "$nat_tests" --gtest_filter='UpnpLiveGatewayTest.*' > "$out" 2>&1 &&
    grep -q '^\[  PASSED  \] 1 test' "$out" && ! grep -q SKIPPED "$out" ||
    { cat "$out" >&2; fail "$version: the live client case failed or did not run"; }
  echo "ok: $version: client maps, queries and deletes a mapping on miniupnpd"
  text="Brelvane-UPnP-$version" run="$work/run-$version"
  mkdir -p "$run/game" && mkfifo "$run/in"
  netns_spawn "$NETNS_LAN" "$run/out.txt" bash -c 'cd "$1" && shift && exec "$@" < in' _ "$run" \
    "$updater" -Dir "$run/game" -HttpUrl "http://127.0.0.1:$port/r1/" -Charset UTF-8 \
    -UPnPText "$text"
  pid="$NETNS_SPAWNED"
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
  wait "$pid" 2> /dev/null || true
  grep -qF "[Interactive]P2PState=16" "$run/out.txt" || fail "$version: no P2PState=16"
  found="$(traces "$tcp" "$text")"
  [ -z "$found" ] || fail "$version: the mapping outlived the updater: $found"
  netns_exec "$NETNS_LAN" upnpc -l 2>&1 | grep -qF "GetGenericPortMappingEntry() returned 713" ||
    fail "$version: upnpc -l still lists mappings"
  echo "ok: $version: mapping deleted at stop"
  miniupnpd_stop
done
echo "upnp gateway: client and updater mapped, checked and unmapped on miniupnpd (v1 and v2)"
