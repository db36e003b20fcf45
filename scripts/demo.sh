#!/usr/bin/env bash
# The main job on its built-in default: a sample release is cut with
# brelvane-release, served by nginx on loopback, and the updater brings a
# fresh directory up to it.  Then a few files change, a second release is
# cut against the first, and the updater fetches only the changed parts.
#
# Installs what is missing and builds first.  Set BRELVANE_DEMO_KEEP=1 to
# keep the work directory.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"
scripts/install-deps.sh
scripts/build.sh "$here/build" >/dev/null

bin="$here/build/app/brelvane"
release_tool="$here/build/tools/brelvane-release"
work="$(mktemp -d /tmp/brelvane-demo.XXXXXX)"
cleanup() {
  scripts/nginx-mirror.sh stop "$work/nginx" || true
  [ "${BRELVANE_DEMO_KEEP:-0}" = "1" ] || rm -rf "$work"
}
trap cleanup EXIT

# A sample application: a few binaries and some text, 24 MiB in all.
mkdir -p "$work/www/app/bin" "$work/www/app/data/levels"
python3 - "$work/www/app" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(7)
def blob(path, size):
    with open(os.path.join(root, path), "wb") as f:
        f.write(bytes(rng.getrandbits(8) for _ in range(min(size, 65536))) * (size // 65536)
                + bytes(rng.getrandbits(8) for _ in range(size % 65536)))
blob("bin/game.exe", 12 * 1024 * 1024 + 12345)
blob("bin/engine.dll", 6 * 1024 * 1024)
for i in range(8):
    blob(f"data/levels/level{i}.pak", 700 * 1024 + i)
with open(os.path.join(root, "readme.txt"), "w") as f:
    f.write("Sample application served by the Brelvane demo.\n")
PY

port="$(scripts/nginx-mirror.sh start "$work/www" "$work/nginx")"
mirror="http://127.0.0.1:$port"
served() { awk '{ s += $3 } END { print s + 0 }' "$work/nginx/access.log"; }

"$release_tool" build "$work/www/app" "$work/www/r1" --mirror "$mirror/app" \
    --tracker 127.0.0.1:5000 --quiet > /dev/null
: > "$work/nginx/access.log"

run_update() {
  ( cd "$work" && python3 "$here/scripts/drive_updater.py" --timeout 300 --send "get tb" -- \
      "$bin" -Charset UTF-8 -Dir "$work/game" -HttpUrl "$mirror/$1" -NotUsingUPnP \
      -DownloadLimit 1048576 -HttpThread 4 ) | tail -n 1
}

echo "Release 1: $(du -sh "$work/www/app" | cut -f1) in $(find "$work/www/app" -type f | wc -l) files, served at $mirror"
start=$(date +%s%N)
summary="$(run_update r1)"
end=$(date +%s%N)
echo "$summary" | grep -q '"reached": true' || { echo "first update failed: $summary"; exit 1; }
diff -r --exclude Brelvane_Info "$work/www/app" "$work/game" > /dev/null \
  || { echo "the updated directory differs from release 1"; exit 1; }
printf 'Update 1: fresh directory brought to release 1 in %d ms, %s bytes fetched, files identical.\n' \
  "$(( (end - start) / 1000000 ))" "$(served)"

# Release 2: one binary patched in two places, one level replaced, one file
# removed, one added.
python3 - "$work/www/app" <<'PY'
import os, sys
root = sys.argv[1]
with open(os.path.join(root, "bin/game.exe"), "r+b") as f:
    f.seek(100); f.write(b"PATCHED-1")
    f.seek(9 * 1024 * 1024); f.write(b"PATCHED-2")
with open(os.path.join(root, "data/levels/level3.pak"), "wb") as f:
    f.write(os.urandom(300 * 1024))
os.remove(os.path.join(root, "data/levels/level7.pak"))
with open(os.path.join(root, "data/levels/level8.pak"), "wb") as f:
    f.write(os.urandom(200 * 1024))
PY
"$release_tool" build "$work/www/app" "$work/www/r2" --mirror "$mirror/app" \
    --tracker 127.0.0.1:5000 --previous "$work/www/r1/Seed.xml.gz" --quiet > /dev/null
"$release_tool" diff "$work/www/r1/Seed.xml.gz" "$work/www/r2/Seed.xml.gz" > "$work/diff.txt"
: > "$work/nginx/access.log"

start=$(date +%s%N)
summary="$(run_update r2)"
end=$(date +%s%N)
echo "$summary" | grep -q '"reached": true' || { echo "second update failed: $summary"; exit 1; }
diff -r --exclude Brelvane_Info "$work/www/app" "$work/game" > /dev/null \
  || { echo "the updated directory differs from release 2"; exit 1; }
[ ! -e "$work/game/data/levels/level7.pak" ] || { echo "removed file still there"; exit 1; }
total=$(du -sb "$work/www/app" | cut -f1)
printf 'Update 2: %s changed part(s); %s of %s bytes fetched (seed and torrent included) in %d ms; level7.pak removed; files identical.\n' \
  "$(grep -cP '^\t\t' "$work/diff.txt" || true)" "$(served)" "$total" "$(( (end - start) / 1000000 ))"
echo "Demo finished: both updates complete (P2PState=14, then 16)."
