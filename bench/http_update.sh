#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A complete 1 GiB update over HTTP, timed against aria2c and curl fetching
# the same release from the same nginx on loopback, in the same run.
#
#   brelvane  the real updater into a fresh directory: -HttpThread 4,
#             -DownloadLimit 1048576, driven until "[Interactive]P2PState=14"
#             and then told "quit"; timed to that line and to its exit.
#   aria2c    -x4 -s4 from a Metalink that carries every part's MD5 (64 KiB
#             pieces) and each file's MD5, --check-integrity=true,
#             --file-allocation=none: the same work, verified part by part.
#   curl      one `curl -s -o` per file, one after the other: no verification,
#             the floor set by nginx, loopback and the page cache.
#
# Release: one 512 MiB file and eight 64 MiB files, cut with brelvane-release
# (64 KiB parts).  Every tool's result is compared byte for byte with it.
# Peak memory is the process's maximum resident set size as wait4() reports it
# (the figure /usr/bin/time -v prints); for curl, the largest of its processes.
# The bytes nginx served to the updater are counted from its access log, with
# the bytes of ranges served more than once.
#
# Usage: bash bench/http_update.sh [build-dir, default ./build] [runs, default 3]
# Environment: BRELVANE_BENCH_ARGS  extra updater arguments (e.g. "-LogLevel 4")
#              BRELVANE_BENCH_LOGDIR copy the updater's log files there
# Needs 4 GiB free in /tmp.  The last line is "... wall-time ratio
# brelvane/aria2: R" using the best run of each.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(cd "${1:-$here/build}" && pwd)"
runs=${2:-3}
bin="$build_dir/app/brelvane"
release_tool="$build_dir/tools/brelvane-release"
for exe in "$bin" "$release_tool"; do
  [ -x "$exe" ] || { echo "missing $exe (build the brelvane and brelvane-release targets)" >&2; exit 1; }
done
for tool in aria2c curl nginx python3 cmp; do
  command -v "$tool" > /dev/null || [ -x "/usr/sbin/$tool" ] \
    || { echo "missing $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

# 1 GiB of release plus one 1 GiB download at a time, with room to spare.
free_kib=$(df -Pk /tmp | awk 'NR == 2 { print $4 }')
if [ "$free_kib" -lt $((4 * 1024 * 1024)) ]; then
  echo "refusing to run: $((free_kib / 1024)) MiB free in /tmp, 4096 MiB needed" >&2
  exit 1
fi

. "$here/bench/bench_lib.sh" brelvane-http-bench

# ---------------------------------------------------------------- helpers
cat > "$work/gen.py" <<'PY'
# Writes the release: a 16 MiB random block repeated, every 64 KiB stamped
# with a header of its own so that no two parts have the same digest.
import hashlib, os, sys
root = sys.argv[1]
mib, part = 1 << 20, 1 << 16
block = bytearray(os.urandom(16 * mib))
def write(name, size):
    with open(os.path.join(root, name), "wb") as f:
        for chunk_start in range(0, size, len(block)):
            for off in range(0, len(block), part):
                block[off:off + 16] = hashlib.md5(f"{name}:{chunk_start + off}".encode()).digest()
            f.write(block[:min(len(block), size - chunk_start)])
os.makedirs(os.path.join(root, "data"), exist_ok=True)
write("game.pak", 512 * mib)
for i in range(8):
    write(f"data/level{i}.pak", 64 * mib)
PY

cat > "$work/meta4.py" <<'PY'
# Metalink 4 for aria2c from the release's file list (gzip XML): each file
# with its size, its MD5 and the MD5 of every part as piece hashes.
import gzip, sys
from xml.etree import ElementTree
from xml.sax.saxutils import escape, quoteattr
seed, base, out = sys.argv[1:4]
root = ElementTree.fromstring(gzip.open(seed).read())
lines = ['<?xml version="1.0" encoding="UTF-8"?>',
         '<metalink xmlns="urn:ietf:params:xml:ns:metalink">']
for f in root.find("Exist").findall("File"):
    parts = f.findall("Part")
    lines.append(f'  <file name={quoteattr(f.get("name"))}>')
    lines.append(f'    <size>{f.get("size")}</size>')
    lines.append(f'    <hash type="md5">{f.get("md5").lower()}</hash>')
    lines.append(f'    <pieces length="{parts[0].get("length")}" type="md5">')
    lines.extend(f'      <hash>{p.get("md5").lower()}</hash>' for p in parts)
    lines.append('    </pieces>')
    lines.append(f'    <url>{escape(base + "/" + f.get("name"))}</url>')
    lines.append('  </file>')
lines.append('</metalink>')
open(out, "w").write("\n".join(lines) + "\n")
PY

cat > "$work/run.py" <<'PY'
# run.py --updater|--plain DIR -- command...: runs it in DIR and prints
# "wall_s wall14_s maxrss_kib".
# With --updater the command is the updater: its records are read, "quit" is
# sent once "[Interactive]P2PState=14" appears, and the run fails unless it
# ends with P2PState=16 and status 0.  wall14_s is the time to the state-14
# line (the exit time for other commands).  Peak memory is ru_maxrss from
# wait4(), which covers the process and every descendant it waited for.
import os, signal, subprocess, sys, time
updater, cwd = sys.argv[1] == "--updater", sys.argv[2]
cmd = sys.argv[sys.argv.index("--") + 1:]
start = time.monotonic()
proc = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.PIPE if updater else subprocess.DEVNULL,
                        stdout=subprocess.PIPE if updater else sys.stderr)  # stdout: figures only
