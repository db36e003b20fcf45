#!/usr/bin/env bash
# The main job on its built-in default: a sample release is cut with
# brelvane-release, served by nginx on loopback, a main server is started,
# and the updater logs in and brings a fresh directory up to the release.
# Then a few files change, a second release is cut against the first, and the
# updater fetches only the changed parts.  Last, a swarm: that directory
# serves as the seed while three empty updaters fetch the release from it and
# from each other, with the mirror throttled.
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
server_bin="$here/build/tools/mainserver/brelvane-mainserver"
work="$(mktemp -d /tmp/brelvane-demo.XXXXXX)"
server_pid=""
cleanup() {
  scripts/nginx-mirror.sh stop "$work/nginx" || true
  scripts/nginx-mirror.sh stop "$work/nginx-slow" || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
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

server_port="$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
"$server_bin" --listen "127.0.0.1:$server_port" --stats-file "$work/stats.jsonl" 2> "$work/mainserver.log" &
server_pid=$!
tracker="127.0.0.1:$server_port"

port="$(scripts/nginx-mirror.sh start "$work/www" "$work/nginx")"
mirror="http://127.0.0.1:$port"
served() { awk '{ s += $3 } END { print s + 0 }' "$work/nginx/access.log"; }

"$release_tool" build "$work/www/app" "$work/www/r1" --mirror "$mirror/app" \
    --tracker "$tracker" --quiet > /dev/null
: > "$work/nginx/access.log"

run_update() {
  ( cd "$work" && python3 "$here/scripts/drive_updater.py" --timeout 300 --send "get tb" --send "get uid" -- \
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
user_id="$(echo "$summary" | python3 -c 'import json,sys; print(json.load(sys.stdin)["answers"].get("UserId", "?"))')"
printf 'Update 1: logged in to the main server at %s as user %s; fresh directory brought to release 1 in %d ms, %s bytes fetched, files identical.\n' \
  "$tracker" "$user_id" "$(( (end - start) / 1000000 ))" "$(served)"

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
    --tracker "$tracker" --previous "$work/www/r1/Seed.xml.gz" --quiet > /dev/null
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
# Release 3 is release 2 served through a throttled mirror: the updated
# directory is the seed of a swarm of three empty updaters.
slow_port="$(scripts/nginx-mirror.sh start "$work/www" "$work/nginx-slow" 200k)"
"$release_tool" build "$work/www/app" "$work/www/r3" --mirror "http://127.0.0.1:$slow_port/app" \
    --tracker "$tracker" --quiet > /dev/null
python3 "$here/scripts/demo_swarm.py" "$here/build" "$here" "$work" "$work/www/app" "$work/game" \
    "http://127.0.0.1:$slow_port/r3" "$tracker" || { echo "the swarm did not complete"; exit 1; }
echo "Statistics reports received by the main server: $(wc -l < "$work/stats.jsonl")"
echo "Demo finished: every update complete (P2PState=14, then 16)."
