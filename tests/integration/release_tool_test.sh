#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the real brelvane-release over small release trees: build, show, diff,
# --previous, deterministic output, and refusal of bad input.
#
# Usage: bash release_tool_test.sh <build-dir> <source-dir>
set -euo pipefail

build_dir=${1:?usage: release_tool_test.sh <build-dir> <source-dir>}
tool="$build_dir/tools/brelvane-release"
[ -x "$tool" ] || { echo "FAIL: $tool not built"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/brelvane-release-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# expect_status <code> <description> <command...>: runs the command with its
# output in $work/out.txt and $work/err.txt and checks the exit status.
expect_status() {
  local want=$1 what=$2
  shift 2
  local got=0
  "$@" > "$work/out.txt" 2> "$work/err.txt" || got=$?
  if [ "$got" -eq "$want" ]; then pass "$what"; else
    fail "$what: exit $got, wanted $want"; sed 's/^/    /' "$work/err.txt"; fi
}

# Checks every digest of a file list against the files of a tree, reading
# the XML with Python's own gzip, XML and MD5 code.
verify_list() {
  python3 - "$1" "$2" "$3" <<'PY'
import gzip, hashlib, os, sys
import xml.etree.ElementTree as ET
seed, tree, part_size = sys.argv[1], sys.argv[2], int(sys.argv[3])
root = ET.fromstring(gzip.open(seed).read())
names = []
def md5(data):
    return hashlib.md5(data).hexdigest().upper() if data else "0" * 32
for expected_id, f in enumerate(root.find("Exist")):
    name = f.get("name")
    names.append(name)
    data = open(os.path.join(tree, name), "rb").read()
    assert int(f.get("id")) == expected_id, (name, f.get("id"))
    assert int(f.get("size")) == len(data), name
    assert f.get("md5") == md5(data), name
    parts = list(f)
    count = max(1, (len(data) + part_size - 1) // part_size)
    assert len(parts) == count, (name, len(parts), count)
    for i, p in enumerate(parts):
        start, length = int(p.get("start")), int(p.get("length"))
        assert int(p.get("id")) == i and start == i * part_size, (name, i)
        assert p.get("md5") == md5(data[start:start + length]), (name, i)
    assert sum(int(p.get("length")) for p in parts) == len(data), name
walked = sorted(os.path.relpath(os.path.join(d, n), tree) for d, _, fs in os.walk(tree) for n in fs)
assert sorted(names) == walked, (names, walked)
print(" ".join(n.get("name") for n in root.find("NonExist")))
PY
}

# --- a first release --------------------------------------------------------
mkdir -p "$work/v1/dir" "$work/v1/sub dir"
printf 'alpha\n' > "$work/v1/a.txt"
python3 -c "import random, sys; random.seed(1); sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(200000)))" > "$work/v1/dir/b.bin"
printf 'gamma\n' > "$work/v1/dir/c.txt"
: > "$work/v1/empty"
printf 'spaced\n' > "$work/v1/sub dir/file with spaces.txt"

expect_status 0 "build v1" "$tool" build "$work/v1" "$work/out1" \
  --mirror http://127.0.0.1:8080/rel/ http://127.0.0.2/mirror --tracker 127.0.0.1:9000 --quiet
[ -f "$work/out1/Seed.torrent" ] && [ -f "$work/out1/Seed.xml.gz" ] \
  && pass "build writes Seed.torrent and Seed.xml.gz" || fail "output files missing"
gzip -t "$work/out1/Seed.xml.gz" && pass "file list is valid gzip" || fail "file list is not gzip"
if deletes=$(verify_list "$work/out1/Seed.xml.gz" "$work/v1" 65536); then
  pass "every size and digest of v1 matches the files"
  [ -z "$deletes" ] && pass "v1 deletes nothing" || fail "v1 delete list: $deletes"
else
  fail "v1 file list does not match the tree"
fi

# The torrent describes the compressed file list and names the sources.
python3 - "$work/out1" <<'PY' && pass "torrent describes the file list" || fail "torrent content"
import hashlib, sys
import xml.etree.ElementTree as ET
out = sys.argv[1]
root = ET.parse(out + "/Seed.torrent").getroot()
seed = open(out + "/Seed.xml.gz", "rb").read()
assert [h.get("url") for h in root.find("Server").findall("Http")] == \
    ["http://127.0.0.1:8080/rel", "http://127.0.0.2/mirror"]
assert [(t.get("ip"), t.get("port")) for t in root.find("Server").findall("Tracker")] == \
    [("127.0.0.1", "9000")]
assert root.find("Extra").find("TotalSize").get("size") == str(6 + 200000 + 6 + 0 + 7)
files = list(root.find("Exist"))
assert len(files) == 1
f = files[0]
assert f.get("name") == "Seed.xml.gz" and int(f.get("size")) == len(seed)
assert f.get("md5") == hashlib.md5(seed).hexdigest().upper()
part = list(f)[0]
assert part.get("md5") == f.get("md5") and part.get("length") == str(len(seed))
assert len(list(root.find("NonExist"))) == 0
PY
head -c 6 "$work/out1/Seed.torrent" | grep -q '^<Root>' \
  && pass "torrent has no XML declaration" || fail "torrent starts with something else"

# --- the same tree gives the same bytes ---------------------------------------
expect_status 0 "build v1 again" "$tool" build "$work/v1" "$work/out1b" \
  --mirror http://127.0.0.1:8080/rel/ http://127.0.0.2/mirror --tracker 127.0.0.1:9000 --quiet
cmp -s "$work/out1/Seed.xml.gz" "$work/out1b/Seed.xml.gz" && cmp -s "$work/out1/Seed.torrent" \
  "$work/out1b/Seed.torrent" && pass "output is deterministic" || fail "two builds differ"

# --- show ---------------------------------------------------------------------
expect_status 0 "show torrent" "$tool" show "$work/out1/Seed.torrent"
grep -q "seed file: Seed.xml.gz" "$work/out.txt" && grep -q "127.0.0.1:9000" "$work/out.txt" \
  && pass "show prints the torrent" || fail "show torrent output: $(cat "$work/out.txt")"
expect_status 0 "show file list" "$tool" show "$work/out1/Seed.xml.gz"
grep -q "sub dir/file with spaces.txt" "$work/out.txt" && grep -q "files: 5" "$work/out.txt" \
  && pass "show lists the files" || fail "show file list output: $(cat "$work/out.txt")"

# --- a second release against the first ----------------------------------------
cp -a "$work/v1" "$work/v2"
python3 - "$work/v2/dir/b.bin" <<'PY'
import sys
with open(sys.argv[1], "r+b") as f:
    f.seek(70000)
    b = f.read(1)
    f.seek(70000)
    f.write(bytes([b[0] ^ 0xFF]))
PY
rm "$work/v2/dir/c.txt"
printf 'new\n' > "$work/v2/new.txt"
expect_status 0 "build v2 with --previous" "$tool" build "$work/v2" "$work/out2" \
  --mirror http://127.0.0.1:8080/rel --previous "$work/out1/Seed.xml.gz" --quiet
if deletes=$(verify_list "$work/out2/Seed.xml.gz" "$work/v2" 65536); then
  pass "every size and digest of v2 matches the files"
  [ "$deletes" = "dir/c.txt" ] && pass "--previous puts the removed file in NonExist" \
    || fail "v2 delete list: '$deletes'"
else
  fail "v2 file list does not match the tree"
fi

expect_status 0 "diff v1 v2" "$tool" diff "$work/out1/Seed.xml.gz" "$work/out2/Seed.xml.gz"
printf 'File need to delete :\n\tdir/c.txt\nFile need to update :\nPartID Start Length\n\tdir/b.bin\n\t\t1\t65536\t65536\n\tnew.txt\n\t\t0\t0\t4\n' \
  > "$work/expected_diff.txt"
cmp -s "$work/out.txt" "$work/expected_diff.txt" && pass "diff prints the changes" \
  || { fail "diff output differs:"; diff "$work/expected_diff.txt" "$work/out.txt" || true; }
expect_status 0 "diff of a release with itself" "$tool" diff "$work/out2/Seed.xml.gz" \
  "$work/out2/Seed.xml.gz"
[ ! -s "$work/out.txt" ] && pass "no changes print nothing" || fail "self diff printed text"

# A third release keeps asking to delete what the second one removed.
cp -a "$work/v2" "$work/v3"
rm "$work/v3/new.txt"
expect_status 0 "build v3 with --previous" "$tool" build "$work/v3" "$work/out3" \
  --tracker 10.1.2.3:7000 --previous "$work/out2/Seed.xml.gz" --part-size 2 --quiet
deletes=$(verify_list "$work/out3/Seed.xml.gz" "$work/v3" 131072) \
  && [ "$deletes" = "new.txt dir/c.txt" ] && pass "--part-size 2 and carried deletes" \
  || fail "v3 list (deletes '$deletes')"

# --- bad input ------------------------------------------------------------------
expect_status 0 "--help" "$tool" --help
grep -q "Usage: brelvane-release" "$work/out.txt" || fail "--help text"
expect_status 0 "build --help" "$tool" build --help
expect_status 2 "no command" "$tool"
expect_status 2 "unknown command" "$tool" publish
expect_status 1 "show of a missing file" "$tool" show "$work/missing"
grep -q "cannot read" "$work/err.txt" || fail "no clear error for a missing file"
printf 'plain text\n' > "$work/text.txt"
expect_status 1 "show of plain text" "$tool" show "$work/text.txt"
head -c 300 "$work/out1/Seed.xml.gz" > "$work/cut.gz"
expect_status 1 "show of a truncated gzip" "$tool" show "$work/cut.gz"
expect_status 1 "diff with a truncated list" "$tool" diff "$work/out1/Seed.xml.gz" "$work/cut.gz"
expect_status 1 "diff with a torrent-less garbage file" "$tool" diff "$work/text.txt" \
  "$work/out1/Seed.xml.gz"
expect_status 1 "diff with a torrent instead of a file list" "$tool" diff \
  "$work/out1/Seed.torrent" "$work/out1/Seed.xml.gz"
grep -q "is a torrent" "$work/err.txt" || fail "no clear error for a torrent given to diff"
expect_status 1 "build with a torrent as --previous" "$tool" build "$work/v1" "$work/o" \
  --tracker 1.2.3.4:5 --previous "$work/out1/Seed.torrent"
expect_status 2 "diff with one argument" "$tool" diff "$work/out1/Seed.xml.gz"
expect_status 1 "build of a missing directory" "$tool" build "$work/none" "$work/o" \
  --tracker 1.2.3.4:5
expect_status 2 "build without mirror or tracker" "$tool" build "$work/v1" "$work/o"
expect_status 2 "build with a bad tracker" "$tool" build "$work/v1" "$work/o" --tracker 1.2.3:80
expect_status 2 "build with a bad port" "$tool" build "$work/v1" "$work/o" --tracker 1.2.3.4:0
expect_status 2 "build with an https mirror" "$tool" build "$work/v1" "$work/o" \
  --mirror https://example/
expect_status 2 "build with a huge part size" "$tool" build "$work/v1" "$work/o" \
  --tracker 1.2.3.4:5 --part-size 65536
expect_status 2 "build with an unsafe seed name" "$tool" build "$work/v1" "$work/o" \
  --tracker 1.2.3.4:5 --seed-name ../x.gz
expect_status 1 "build with a missing previous list" "$tool" build "$work/v1" "$work/o" \
  --tracker 1.2.3.4:5 --previous "$work/missing.gz"
expect_status 1 "build into the release directory" "$tool" build "$work/v1" "$work/v1/out" \
  --tracker 1.2.3.4:5
[ ! -e "$work/v1/out/Seed.torrent" ] || fail "wrote into the release directory"
mkdir -p "$work/unsafe"
printf 'x' > "$work/unsafe/CON.txt"
printf 'y' > "$work/unsafe/back\\slash"
expect_status 1 "build of a tree with unsafe names" "$tool" build "$work/unsafe" "$work/o2" \
  --tracker 1.2.3.4:5
grep -q "CON.txt" "$work/err.txt" && grep -q 'back\\slash' "$work/err.txt" \
  && pass "unsafe names are named" || fail "unsafe names not reported: $(cat "$work/err.txt")"
[ ! -e "$work/o2/Seed.torrent" ] && pass "nothing written for an unsafe tree" \
  || fail "torrent written for an unsafe tree"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
