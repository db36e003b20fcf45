#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A fault-injecting HTTP mirror for tests.

Serves the files of --root on a loopback address with ranged GETs (HTTP/1.1,
keep-alive) and misbehaves on request.  The first component of the URL path
chooses a fault (and is removed before the file is looked up); --fault sets
one for every other request:

  /404/<file>      answer "404 Not Found"
  /redirect/<file> answer "302 Found" pointing at /<file> on this server
  /cut/<file>      send the header and --cut-after body bytes, then close
  /stall/<file>    send the header and --stall-after body bytes, then go silent
  /wrong/<file>    send the right length, but every --wrong-every-th byte flipped
  /trickle/<file>  send the body --trickle-bytes at a time, --trickle-interval-ms apart

Prefixes chain, repeated slashes count as one, and nothing outside the root
is ever read.  Prints "fault_mirror listening on 127.0.0.1:<port>" and writes
the port to --port-file once connections are accepted.  SIGTERM, SIGINT and
(with --exit-on-stdin-eof) the end of standard input end it with status 0.
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


def parse_args(argv):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name, kind, default, text in (
            ("--root", str, ".", "directory to serve"),
            ("--bind", str, "127.0.0.1", "loopback address to listen on"),
            ("--port", int, 0, "port to listen on; 0 picks a free one"),
            ("--port-file", str, None, "write the chosen port to this file"),
            ("--cut-after", int, -1, "body bytes sent before a cut (-1: half the body)"),
            ("--stall-after", int, 0, "body bytes sent before a stall"),
            ("--stall-seconds", float, 3600.0, "longest stall (the client closing ends it)"),
            ("--wrong-every", int, 1, "flip every N-th body byte of a 'wrong' answer"),
            ("--trickle-bytes", int, 64, "bytes per piece of a trickled body"),
            ("--trickle-interval-ms", int, 50, "pause between trickled pieces")):
        parser.add_argument(name, type=kind, default=default, help=text + " (default: %(default)s)")
    parser.add_argument("--fault", choices=FAULTS, default="none",
                        help="fault for every request without a fault prefix")
    parser.add_argument("--redirect-style", choices=("absolute", "path"), default="absolute",
                        help="Location of a redirect: full URL or path only")
    for name, text in (("--connection-close", "answer with 'Connection: close' and close"),
                       ("--exit-on-stdin-eof", "shut down when standard input ends"),
                       ("--quiet", "do not log requests")):
        parser.add_argument(name, action="store_true", help=text)
    args = parser.parse_args(argv)
    if not args.bind.startswith("127."):
        parser.error("--bind must be a loopback address (127.x.x.x)")
    if not os.path.isdir(args.root):
        parser.error("--root is not a directory: %s" % args.root)
    if args.wrong_every < 1 or args.trickle_bytes < 1 or args.trickle_interval_ms < 0:
        parser.error("--wrong-every and --trickle-bytes must be positive")
    return args


def parse_range(header, size):
    """(first, last) inclusive, None for no usable Range, or "unsatisfiable"."""
    match = re.match(r"^bytes=(\d*)-(\d*)$", (header or "").strip())
    if not match or match.groups() == ("", ""):
        return None
    first, last = match.groups()
    if first == "":
        return (max(0, size - int(last)), size - 1) if int(last) else "unsatisfiable"
    first, last = int(first), size - 1 if last == "" else min(int(last), size - 1)
    return "unsatisfiable" if first >= size or last < first else (first, last)


class MirrorHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "fault_mirror/1"

    def log_request(self, code="-", size="-"):
        pass  # logged once per request below, with its fault

    def log_message(self, fmt, *values):
        if not self.server.args.quiet:
            with self.server.log_lock:
                sys.stderr.write("fault_mirror: " + (fmt % values) + "\n")
                sys.stderr.flush()

    def do_HEAD(self):
        self.serve(send_body=False)

    def do_GET(self):
        self.serve(send_body=True)

    def serve(self, send_body):
        args = self.server.args
        path = re.sub(r"/{2,}", "/", urllib.parse.unquote(urllib.parse.urlsplit(self.path).path))
        parts = path.lstrip("/").split("/", 1)
        fault = args.fault
        if parts[0] in FAULTS[1:]:
            fault, path = parts[0], "/" + (parts[1] if len(parts) > 1 else "")
        self.close_connection = self.close_connection or args.connection_close
        if fault == "404":
            return self.answer(404, "Not Found", fault=fault)
        if fault == "redirect":
            location = urllib.parse.quote(path)
            if args.redirect_style == "absolute":
                location = "http://%s:%d%s" % (self.server.server_address[:2] + (location,))
            return self.answer(302, "Found", [("Location", location)], fault=fault)
        data = self.read_file(path)
        if data is None:
            return self.answer(404, "Not Found")
        wanted = parse_range(self.headers.get("Range"), len(data))
        if wanted == "unsatisfiable":
            return self.answer(416, "Range Not Satisfiable",
                               [("Content-Range", "bytes */%d" % len(data))])
        status, body, extra = 200, data, []
        if wanted is not None:
            status, body = 206, data[wanted[0]:wanted[1] + 1]
            extra = [("Content-Range", "bytes %d-%d/%d" % (wanted + (len(data),)))]
        self.send_head(status, None, "application/octet-stream", len(body), extra)
        if send_body:
            self.log_message("%s fault=%s status=%d bytes=%d", self.requestline, fault, status,
                             len(body))
            self.send_body(fault, body)

    def read_file(self, path):
        """The bytes of the file under the root that `path` names, or None."""
        parts = [p for p in path.split("/") if p]
        if any(p in (".", "..") or "\0" in p for p in parts):
            return None
        root = self.server.root
        candidate = os.path.realpath(os.path.join(root, *parts))
        if os.path.commonpath([candidate, root]) != root or not os.path.isfile(candidate):
            return None
        try:
            with open(candidate, "rb") as f:
                return f.read()
        except OSError:
            return None

    def send_head(self, code, reason, content_type, length, headers):
        self.send_response(code, reason)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(length))
        for name, value in headers:
            self.send_header(name, value)
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()

    def answer(self, code, reason, headers=(), fault="none"):
        self.log_message("%s fault=%s status=%d", self.requestline, fault, code)
        body = ("%d %s\n" % (code, reason)).encode()
        self.send_head(code, reason, "text/plain", len(body), headers)
        if self.command != "HEAD":
            self.wfile.write(body)

    def send_body(self, fault, body):
        args = self.server.args
        if fault == "cut":
            self.wfile.write(body[:len(body) // 2 if args.cut_after < 0 else args.cut_after])
            self.drop_connection()
        elif fault == "stall":
            self.wfile.write(body[:args.stall_after])
            self.wfile.flush()
            deadline = time.monotonic() + args.stall_seconds
            self.connection.settimeout(0.1)
            while not self.server.stopping.is_set() and time.monotonic() < deadline:
                try:
                    if self.connection.recv(4096) == b"":
                        break  # the client closed
                except socket.timeout:
                    continue
                except OSError:
                    break
            self.drop_connection()
        elif fault == "wrong":
            wrong = bytearray(body)
            for i in range(args.wrong_every - 1, len(wrong), args.wrong_every):
                wrong[i] ^= 0xFF
            self.wfile.write(bytes(wrong))
        elif fault == "trickle":
            for at in range(0, len(body), args.trickle_bytes):
                if at > 0 and self.server.stopping.wait(args.trickle_interval_ms / 1000.0):
                    return self.drop_connection()
                self.wfile.write(body[at:at + args.trickle_bytes])
                self.wfile.flush()
        else:
            self.wfile.write(body)

    def drop_connection(self):
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main(argv):
    args = parse_args(argv)
    http.server.ThreadingHTTPServer.daemon_threads = True
    http.server.ThreadingHTTPServer.allow_reuse_address = True
    server = http.server.ThreadingHTTPServer((args.bind, args.port), MirrorHandler)
    server.args, server.root = args, os.path.realpath(args.root)
    server.stopping, server.log_lock = threading.Event(), threading.Lock()

    def stop(*_):
        if not server.stopping.is_set():
            server.stopping.set()
            # shutdown() waits for serve_forever to return: not on its thread.
            threading.Thread(target=server.shutdown, daemon=True).start()

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        except OSError:
            pass
        stop()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.exit_on_stdin_eof:
        threading.Thread(target=watch_stdin, daemon=True).start()
    print("fault_mirror listening on %s:%d" % server.server_address[:2], flush=True)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % server.server_address[1])
        os.replace(args.port_file + ".tmp", args.port_file)
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        server.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
