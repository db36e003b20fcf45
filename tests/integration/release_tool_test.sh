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

# verify_list SEED TREE PART_SIZE: every id, size and digest of the list (read
# with Python's own gzip, XML and MD5) matches TREE; prints the delete list.
verify_list() {
  python3 - "$1" "$2" "$3" <<'PY'
import gzip, hashlib, os, sys
import xml.etree.ElementTree as ET
seed, tree, part_size = sys.argv[1], sys.argv[2], int(sys.argv[3])
root = ET.fromstring(gzip.open(seed).read())
md5 = lambda data: hashlib.md5(data).hexdigest().upper() if data else "0" * 32
names = [f.get("name") for f in root.find("Exist")]
for expected_id, f in enumerate(root.find("Exist")):
    data = open(os.path.join(tree, f.get("name")), "rb").read()
    assert (int(f.get("id")), int(f.get("size")), f.get("md5")) == (expected_id, len(data), md5(data)), f.get("name")
    parts = list(f)
    assert len(parts) == max(1, (len(data) + part_size - 1) // part_size), f.get("name")
    for i, p in enumerate(parts):
        start, length = int(p.get("start")), int(p.get("length"))
        assert (int(p.get("id")), start, p.get("md5")) == (i, i * part_size, md5(data[start:start + length]))
    assert sum(int(p.get("length")) for p in parts) == len(data), f.get("name")
assert sorted(names) == sorted(os.path.relpath(os.path.join(d, n), tree) for d, _, fs in os.walk(tree) for n in fs)
print(" ".join(n.get("name") for n in root.find("NonExist")))
PY
}

# check_list OUT TREE PART_SIZE DELETES: the file list matches the tree and deletes DELETES.
check_list() {
  local got
  got=$(verify_list "$1/Seed.xml.gz" "$2" "$3") && [ "$got" = "$4" ] \
    && pass "$1: every size and digest matches, deletes '$4'" || fail "$1: list (deletes '$got')"
}

# --- a first release --------------------------------------------------------
mkdir -p "$work/v1/dir" "$work/v1/sub dir"
printf 'alpha\n' > "$work/v1/a.txt"
python3 -c "import random, sys; random.seed(1); sys.stdout.buffer.write(bytes(random.getrandbits(8) for _ in range(200000)))" > "$work/v1/dir/b.bin"
printf 'gamma\n' > "$work/v1/dir/c.txt"
: > "$work/v1/empty"
printf 'spaced\n' > "$work/v1/sub dir/file with spaces.txt"
for out in out1 out1b; do
  expect_status 0 "build v1 into $out" "$tool" build "$work/v1" "$work/$out" \
    --mirror http://127.0.0.1:8080/rel/ http://127.0.0.2/mirror --tracker 127.0.0.1:9000 --quiet
done
cmp -s "$work/out1/Seed.xml.gz" "$work/out1b/Seed.xml.gz" && cmp -s "$work/out1/Seed.torrent" \
  "$work/out1b/Seed.torrent" && pass "output is deterministic" || fail "two builds differ"
check_list "$work/out1" "$work/v1" 65536 ""

# The torrent describes the compressed file list and names the sources.
python3 - "$work/out1" <<'PY' && pass "torrent describes the file list" || fail "torrent content"
import hashlib, sys
import xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1] + "/Seed.torrent").getroot()
seed = open(sys.argv[1] + "/Seed.xml.gz", "rb").read()
server, md5 = root.find("Server"), hashlib.md5(seed).hexdigest().upper()
assert [h.get("url") for h in server.findall("Http")] == ["http://127.0.0.1:8080/rel", "http://127.0.0.2/mirror"]
assert [(t.get("ip"), t.get("port")) for t in server.findall("Tracker")] == [("127.0.0.1", "9000")]
assert root.find("Extra").find("TotalSize").get("size") == str(6 + 200000 + 6 + 0 + 7)
[f] = list(root.find("Exist"))
assert (f.get("name"), int(f.get("size")), f.get("md5")) == ("Seed.xml.gz", len(seed), md5)
assert (list(f)[0].get("md5"), list(f)[0].get("length")) == (md5, str(len(seed)))
assert len(list(root.find("NonExist"))) == 0
PY
head -c 6 "$work/out1/Seed.torrent" | grep -q '^<Root>' \
  && pass "torrent has no XML declaration" || fail "torrent starts with something else"

