#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A fault-injecting HTTP mirror for tests (docs/http-client.md): serves the files of --root on a
loopback address with ranged GETs (HTTP/1.1, keep-alive), never anything outside it.  A first path
component /404/ or /wrong/ (every --wrong-every-th byte flipped) chooses a fault.  Prints
"fault_mirror listening on IP:PORT" once listening; SIGTERM and SIGINT end it with status 0."""
import argparse, http.server, os, re, signal, sys, threading, urllib.parse  # noqa: E401

FAULTS = ("404", "wrong")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name, kind, default in (("--root", str, "."), ("--bind", str, "127.0.0.1"), ("--wrong-every", int, 1)):
        parser.add_argument(name, type=kind, default=default)
    args = parser.parse_args(argv)
    for bad, text in ((not args.bind.startswith("127."), "--bind must be a loopback address (127.x.x.x)"),
                      (not os.path.isdir(args.root), "--root is not a directory: %s" % args.root),
                      (args.wrong_every < 1, "--wrong-every must be positive")):
        if bad:
            parser.error(text)
    return args


class MirrorHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *_):
        pass

    def do_GET(self):
        parts = [p for p in urllib.parse.unquote(urllib.parse.urlsplit(self.path).path).split("/") if p]
        fault = parts.pop(0) if parts and parts[0] in FAULTS else "none"
        data = None if fault == "404" else self.read_file(parts)
        if data is None:
            return self.send(404, b"404 Not Found\n")
        # A Range "bytes=first-[last]" (the updater sends no other form) gets 206 or 416.
        wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", (self.headers.get("Range") or "").strip())
        status, body, extra = 200, data, []
        if wanted:
            first, last = int(wanted[1]), min(int(wanted[2] or len(data) - 1), len(data) - 1)
            if first > last:
                return self.send(416, b"416 Range Not Satisfiable\n", [("Content-Range", "bytes */%d" % len(data))])
            status, body = 206, data[first:last + 1]
            extra = [("Content-Range", "bytes %d-%d/%d" % (first, last, len(data)))]
        if fault == "wrong":
            body = bytearray(body)
            for i in range(self.server.args.wrong_every - 1, len(body), self.server.args.wrong_every):
                body[i] ^= 0xFF
        self.send(status, body, extra)

    def read_file(self, parts):
        """The bytes of the file under the root that `parts` names, or None."""
        root = self.server.root
        candidate = os.path.realpath(os.path.join(root, *parts))
        if any(p in (".", "..") or "\0" in p for p in parts) or os.path.commonpath([candidate, root]) != root:
            return None
        try:
            with open(candidate, "rb") as f:
                return f.read()
        except OSError:  # missing, a directory, unreadable
            return None

    def send(self, code, body, headers=()):
        self.send_response(code)
        for name, value in [("Content-Length", str(len(body)))] + list(headers):
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


def main(argv):
    args = parse_args(argv)
    http.server.ThreadingHTTPServer.daemon_threads = True
    server = http.server.ThreadingHTTPServer((args.bind, 0), MirrorHandler)
    server.args, server.root = args, os.path.realpath(args.root)

    def stop(*_):  # shutdown() waits for serve_forever to return: not on its thread
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("fault_mirror listening on %s:%d" % server.server_address[:2], flush=True)
    try:
        server.serve_forever(poll_interval=0.1)
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
