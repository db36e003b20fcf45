#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A fault-injecting HTTP mirror for tests.

Serves the files of one directory on a loopback address with ranged GETs
(HTTP/1.1, keep-alive) and misbehaves on request.  A fault is chosen per
request by the first component of the URL path, which is removed before the
file is looked up, or for every request with --fault:

  /404/<file>      answer "404 Not Found"
  /redirect/<file> answer "302 Found" pointing at /<file> on this server
  /cut/<file>      send the header and --cut-after body bytes, then close
  /stall/<file>    send the header and --stall-after body bytes, then go silent
  /wrong/<file>    send the right length, but every --wrong-every-th byte flipped
  /trickle/<file>  send the body --trickle-bytes at a time, --trickle-interval-ms apart

Prefixes chain ("/redirect/cut/f" redirects to "/cut/f").  Repeated slashes
in a path count as one, so "/cut//f" is "/cut/f".  Nothing outside the
served directory is ever read.

The chosen port is printed as "fault_mirror listening on 127.0.0.1:<port>" and,
with --port-file, written to that file once the server accepts connections.
SIGTERM, SIGINT and (with --exit-on-stdin-eof) the end of standard input shut
it down cleanly with exit status 0.

Standard library only.
"""

import argparse
import http.server
import os
import re
import signal
import socket
import sys
import threading
import time
import urllib.parse

FAULTS = ("none", "404", "redirect", "cut", "stall", "wrong", "trickle")

RANGE_RE = re.compile(r"^bytes=(\d*)-(\d*)$")


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default=".", help="directory to serve (default: .)")
    parser.add_argument("--bind", default="127.0.0.1",
                        help="loopback address to listen on (default: 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0,
                        help="port to listen on; 0 picks a free one (default)")
    parser.add_argument("--port-file", help="write the chosen port to this file")
    parser.add_argument("--fault", choices=FAULTS, default="none",
                        help="fault for every request without a fault prefix")
    parser.add_argument("--cut-after", type=int, default=-1, metavar="BYTES",
                        help="body bytes sent before a cut (default: half the body)")
    parser.add_argument("--stall-after", type=int, default=0, metavar="BYTES",
                        help="body bytes sent before a stall (default: 0)")
    parser.add_argument("--stall-seconds", type=float, default=3600.0,
                        help="longest stall; the client closing or shutdown ends it sooner")
    parser.add_argument("--wrong-every", type=int, default=1, metavar="N",
                        help="flip every N-th body byte of a 'wrong' answer (default: 1)")
    parser.add_argument("--trickle-bytes", type=int, default=64,
                        help="bytes per piece of a trickled body (default: 64)")
    parser.add_argument("--trickle-interval-ms", type=int, default=50,
                        help="pause between trickled pieces (default: 50)")
    parser.add_argument("--redirect-style", choices=("absolute", "path"), default="absolute",
                        help="Location of a redirect: full URL or path only")
    parser.add_argument("--connection-close", action="store_true",
                        help="answer every request with 'Connection: close' and close")
    parser.add_argument("--exit-on-stdin-eof", action="store_true",
                        help="shut down when standard input reaches its end")
    parser.add_argument("--quiet", action="store_true", help="do not log requests")
    args = parser.parse_args(argv)
    if not args.bind.startswith("127."):
        parser.error("--bind must be a loopback address (127.x.x.x)")
    if not os.path.isdir(args.root):
        parser.error("--root is not a directory: %s" % args.root)
    if args.wrong_every < 1 or args.trickle_bytes < 1 or args.trickle_interval_ms < 0:
        parser.error("--wrong-every and --trickle-bytes must be positive")
    return args


def split_fault(path, default_fault):
    """Returns (fault, path without the fault prefix)."""
    parts = path.lstrip("/").split("/", 1)
    if parts[0] in FAULTS[1:]:
        return parts[0], "/" + (parts[1] if len(parts) > 1 else "")
    return default_fault, path


def parse_range(header, size):
    """Returns (first, last) inclusive, None for no/unusable Range, or 'unsatisfiable'."""
    if header is None:
        return None
    match = RANGE_RE.match(header.strip())
    if not match or (match.group(1) == "" and match.group(2) == ""):
        return None
    first_text, last_text = match.groups()
    if first_text == "":
        suffix = int(last_text)
        if suffix == 0:
            return "unsatisfiable"
        return max(0, size - suffix), size - 1
    first = int(first_text)
    last = size - 1 if last_text == "" else min(int(last_text), size - 1)
    if first >= size or last < first:
        return "unsatisfiable"
    return first, last


class MirrorServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, handler, args):
        super().__init__(address, handler)
        self.args = args
        self.root = os.path.realpath(args.root)
        self.stopping = threading.Event()
        self.log_lock = threading.Lock()


class MirrorHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fault_mirror/1"

    def log_request(self, code="-", size="-"):
        pass  # serve() logs each request once, with its fault

    def log_message(self, fmt, *values):
        if not self.server.args.quiet:
            with self.server.log_lock:
                sys.stderr.write("fault_mirror: " + (fmt % values) + "\n")
                sys.stderr.flush()

    def do_HEAD(self):
        self.serve(send_body=False)

    def do_GET(self):
        self.serve(send_body=True)

    # -- request handling ----------------------------------------------------

    def serve(self, send_body):
        args = self.server.args
        raw_path = urllib.parse.urlsplit(self.path).path
        path = re.sub(r"/{2,}", "/", urllib.parse.unquote(raw_path))
        fault, path = split_fault(path, args.fault)
        if args.connection_close:
            self.close_connection = True

        if fault == "404":
            return self.send_simple(404, "Not Found", fault=fault)
        if fault == "redirect":
            location = urllib.parse.quote(path)
            if args.redirect_style == "absolute":
                host, port = self.server.server_address[:2]
                location = "http://%s:%d%s" % (host, port, location)
            return self.send_simple(302, "Found", [("Location", location)], fault=fault)

        file_path = self.resolve(path)
        if file_path is None:
            return self.send_simple(404, "Not Found")
        try:
            with open(file_path, "rb") as f:
                data = f.read()
        except OSError:
            return self.send_simple(404, "Not Found")

        wanted = parse_range(self.headers.get("Range"), len(data))
        if wanted == "unsatisfiable":
            return self.send_simple(416, "Range Not Satisfiable",
                                    [("Content-Range", "bytes */%d" % len(data))])
        if wanted is None:
            status, body, extra = 200, data, []
        else:
            first, last = wanted
            status, body = 206, data[first:last + 1]
            extra = [("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))]

        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if not send_body:
            return
        self.log_message("%s fault=%s status=%d bytes=%d", self.requestline, fault, status,
                         len(body))
        self.send_body(fault, body)

    def resolve(self, path):
        """The file under the root that `path` names, or None."""
        parts = [p for p in path.split("/") if p]
        if any(p in (".", "..") or "\0" in p for p in parts):
            return None
        candidate = os.path.realpath(os.path.join(self.server.root, *parts))
        if os.path.commonpath([candidate, self.server.root]) != self.server.root:
            return None
        return candidate if os.path.isfile(candidate) else None

    def send_simple(self, code, reason, headers=(), fault="none"):
        self.log_message("%s fault=%s status=%d", self.requestline, fault, code)
        body = ("%d %s\n" % (code, reason)).encode()
        self.send_response(code, reason)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    # -- faults --------------------------------------------------------------

    def send_body(self, fault, body):
        args = self.server.args
        if fault == "cut":
            count = len(body) // 2 if args.cut_after < 0 else min(args.cut_after, len(body))
            self.wfile.write(body[:count])
            self.drop_connection()
        elif fault == "stall":
            self.wfile.write(body[:min(args.stall_after, len(body))])
            self.wfile.flush()
            self.stall(args.stall_seconds)
            self.drop_connection()
        elif fault == "wrong":
            wrong = bytearray(body)
            for i in range(args.wrong_every - 1, len(wrong), args.wrong_every):
                wrong[i] ^= 0xFF
            self.wfile.write(bytes(wrong))
        elif fault == "trickle":
            pause = args.trickle_interval_ms / 1000.0
            for at in range(0, len(body), args.trickle_bytes):
                if at > 0 and self.server.stopping.wait(pause):
                    self.drop_connection()
                    return
                self.wfile.write(body[at:at + args.trickle_bytes])
                self.wfile.flush()
        else:
            self.wfile.write(body)

    def stall(self, seconds):
        """Waits until the client closes, the server stops, or `seconds` pass."""
        deadline = time.monotonic() + seconds
        self.connection.settimeout(0.1)
        while not self.server.stopping.is_set() and time.monotonic() < deadline:
            try:
                if self.connection.recv(4096) == b"":
                    return
            except socket.timeout:
                continue
            except OSError:
                return

    def drop_connection(self):
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main(argv):
    args = parse_args(argv)
    server = MirrorServer((args.bind, args.port), MirrorHandler, args)
    host, port = server.server_address[:2]

    def stop(*_):
        if not server.stopping.is_set():
            server.stopping.set()
            # shutdown() waits for serve_forever to return: not on its thread.
            threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.exit_on_stdin_eof:
        def watch_stdin():
            try:
                while sys.stdin.buffer.read(4096):
                    pass
            except OSError:
                pass
            stop()
        threading.Thread(target=watch_stdin, daemon=True).start()

    print("fault_mirror listening on %s:%d" % (host, port), flush=True)
    if args.port_file:
        temp = args.port_file + ".tmp"
        with open(temp, "w") as f:
            f.write("%d\n" % port)
        os.replace(temp, args.port_file)
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        server.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