# --- show ---------------------------------------------------------------------
expect_status 0 "show torrent" "$tool" show "$work/out1/Seed.torrent"
grep -q "seed file: Seed.xml.gz" "$work/out.txt" && grep -q "127.0.0.1:9000" "$work/out.txt" \
  && pass "show prints the torrent" || fail "show torrent output: $(cat "$work/out.txt")"
expect_status 0 "show file list" "$tool" show "$work/out1/Seed.xml.gz"
grep -q "sub dir/file with spaces.txt" "$work/out.txt" && grep -q "files: 5" "$work/out.txt" \
  && pass "show lists the files" || fail "show file list output: $(cat "$work/out.txt")"

# --- a second release against the first ----------------------------------------
cp -a "$work/v1" "$work/v2"
python3 -c "import sys; f = open(sys.argv[1], 'r+b'); f.seek(70000); b = f.read(1); f.seek(70000)
f.write(bytes([b[0] ^ 0xFF]))" "$work/v2/dir/b.bin"
rm "$work/v2/dir/c.txt"
printf 'new\n' > "$work/v2/new.txt"
expect_status 0 "build v2 with --previous" "$tool" build "$work/v2" "$work/out2" \
  --mirror http://127.0.0.1:8080/rel --previous "$work/out1/Seed.xml.gz" --quiet
check_list "$work/out2" "$work/v2" 65536 "dir/c.txt"
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
check_list "$work/out3" "$work/v3" 131072 "new.txt dir/c.txt"

# --- bad input: exit status | what | text stderr must hold | arguments -------------
printf 'plain text\n' > "$work/text.txt"
head -c 300 "$work/out1/Seed.xml.gz" > "$work/cut.gz"
mkdir -p "$work/unsafe"
printf 'x' > "$work/unsafe/CON.txt"
printf 'y' > "$work/unsafe/back\\slash"
while IFS='|' read -r want what needle args; do
  eval "expect_status $want \"$what\" \"\$tool\" $args"
  [ -z "$needle" ] || grep -qF -- "$needle" "$work/err.txt" || fail "$what: stderr lacks '$needle'"
done <<CASES
0|build --help||build --help
2|no command||
2|unknown command||publish
1|show of a missing file|cannot read|show $work/missing
1|show of plain text||show $work/text.txt
1|show of a truncated gzip||show $work/cut.gz
1|diff with a truncated list||diff $work/out1/Seed.xml.gz $work/cut.gz
1|diff with a garbage file||diff $work/text.txt $work/out1/Seed.xml.gz
1|diff with a torrent instead of a file list|is a torrent|diff $work/out1/Seed.torrent $work/out1/Seed.xml.gz
1|build with a torrent as --previous||build $work/v1 $work/o --tracker 1.2.3.4:5 --previous $work/out1/Seed.torrent
2|diff with one argument||diff $work/out1/Seed.xml.gz
1|build of a missing directory||build $work/none $work/o --tracker 1.2.3.4:5
2|build without mirror or tracker||build $work/v1 $work/o
2|build with a bad tracker||build $work/v1 $work/o --tracker 1.2.3:80
2|build with a bad port||build $work/v1 $work/o --tracker 1.2.3.4:0
2|build with an https mirror||build $work/v1 $work/o --mirror https://example/
2|build with a huge part size||build $work/v1 $work/o --tracker 1.2.3.4:5 --part-size 65536
2|build with an unsafe seed name||build $work/v1 $work/o --tracker 1.2.3.4:5 --seed-name ../x.gz
1|build with a missing previous list||build $work/v1 $work/o --tracker 1.2.3.4:5 --previous $work/missing.gz
1|build into the release directory||build $work/v1 $work/v1/out --tracker 1.2.3.4:5
1|build of a tree with unsafe names|CON.txt|build $work/unsafe $work/o2 --tracker 1.2.3.4:5
CASES
grep -q 'back\\slash' "$work/err.txt" || fail "the unsafe name back\\slash is not named"
[ ! -e "$work/v1/out/Seed.torrent" ] && [ ! -e "$work/o2/Seed.torrent" ] && [ ! -e "$work/o/Seed.torrent" ] \
  || fail "a refused build wrote a torrent"
expect_status 0 "--help text" "$tool" --help
grep -q "Usage: brelvane-release" "$work/out.txt" || fail "--help text"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all checks passed"
