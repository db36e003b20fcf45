#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The fault-injecting test mirror's own safety and lifecycle: it refuses a
# non-loopback bind and a missing root, keeps requests inside its root, keeps
# connections alive, and shuts down at once on SIGTERM while a client hangs on
# a stalled transfer; ranged and wrong bytes as a plain client sees them.  (Its
# faults as the updater meets them: http_tests, integration.http_update_test.)
#   bash http_fault_mirror_test.sh <build-dir> <source-dir>
set -euo pipefail
mirror="${2:?source dir}/tests/tools/fault_mirror.py"
work="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if python3 "$mirror" --bind 0.0.0.0 2>/dev/null; then fail "a non-loopback bind was accepted"; fi
if python3 "$mirror" --root "$work/none" 2>/dev/null; then fail "a missing root was accepted"; fi
mkdir -p "$work/root/sub"
head -c 200000 /dev/urandom > "$work/root/sub/data.bin"
python3 "$mirror" --root "$work/root" --port-file "$work/port" --stall-after 10 2> /dev/null > /dev/null &
pid=$!
for _ in $(seq 200); do [ -s "$work/port" ] && break; sleep 0.05; done
[ -s "$work/port" ] || fail "mirror did not write its port file"
port="$(cat "$work/port")"

python3 - "$port" "$work/root/sub/data.bin" <<'EOF'
import http.client, sys
data = open(sys.argv[2], "rb").read()
conn = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=5)
for url, rng, status, body, span in [("/sub//data.bin", "bytes=1000-1999", 206, data[1000:2000], "1000-1999"),
                                     ("/sub/data.bin", "bytes=199990-", 206, data[199990:], "199990-199999"),
                                     ("/wrong/sub/data.bin", "bytes=0-999", 206, bytes(b ^ 0xFF for b in data[:1000]), "0-999"),
                                     ("/sub/../../etc/passwd", "bytes=0-", 404, None, None)]:
    conn.request("GET", url, headers={"Range": rng})  # one kept-alive connection
    r = conn.getresponse()
    got = r.read()
    if r.status != status or body not in (None, got):
        sys.exit("FAIL: %s: %d" % (url, r.status))
    if span and r.getheader("Content-Range") != "bytes %s/%d" % (span, len(data)):
        sys.exit("FAIL: Content-Range " + str(r.getheader("Content-Range")))
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
echo "http_fault_mirror_test: ok (shutdown in ${elapsed} ms)"
