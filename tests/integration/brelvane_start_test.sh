#!/usr/bin/env bash
# brelvane_start_test.sh <build-dir> <source-dir>: the updater with nothing to update from prints
# the four records of a failed seed-information fetch, in GBK by default, and exits 0 within 1 s.
set -euo pipefail
build="$1"
bin="$build/app/brelvane"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }

expected_utf8=$'[Info]正在获取种子信息\n[Interactive]P2PState=6\n[Warning]获取种子信息失败\n[Interactive]P2PState=16'

start=$(date +%s%N)
timeout 5 "$bin" < /dev/null > out.gbk 2> err.txt || fail "exit code $?"
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$elapsed_ms" -lt 1000 ] || fail "took ${elapsed_ms} ms"
[ ! -s err.txt ] || fail "unexpected standard error: $(cat err.txt)"

got="$(iconv -f GBK -t UTF-8 out.gbk)" || fail "output is not GBK"
[ "$got" = "$expected_utf8" ] || fail "records differ:"$'\n'"$got"
# GBK, not UTF-8: the first Chinese character is two bytes D5 FD.
head -c 8 out.gbk | od -An -tx1 | grep -q 'd5 fd' || fail "first record is not GBK"

timeout 5 "$bin" -Charset UTF-8 < /dev/null > out.utf8
[ "$(cat out.utf8)" = "$expected_utf8" ] || fail "UTF-8 records differ"

# The file logs (p2p.log, user.log) are the only files written.
ls -A | sort > files.txt
grep -qx 'p2p.log' files.txt || fail "no p2p.log"
[ "$(grep -vxE 'p2p.log|user.log|out.gbk|out.utf8|err.txt|files.txt' files.txt | wc -l)" -eq 0 ] \
  || fail "unexpected files: $(cat files.txt)"

timeout 5 "$bin" -id abc < /dev/null > /dev/null
[ -f p2p-abc.log ] || fail "no p2p-abc.log"

echo "brelvane start: 4 records in ${elapsed_ms} ms"