def forward(signum, frame):
    proc.send_signal(signal.SIGTERM)   # the updater then runs its stop sequence
signal.signal(signal.SIGTERM, forward)
signal.signal(signal.SIGINT, forward)
signal.signal(signal.SIGALRM, forward)
signal.alarm(900)                      # a stuck run ends instead of hanging
t14, last_state, tail = None, None, []
if updater:
    for raw in proc.stdout:
        line = raw.decode("utf-8", "replace").rstrip("\n")
        tail = (tail + [line])[-20:]
        if line.startswith("[Interactive]P2PState="):
            last_state = line.split("=", 1)[1]
            if last_state == "14" and t14 is None:
                t14 = time.monotonic() - start
                try:
                    proc.stdin.write(b"quit\n")
                    proc.stdin.close()
                except BrokenPipeError:
                    pass
_, status, usage = os.wait4(proc.pid, 0)
wall = time.monotonic() - start
proc.returncode = os.waitstatus_to_exitcode(status)
ok = proc.returncode == 0 and (not updater or (t14 is not None and last_state == "16"))
if not ok:
    sys.stderr.write(f"{cmd[0]} failed: exit {proc.returncode}, last state {last_state}\n")
    sys.stderr.write("\n".join(tail) + "\n")
    sys.exit(1)
print(f"{wall:.3f} {t14 if t14 is not None else wall:.3f} {usage.ru_maxrss}")
PY

cat > "$work/served.py" <<'PY'
# served.py access.log prefix: bytes served under prefix, requests, and the
# bytes of ranges served more than once (per file, from the Range headers).
import re, sys
log, prefix = sys.argv[1], sys.argv[2]
total = requests = 0
spans = {}
for line in open(log):
    m = re.match(r'(\S+) (\d+) (\d+) "(.*)"', line)
    if not m:
        continue
    uri = re.sub("/+", "/", m.group(1))
    if not uri.startswith(prefix):
        continue
    sent = int(m.group(3))
    r = re.match(r"bytes=(\d+)-", m.group(4))
    begin = int(r.group(1)) if r else 0
    total += sent
    requests += 1
    spans.setdefault(uri, []).append((begin, begin + sent))
unique = 0
for ranges in spans.values():
    end = -1
    for b, e in sorted(ranges):
        if e > end:
            unique += e - max(b, end)
            end = e
print(total, requests, total - unique)
PY

