#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times `brelvane-release build` over a generated release tree against
# `md5sum` over the same files, both with the files in the page cache.  The
# build reads every byte once and computes two digests of it (each part's and
# the whole file's) on two threads; md5sum computes one.
#
# Usage: bash bench/release_build.sh <build-dir> [size in MiB, default 1024] [runs, default 3]
# The last line is "ratio (build / md5sum): R" using the best run of each.
set -euo pipefail

build_dir=${1:?usage: release_build.sh <build-dir> [size-MiB] [runs]}
size_mib=${2:-1024}
runs=${3:-3}
tool="$build_dir/tools/brelvane-release"
[ -x "$tool" ] || { echo "missing $tool (build the brelvane-release target)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/brelvane-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The tree: a quarter in one large file, three eighths in four files, a
# quarter in 1 MiB files and an eighth in 128 KiB files, spread over
# directories, all random bytes.
python3 - "$work/tree" "$size_mib" <<'PY'
import os, sys
root, size_mib = sys.argv[1], int(sys.argv[2])
mib = 1 << 20
def write(path, n):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        while n > 0:
            chunk = min(n, 8 * mib)
            f.write(os.urandom(chunk))
            n -= chunk
write(f"{root}/data/large.pak", size_mib * mib // 4)
for i in range(4):
    write(f"{root}/data/medium{i}.pak", size_mib * mib * 3 // 32)
for i in range(size_mib // 4):
    write(f"{root}/assets/{i % 16:02d}/mid{i:04d}.bin", mib)
for i in range(size_mib):
    write(f"{root}/small/{i % 32:02d}/s{i:05d}.dat", size_mib * mib // 8 // size_mib)
PY

files=$(find "$work/tree" -type f | wc -l)
bytes=$(find "$work/tree" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
echo "tree: $files files, $((bytes / 1048576)) MiB in $work/tree"

# Both read from the page cache.
find "$work/tree" -type f -print0 | xargs -0 cat > /dev/null

# timed <command...>: runs it, sets $real and $cpu (user + system seconds).
TIMEFORMAT='%R %U %S'
timed() {
  local line
  line=$( { time "$@" > /dev/null 2> /dev/null; } 2>&1 )
  real=$(echo "$line" | awk '{print $1}')
  cpu=$(echo "$line" | awk '{printf "%.3f", $2 + $3}')
}
less() { awk -v a="$1" -v b="$2" 'BEGIN {exit !(a < b)}'; }
md5sum_tree() { cd "$work/tree" && find . -type f -print0 | sort -z | xargs -0 md5sum; }

best_md5=""
best_build=""
for run in $(seq "$runs"); do
  timed md5sum_tree
  md5=$real md5_cpu=$cpu
  rm -rf "$work/out"
  timed "$tool" build "$work/tree" "$work/out" --mirror http://127.0.0.1/rel --quiet
  build=$real build_cpu=$cpu
  [ -f "$work/out/Seed.torrent" ] || { echo "brelvane-release build failed" >&2; exit 1; }
  printf 'run %d: md5sum %.3f s (cpu %.3f s), brelvane-release build %.3f s (cpu %.3f s)\n' \
    "$run" "$md5" "$md5_cpu" "$build" "$build_cpu"
  if [ -z "$best_md5" ] || less "$md5" "$best_md5"; then best_md5=$md5; fi
  if [ -z "$best_build" ] || less "$build" "$best_build"; then best_build=$build; fi
done

mib_s() { awk -v b="$bytes" -v t="$1" 'BEGIN {printf "%.0f", b / 1048576 / t}'; }
printf 'md5sum (best of %d):                 %.3f s, %.0f MiB/s\n' "$runs" "$best_md5" "$(mib_s "$best_md5")"
printf 'brelvane-release build (best of %d): %.3f s, %.0f MiB/s\n' "$runs" "$best_build" "$(mib_s "$best_build")"
printf 'ratio (build / md5sum): %.3f\n' "$(awk -v a="$best_build" -v b="$best_md5" 'BEGIN {print a / b}')"
