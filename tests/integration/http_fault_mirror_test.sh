#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The fault-injecting mirror on its own: command line, ranged answers, every
# fault as a plain HTTP client sees it, and a clean shutdown on SIGTERM while
# a client hangs on a stalled transfer.
#   bash http_fault_mirror_test.sh <build-dir> <source-dir>
set -euo pipefail
build="${1:?build dir}"
src="${2:?source dir}"
mirror="$src/tests/tools/fault_mirror.py"

work="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# --help and argument checks.
python3 "$mirror" --help | grep -q -- "--fault" || fail "--help does not describe --fault"
if python3 "$mirror" --bind 0.0.0.0 2>/dev/null; then fail "a non-loopback bind was accepted"; fi
if python3 "$mirror" --root "$work/none" 2>/dev/null; then fail "a missing root was accepted"; fi

mkdir -p "$work/root/sub"
python3 -c "import sys; sys.stdout.buffer.write(bytes((i * 7) & 0xFF for i in range(200000)))" \
  > "$work/root/sub/data.bin"

python3 "$mirror" --root "$work/root" --port-file "$work/port" --stall-after 10 \
  --trickle-bytes 500 --trickle-interval-ms 10 2> "$work/mirror.log" > /dev/null &
pid=$!
for _ in $(seq 200); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || fail "mirror did not write its port file"
port="$(cat "$work/port")"

# Every answer as a plain client sees it.
python3 - "$port" "$work/root/sub/data.bin" <<'EOF'
import http.client, socket, sys, time

port, path = int(sys.argv[1]), sys.argv[2]
data = open(path, "rb").read()

def get(url, rng=None, timeout=5):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    headers = {"Range": rng} if rng else {}
    conn.request("GET", url, headers=headers)
    resp = conn.getresponse()
    return conn, resp

def check(cond, what):
    if not cond:
        sys.exit("FAIL: " + what)

conn, r = get("/sub//data.bin", "bytes=1000-1999")
body = r.read()
check(r.status == 206 and body == data[1000:2000], "ranged GET with a doubled slash")
check(r.getheader("Content-Range") == "bytes 1000-1999/%d" % len(data), "Content-Range")
# Keep-alive: the same connection takes a second request.
conn.request("GET", "/sub/data.bin", headers={"Range": "bytes=199990-"})
r = conn.getresponse()
check(r.status == 206 and r.read() == data[199990:], "open range on a kept-alive connection")

conn, r = get("/sub/data.bin")
check(r.status == 200 and r.read() == data, "whole file without a range")
conn, r = get("/sub/data.bin", "bytes=200000-")
check(r.status == 416, "range beyond the end")
conn, r = get("/404/sub/data.bin")
check(r.status == 404, "404 prefix")
conn, r = get("/sub/../../etc/passwd")
check(r.status == 404, "path outside the root")

conn, r = get("/redirect/redirect/sub/data.bin", "bytes=0-9")
check(r.status == 302, "redirect status")
loc = r.getheader("Location")
check(loc == "http://127.0.0.1:%d/redirect/sub/data.bin" % port, "redirect location " + str(loc))

conn, r = get("/cut/sub/data.bin", "bytes=0-99999")
try:
    got = r.read()
    check(False, "cut transfer read completely (%d bytes)" % len(got))
except http.client.IncompleteRead as e:
    check(len(e.partial) == 50000 and e.partial == data[:50000], "cut after half the body")

conn, r = get("/wrong/sub/data.bin", "bytes=0-999")
got = r.read()
check(len(got) == 1000 and all(a ^ b == 0xFF for a, b in zip(got, data[:1000])), "wrong bytes")

start = time.monotonic()
conn, r = get("/trickle/sub/data.bin", "bytes=0-4999")
check(r.read() == data[:5000], "trickled body")
check(time.monotonic() - start >= 0.08, "trickle was not slow")

conn, r = get("/stall/sub/data.bin", "bytes=0-999", timeout=0.5)
check(r.read(10) == data[:10], "bytes before the stall")
try:
    r.read(1)
    check(False, "stalled transfer went on")
except socket.timeout:
    pass
EOF

# A client hanging on a stalled transfer must not hold the shutdown up.
python3 - "$port" "$work/hanging" <<'EOF' &
import http.client, sys
conn = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=30)
conn.request("GET", "/stall/sub/data.bin")
resp = conn.getresponse()
resp.read(10)
open(sys.argv[2], "w").close()  # now stalled
try:
    resp.read()
except Exception:
    pass
EOF
hanging=$!
for _ in $(seq 200); do [ -e "$work/hanging" ] && break; sleep 0.05; done
[ -e "$work/hanging" ] || fail "the hanging client never reached the stall"
start=$(date +%s%N)
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$status" -eq 0 ] || fail "mirror exited with status $status on SIGTERM"
[ "$elapsed" -lt 5000 ] || fail "shutdown took ${elapsed} ms"
wait "$hanging" || true
grep -q "fault=cut status=206" "$work/mirror.log" || fail "request log lacks the cut request"

echo "http_fault_mirror_test: ok (shutdown in ${elapsed} ms)"
