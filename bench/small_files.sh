#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# 20,000 small files (about 450 MB in all, 1 to 44 KiB each) from nginx on
# loopback, timed in the same run against curl and aria2c fetching the same
# files:
#
#   brelvane  the real updater into a fresh directory, driven until
#             "[Interactive]P2PState=14" and told "quit"; every part is
#             checked against its MD5 before it is written.  Twice: with the
#             default 4 download threads, and with 8 (curl's and aria2c's
#             parallelism here).
#   curl      curl --parallel --parallel-max 8 writing every file, no checks.
#   aria2c    aria2c -j8 from an input list, no checks.
#
# Every result is compared byte for byte with the release.  The median of
# the runs is printed, each ratio taken within its own run.
#
# Usage: bash bench/small_files.sh [build-dir, default ./build] [runs, default 3]
# Needs 8 GiB free in /tmp; everything goes in one /tmp/brelvane-small-bench.*
# directory, removed (and nginx stopped) however the script ends.
#
# Every tool writes into a directory of its own, and nothing is deleted until
# the end: on ext4 without a journal (as on our build machines) an inode
# freed minutes ago is skipped when a new file is created, so creating
# 20,000 files just after deleting 20,000 others scans past all of them for
# every file - a cost of the benchmark's own clean-up (a run's times then
# grew from 2.4 s to 12 s for curl alone), not of updating a release.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(cd "${1:-$here/build}" && pwd)"
runs=${2:-3}
bin="$build_dir/app/brelvane"
release_tool="$build_dir/tools/brelvane-release"
for exe in "$bin" "$release_tool"; do
  [ -x "$exe" ] || { echo "missing $exe (build the brelvane and brelvane-release targets)" >&2; exit 1; }
done
for tool in aria2c curl nginx python3; do
  command -v "$tool" > /dev/null || [ -x "/usr/sbin/$tool" ] || { echo "missing $tool" >&2; exit 1; }
done
free_kib=$(df -Pk /tmp | awk 'NR == 2 { print $4 }')
[ "$free_kib" -ge $((8 * 1024 * 1024)) ] || { echo "refusing to run: less than 8 GiB free in /tmp" >&2; exit 1; }

. "$here/bench/bench_lib.sh" brelvane-small-bench

cat > "$work/gen.py" <<'PY'
# 20,000 files of 1 to 44 KiB of random bytes in 100 folders.
import os, random, sys
root, rng = sys.argv[1], random.Random(7)
for i in range(20000):
    folder = os.path.join(root, f"d{i % 100:02d}")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, f"f{i:05d}.bin"), "wb") as f:
        f.write(os.urandom(rng.randint(1024, 44 * 1024)))
PY

cat > "$work/run.py" <<'PY'
# run.py --updater|--plain DIR -- command...: prints the wall time in seconds.
# With --updater, "quit" goes to the updater at "[Interactive]P2PState=14"
# (timed there); it must end with state 16 and status 0.
import subprocess, sys, time
updater, cwd = sys.argv[1] == "--updater", sys.argv[2]
cmd = sys.argv[sys.argv.index("--") + 1:]
start = time.monotonic()
proc = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.PIPE if updater else subprocess.DEVNULL,
                        stdout=subprocess.PIPE if updater else subprocess.DEVNULL)
t14, state = None, None
if updater:
    for raw in proc.stdout:
        line = raw.decode("utf-8", "replace").strip()
        if line.startswith("[Interactive]P2PState="):
            state = line.split("=", 1)[1]
            if state == "14" and t14 is None:
                t14 = time.monotonic() - start
                proc.stdin.write(b"quit\n")
                proc.stdin.close()
rc = proc.wait()
if rc != 0 or (updater and (t14 is None or state != "16")):
    sys.exit(f"{cmd[0]} failed: exit {rc}, last state {state}")
print(f"{t14 if updater else time.monotonic() - start:.3f}")
PY