# ---------------------------------------------------------------- release
mkdir -p "$work/www/app" "$work/nginx" "$work/run"
gen_start=$(date +%s%N)
python3 "$work/gen.py" "$work/www/app"
release_bytes=$(find "$work/www/app" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
release_files=$(find "$work/www/app" -type f | wc -l)

port="$("$here/scripts/nginx-mirror.sh" start "$work/www" "$work/nginx")"
mirror="http://127.0.0.1:$port"
"$release_tool" build "$work/www/app" "$work/www/r1" --mirror "$mirror/app" \
  --tracker 127.0.0.1:5000 --quiet > /dev/null
python3 "$work/meta4.py" "$work/www/r1/Seed.xml.gz" "$mirror/app" "$work/release.meta4"
(cd "$work/www/app" && find . -type f -printf '%P\n' | sort) > "$work/files.txt"
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build_dir/CMakeCache.txt" 2> /dev/null || true)
printf 'updater: %s (built %s from %s at %s)\n' "$bin" "$(date -r "$bin" '+%F %T')" \
  "${source_dir:-?}" "$(git -C "${source_dir:-/nonexistent}" describe --always --dirty 2> /dev/null || echo '?')"
printf 'release: %d files, %d MiB, 64 KiB parts, served at %s (prepared in %d s)\n' \
  "$release_files" "$((release_bytes / 1048576))" "$mirror" \
  "$(( ($(date +%s%N) - gen_start) / 1000000000 ))"

# Every file of the release, byte for byte; then the copy goes.
check_and_remove() {
  local dir=$1 name
  while read -r name; do
    cmp -s "$work/www/app/$name" "$dir/$name" \
      || { echo "$2: $name differs from the release" >&2; exit 1; }
  done < "$work/files.txt"
  rm -rf "$dir"
  sync
}

# ---------------------------------------------------------------- the three
read -r -a extra_args <<< "${BRELVANE_BENCH_ARGS:-}"

run_brelvane() {
  rm -rf "$work/run" && mkdir -p "$work/run"
  : > "$work/nginx/access.log"
  waited python3 "$work/run.py" --updater "$work/run" -- "$bin" \
    -Charset UTF-8 -Dir "$work/dl" -HttpUrl "$mirror/r1" -NotUsingUPnP \
    -DownloadLimit 1048576 -HttpThread 4 "${extra_args[@]}" > "$work/result"
  read -r b_wall b_wall14 b_rss < "$work/result"
  sleep 0.2   # nginx logs a request when its connection is done with it
  read -r b_served b_requests b_twice <<< "$(python3 "$work/served.py" "$work/nginx/access.log" /app/)"
  if [ -n "${BRELVANE_BENCH_LOGDIR:-}" ]; then
    mkdir -p "$BRELVANE_BENCH_LOGDIR"
    cp "$work"/run/*.log "$BRELVANE_BENCH_LOGDIR"/ 2> /dev/null || true
  fi
  reverify
  check_and_remove "$work/dl" brelvane
}

# The complete release again without its resume file: the updater checks
# every file on disk (two cores may hash), against md5sum over the same
# files (one core), both from the page cache.
reverify() {
  rm -f "$work"/dl/Brelvane_Info/.Download_Info_Data*
  rm -rf "$work/run" && mkdir -p "$work/run"
  waited python3 "$work/run.py" --updater "$work/run" -- "$bin" \
    -Charset UTF-8 -Dir "$work/dl" -HttpUrl "$mirror/r1" -NotUsingUPnP \
    -DownloadLimit 1048576 -HttpThread 4 "${extra_args[@]}" > "$work/result"
  read -r _ v_wall14 _ < "$work/result"
  waited python3 "$work/run.py" --plain "$work/dl" -- bash -c \
    'xargs -d "\n" md5sum < "$1" > /dev/null' md5sum-files "$work/files.txt" > "$work/result"
  read -r m_wall _ _ < "$work/result"
}

run_aria2() {
  waited python3 "$work/run.py" --plain "$work" -- aria2c -x4 -s4 --check-integrity=true \
    --file-allocation=none --quiet=true --summary-interval=0 --dir="$work/dl" \
    "$work/release.meta4" > "$work/result"
  read -r a_wall _ a_rss < "$work/result"
  check_and_remove "$work/dl" aria2c
}

run_curl() {
  mkdir -p "$work/dl/data"
  waited python3 "$work/run.py" --plain "$work" -- bash -c '
      while read -r name; do curl -s -f -o "$2/$name" "$1/$name" || exit 1; done < "$3"' \
    curl-loop "$mirror/app" "$work/dl" "$work/files.txt" > "$work/result"
  read -r c_wall _ c_rss < "$work/result"
  check_and_remove "$work/dl" curl
}

min() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
# One core's MD5 rate in MB/s (64 KiB messages), measured in this run.
md5_rate() { openssl speed -seconds 2 -bytes 65536 md5 2> /dev/null | awk '$1 == "md5" { sub("k", "", $2); printf "%.0f", $2 * 1000 / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

all_b=() all_b14=() all_a=() all_c=() all_v=() all_m=() all_md5=() all_tp=() all_rb=() all_rv=()
best_b="" best_b14="" best_a="" best_c="" peak_b=0 peak_a=0 peak_c=0 served_max=0 twice_max=0
for run in $(seq "$runs"); do
  run_aria2
  run_curl
  run_brelvane
  md5_mbs=$(md5_rate)
  printf 'run %d: brelvane %.2f s (state 14 at %.2f s), %s MiB; aria2c %.2f s, %s MiB; curl %.2f s, %s MiB\n' \
    "$run" "$b_wall" "$b_wall14" "$(mib "$b_rss")" "$a_wall" "$(mib "$a_rss")" "$c_wall" "$(mib "$c_rss")"
  printf '       openssl md5 %s MB/s; brelvane %.0f MB/s to state 14 (%.2fx md5); re-verify %.2f s, md5sum %.2f s (%.2fx)\n' \
    "$md5_mbs" "$(awk -v b="$release_bytes" -v t="$b_wall14" 'BEGIN { print b / t / 1e6 }')" \
    "$(awk -v b="$release_bytes" -v t="$b_wall14" -v m="$md5_mbs" 'BEGIN { print b / t / 1e6 / m }')" \
    "$v_wall14" "$m_wall" "$(ratio "$v_wall14" "$m_wall")"
  all_b+=("$b_wall"); all_b14+=("$b_wall14"); all_a+=("$a_wall"); all_c+=("$c_wall")
  all_v+=("$v_wall14"); all_m+=("$m_wall"); all_md5+=("$md5_mbs")
  all_tp+=("$(awk -v b="$release_bytes" -v t="$b_wall14" -v m="$md5_mbs" 'BEGIN { print b / t / 1e6 / m }')")
  all_rb+=("$(ratio "$b_wall" "$a_wall")"); all_rv+=("$(ratio "$v_wall14" "$m_wall")")
  printf '       nginx served brelvane %d bytes in %d requests for a %d-byte release (%d bytes more, %d of them ranges served twice)\n' \
    "$b_served" "$b_requests" "$release_bytes" "$((b_served - release_bytes))" "$b_twice"
  best_b=$(min "$b_wall" "$best_b"); best_b14=$(min "$b_wall14" "$best_b14")
  best_a=$(min "$a_wall" "$best_a"); best_c=$(min "$c_wall" "$best_c")
  [ "$b_rss" -gt "$peak_b" ] && peak_b=$b_rss
  [ "$a_rss" -gt "$peak_a" ] && peak_a=$a_rss
  [ "$c_rss" -gt "$peak_c" ] && peak_c=$c_rss
  [ "$b_served" -gt "$served_max" ] && served_max=$b_served
  [ "$b_twice" -gt "$twice_max" ] && twice_max=$b_twice
done

echo "summary over $runs run(s): best wall time, largest peak memory"
printf '  brelvane  %6.2f s to exit (%.2f s to state 14)  %7s MiB\n' "$best_b" "$best_b14" "$(mib "$peak_b")"
printf '  aria2c    %6.2f s                             %7s MiB\n' "$best_a" "$(mib "$peak_a")"
printf '  curl      %6.2f s                             %7s MiB\n' "$best_c" "$(mib "$peak_c")"
printf '  bytes served to brelvane: at most %d for %d (%.3fx), at most %d served twice\n' \
  "$served_max" "$release_bytes" "$(ratio "$served_max" "$release_bytes")" "$twice_max"
printf '  peak memory ratio brelvane/aria2: %s, brelvane/curl: %s\n' \
  "$(ratio "$peak_b" "$peak_a")" "$(ratio "$peak_b" "$peak_c")"
printf '  wall-time ratio brelvane/curl: %s (to state 14: %s)\n' \
  "$(ratio "$best_b" "$best_c")" "$(ratio "$best_b14" "$best_c")"
printf 'wall-time ratio brelvane/aria2 (to state 14: %s; to exit): %s\n' \
  "$(ratio "$best_b14" "$best_a")" "$(ratio "$best_b" "$best_a")"
echo "medians over $runs run(s) (each ratio taken within its run):"
printf '  brelvane %.2f s to exit (%.2f s to state 14), aria2c %.2f s, curl %.2f s, openssl md5 %s MB/s\n' \
  "$(median "${all_b[@]}")" "$(median "${all_b14[@]}")" "$(median "${all_a[@]}")" \
  "$(median "${all_c[@]}")" "$(median "${all_md5[@]}")"
printf '  wall time brelvane/aria2: %s; throughput to state 14 / one core md5: %s\n' \
  "$(median "${all_rb[@]}")" "$(median "${all_tp[@]}")"
printf '  re-verify %.2f s, md5sum %.2f s; ratio re-verify/md5sum: %s\n' \
  "$(median "${all_v[@]}")" "$(median "${all_m[@]}")" "$(median "${all_rv[@]}")"
