#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A fault-injecting HTTP mirror for tests (docs/http-client.md): serves the files of --root on a
loopback address with ranged GETs (HTTP/1.1, keep-alive), never anything outside it.  A first path
component /404/, /cut/ (half the body, then close) or /wrong/ (every --wrong-every-th byte flipped)
chooses a fault.  Writes its port to --port-file once listening; SIGTERM, SIGINT and (with
--exit-on-stdin-eof) the end of standard input end it with status 0."""
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
    for bad, text in ((not args.bind.startswith("127."), "--bind must be a loopback address (127.x.x.x)"),
                      (not os.path.isdir(args.root), "--root is not a directory: %s" % args.root),
                      (args.wrong_every < 1, "--wrong-every must be positive")):
        if bad:
            parser.error(text)
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
        data = None if fault == "404" else self.read_file(parts)
        wanted = None if data is None else parse_range(self.headers.get("Range"), len(data))
        if data is None or wanted == "unsatisfiable":
            code, reason = (404, "Not Found") if data is None else (416, "Range Not Satisfiable")
            body = ("%d %s\n" % (code, reason)).encode()
            extra = [] if data is None else [("Content-Range", "bytes */%d" % len(data))]
            return self.send(code, "text/plain", body, extra)
        status, body, extra = 200, data, []
        if wanted is not None:
            status, body = 206, data[wanted[0]:wanted[1] + 1]
            extra = [("Content-Range", "bytes %d-%d/%d" % (wanted + (len(data),)))]
        if fault == "wrong":
            body = bytearray(body)
            for i in range(args.wrong_every - 1, len(body), args.wrong_every):
                body[i] ^= 0xFF
        self.send(status, "application/octet-stream", body, extra, cut=fault == "cut")

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

    def send(self, code, content_type, body, headers, cut=False):
        """The answer; with `cut`, half the body and then the connection is dropped."""
        self.send_response(code)
        for name, value in [("Content-Type", content_type), ("Content-Length", str(len(body)))] + headers + \
                [("Connection", "close")] * self.close_connection:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body[:len(body) // 2] if cut else body)
        if cut:
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
    server.args, server.root, server.log_lock = args, os.path.realpath(args.root), threading.Lock()
    stopping = threading.Event()

    def stop(*_):
        if not stopping.is_set():
            stopping.set()  # shutdown() waits for serve_forever to return: not on its thread
            threading.Thread(target=server.shutdown, daemon=True).start()

    def watch_stdin():  # unbuffered: a buffered read would hold a lock the exit needs
        try:
            while os.read(sys.stdin.fileno(), 4096):
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
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
