#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Peer receive throughput of the transport against iperf3 on loopback, in the
# same run.
#
#   iperf3     one TCP stream with 8 KiB writes (-l 8K) for 3 s between an
#              iperf3 server on 127.0.0.1 (a free port, stopped afterwards)
#              and its client: the kernel's loopback with a plain reader;
#              measured again right before each brelvane run, because the
#              neighbours on a shared machine change the figure by 2x
#   brelvane   bench_p2p_receive: 1, 16 and 256 connections streaming 4 MiB
#              PPMessageData messages into one NetTransport (8 KiB receive
#              buffer, download limiter at its maximum), 1 GiB per run
#
# Usage: bash bench/p2p_receive.sh [build-dir, default ./build] [MiB per run]
# The build needs -DBRELVANE_BUILD_BENCH=ON and the bench_p2p_receive target.
# Each brelvane line ends with its ratio to iperf3 (target: 0.8x or better)
# and iperf3's CPU seconds per GB (client and server together) beside the
# transport's (sender and receiver together, and the receiving thread alone).
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(cd "${1:-$here/build}" && pwd)"
mib=${2:-1024}
bench="$build_dir/bench/bench_p2p_receive"
[ -x "$bench" ] || { echo "missing $bench (configure with -DBRELVANE_BUILD_BENCH=ON)" >&2; exit 1; }
command -v iperf3 > /dev/null || { echo "missing iperf3 (apt-get install -y iperf3)" >&2; exit 1; }

work="$(mktemp -d /tmp/brelvane-p2p-bench.XXXXXX)"
server=""
cleanup() {
  trap - EXIT INT TERM HUP
  if [ -n "$server" ] && kill -0 "$server" 2> /dev/null; then
    kill -TERM "$server" 2> /dev/null || true
    wait "$server" 2> /dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM HUP

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
iperf3 -s -B 127.0.0.1 -p "$port" > "$work/server.log" 2>&1 &
server=$!
for _ in $(seq 1 100); do
  python3 -c "import socket; socket.create_connection(('127.0.0.1',$port),0.2)" 2> /dev/null && break
  sleep 0.05
done

for conns in 1 16 256; do
  iperf3 -c 127.0.0.1 -p "$port" -l 8K -t 3 -J > "$work/iperf.json"
  read -r bps cpu < <(python3 - "$work/iperf.json" <<'PY'
import json, sys
end = json.load(open(sys.argv[1]))["end"]
received = end["sum_received"]
gb = received["bytes"] / 1e9
cpu = (end["cpu_utilization_percent"]["host_total"] +
       end["cpu_utilization_percent"]["remote_total"]) / 100.0 * received["seconds"]
print(received["bits_per_second"], cpu / gb)
PY
)
  "$bench" --conns "$conns" --mib-per-run "$mib" --iperf-bps "$bps" --iperf-cpu-s-per-gb "$cpu"
done
