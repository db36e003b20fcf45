#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs bench_mainserver_load a few times and prints the median of its two
# figures: datagrams handled per second of server CPU time, and resident
# bytes per member.  The machine is shared, so single runs drift.
#
# Usage: bash bench/mainserver_load.sh <build-dir> [runs, default 3] [bench options...]
set -euo pipefail

build_dir=${1:?usage: mainserver_load.sh <build-dir> [runs] [bench options...]}
runs=${2:-3}
shift $(( $# >= 2 ? 2 : 1 ))
bench="$build_dir/bench/bench_mainserver_load"
server="$build_dir/tools/mainserver/brelvane-mainserver"
for f in "$bench" "$server"; do
  [ -x "$f" ] || { echo "missing $f (build bench_mainserver_load and brelvane-mainserver)" >&2; exit 1; }
done

rates=()
bytes=()
for ((i = 1; i <= runs; ++i)); do
  last=$("$bench" --server "$server" "$@" 2>/dev/null | tail -1)
  echo "run $i: $last"
  rates+=("$(sed -E 's/.*CPU second: ([0-9.]+);.*/\1/' <<<"$last")")
  bytes+=("$(sed -E 's/.*per member: ([0-9.]+).*/\1/' <<<"$last")")
done
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
echo "median: $(median "${rates[@]}") datagrams per server CPU second;" \
     "$(median "${bytes[@]}") resident bytes per member (targets: >= 100000, <= 256)"
