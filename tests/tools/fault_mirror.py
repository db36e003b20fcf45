#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A fault-injecting HTTP mirror for tests.

Serves the files of --root on a loopback address with ranged GETs (HTTP/1.1, keep-alive) and
misbehaves on request.  The first component of the URL path chooses a fault (and is removed
before the file is looked up); repeated slashes count as one:

  /404/<file>    answer "404 Not Found"
  /cut/<file>    send the header and half the body, then close
  /wrong/<file>  send the right length, but every --wrong-every-th byte flipped

Nothing outside the root is ever read.  Prints "fault_mirror listening on 127.0.0.1:<port>" and
writes the port to --port-file once connections are accepted.  SIGTERM, SIGINT and (with
--exit-on-stdin-eof) the end of standard input end it with status 0.
"""
import argparse, http.server, os, re, signal, socket, sys, threading, urllib.parse  # noqa: E401

FAULTS = ("404", "cut", "wrong")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name, kind, default in (("--root", str, "."), ("--bind", str, "127.0.0.1"), ("--port-file", str, None),
                                ("--wrong-every", int, 1)):
        parser.add_argument(name, type=kind, default=default)
    for name in ("--connection-close", "--exit-on-stdin-eof", "--quiet"):
        parser.add_argument(name, action="store_true")
    args = parser.parse_args(argv)
    if not args.bind.startswith("127."):
        parser.error("--bind must be a loopback address (127.x.x.x)")
    if not os.path.isdir(args.root):
        parser.error("--root is not a directory: %s" % args.root)
    if args.wrong_every < 1:
        parser.error("--wrong-every must be positive")
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

    def log_request(self, code="-", size="-"):
        pass  # logged once per request below, with its fault

    def log_message(self, fmt, *values):
        if not self.server.args.quiet:
            with self.server.log_lock:
                sys.stderr.write("fault_mirror: " + (fmt % values) + "\n")

    def do_GET(self):
        args = self.server.args
        parts = [p for p in urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).split("/") if p]
        fault = parts.pop(0) if parts and parts[0] in FAULTS else "none"
        self.close_connection = self.close_connection or args.connection_close
        self.log_message("%s fault=%s", self.requestline, fault)
        if fault == "404":
            return self.answer(404, "Not Found")
        data = self.read_file(parts)
        if data is None:
            return self.answer(404, "Not Found")
        wanted = parse_range(self.headers.get("Range"), len(data))
        if wanted == "unsatisfiable":
            return self.answer(416, "Range Not Satisfiable", [("Content-Range", "bytes */%d" % len(data))])
        status, body, extra = 200, data, []
        if wanted is not None:
            status, body = 206, data[wanted[0]:wanted[1] + 1]
            extra = [("Content-Range", "bytes %d-%d/%d" % (wanted + (len(data),)))]
        self.send_head(status, "application/octet-stream", len(body), extra)
        if fault == "wrong":
            body = bytearray(body)
            for i in range(args.wrong_every - 1, len(body), args.wrong_every):
                body[i] ^= 0xFF
        if fault == "cut":
            self.wfile.write(body[:len(body) // 2])
            return self.drop_connection()
        self.wfile.write(body)

    def read_file(self, parts):
        """The bytes of the file under the root that `parts` names, or None."""
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

    def send_head(self, code, content_type, length, headers):
        self.send_response(code)
        for name, value in [("Content-Type", content_type), ("Content-Length", str(length))] + headers + \
                [("Connection", "close")] * self.close_connection:
            self.send_header(name, value)
        self.end_headers()

    def answer(self, code, reason, headers=()):
        body = ("%d %s\n" % (code, reason)).encode()
        self.send_head(code, "text/plain", len(body), list(headers))
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
    server = http.server.ThreadingHTTPServer((args.bind, 0), MirrorHandler)
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
        finally:
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