mkdir -p "$work/www/app" "$work/nginx" "$work/run"
python3 "$work/gen.py" "$work/www/app"
(cd "$work/www/app" && find . -type f -printf '%P\n' | sort) > "$work/files.txt"
release_bytes=$(find "$work/www/app" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
port="$("$here/scripts/nginx-mirror.sh" start "$work/www" "$work/nginx")"
mirror="http://127.0.0.1:$port"
"$release_tool" build "$work/www/app" "$work/www/r1" --mirror "$mirror/app" \
  --tracker 127.0.0.1:5000 --quiet > /dev/null
awk -v m="$mirror/app" -v d="$work/dl" '{ printf "url = \"%s/%s\"\noutput = \"%s/%s\"\n", m, $0, d, $0 }' \
  "$work/files.txt" > "$work/curl.cfg"
awk -v m="$mirror/app" '{ printf "%s/%s\n  out=%s\n", m, $0, $0 }' "$work/files.txt" > "$work/aria2.txt"
printf 'release: %d files, %d MiB, served at %s\n' "$(wc -l < "$work/files.txt")" \
  "$((release_bytes / 1048576))" "$mirror"

(cd "$work/www/app" && find . -type f -print0 | xargs -0 md5sum) | sort > "$work/want.md5"
check() {
  (cd "$1" && xargs -d '\n' md5sum < "$work/files.txt" | sed 's|  |  ./|') | sort > "$work/got.md5"
  cmp -s "$work/want.md5" "$work/got.md5" || { echo "$2: result differs from the release" >&2; exit 1; }
  sync
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
all_b=() all_b8=() all_c=() all_a=() r_c=() r_a=() r_c8=() r_a8=()
# brelvane THREADS: one updater run into ours<run>-<threads>; its time goes to
# $took (no subshell, so that the clean-up trap sees the running child).
brelvane() {
  rm -rf "$work/run" && mkdir -p "$work/run"
  waited python3 "$work/run.py" --updater "$work/run" -- "$bin" -Charset UTF-8 -Dir "$work/ours$run-$1" \
    -HttpUrl "$mirror/r1" -NotUsingUPnP -DownloadLimit 1048576 -HttpThread "$1" > "$work/t"
  rm -rf "$work/ours$run-$1/Brelvane_Info"; check "$work/ours$run-$1" "brelvane -HttpThread $1"
  took=$(cat "$work/t")
}
for run in $(seq "$runs"); do
  sed "s|$work/dl/|$work/curl$run/|" "$work/curl.cfg" > "$work/curl$run.cfg"
  waited python3 "$work/run.py" --plain "$work" -- curl --parallel --parallel-max 8 -s -f \
    --create-dirs -K "$work/curl$run.cfg" > "$work/t"
  c=$(cat "$work/t"); check "$work/curl$run" curl
  waited python3 "$work/run.py" --plain "$work" -- aria2c -j8 --quiet=true --summary-interval=0 \
    --file-allocation=none --dir="$work/aria$run" -i "$work/aria2.txt" > "$work/t"
  a=$(cat "$work/t"); check "$work/aria$run" aria2c
  brelvane 4; b=$took
  brelvane 8; b8=$took
  printf 'run %d: brelvane %.2f s (to state 14; %.2f s with 8 threads), curl --parallel %.2f s, aria2c -j8 %.2f s\n' \
    "$run" "$b" "$b8" "$c" "$a"
  all_b+=("$b") all_b8+=("$b8") all_c+=("$c") all_a+=("$a")
  r_c+=("$(ratio "$b" "$c")") r_a+=("$(ratio "$b" "$a")") r_c8+=("$(ratio "$b8" "$c")") r_a8+=("$(ratio "$b8" "$a")")
done
printf 'medians over %d run(s): brelvane %.2f s (8 threads: %.2f s), curl %.2f s, aria2c %.2f s\n' "$runs" \
  "$(median "${all_b[@]}")" "$(median "${all_b8[@]}")" "$(median "${all_c[@]}")" "$(median "${all_a[@]}")"
printf 'wall-time ratio brelvane/curl: %s, brelvane/aria2: %s (4 threads)\n' "$(median "${r_c[@]}")" "$(median "${r_a[@]}")"
printf 'wall-time ratio brelvane/curl: %s, brelvane/aria2: %s (8 threads, as curl and aria2c)\n' \
  "$(median "${r_c8[@]}")" "$(median "${r_a8[@]}")"
