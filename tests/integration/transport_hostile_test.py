#!/usr/bin/env python3
"""The real updater's TCP listener under a connection storm, on loopback.

    transport_hostile_test.py <build-dir> <source-dir>

A small release is served by nginx; once the updater has it (state 14) its
listen port is read from `get state`, and 2,000 connections are opened to
it at once: half stay silent, half send a header no peer would send.  (The
silent ones send one byte at the end, so that those the full listen backlog
left half-open on the updater's side come to light.)  While
the storm lasts, `stat` must answer within a second, ConnectNum must never
pass the 512 the table holds, and the thread count must not grow with the
connections.  Every garbage sender and every connection beyond the table
must be shut by the updater; "quit" must still end the run in order.
"""
import os
import random
import resource
import selectors
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import updater_lib  # noqa: E402

CONNECTIONS = 2000
TABLE = 512
GARBAGE = b"\xff\xff\xff\xff" + bytes(range(60))  # message type -1: refused


def threads_of(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no thread count for %d" % pid)


def stat(u, timeout=10.0):
    """Sends `stat`; returns (seconds until ConnectNum answered, ConnectNum)."""
    with u.cond:
        start = len(u.lines)
    began = time.monotonic()
    u.send("stat")
    prefix = "[Interactive]ConnectNum="
    with u.cond:
        while time.monotonic() - began < timeout:
            for line in u.lines[start:]:
                if line is not None and line.startswith(prefix):
                    return time.monotonic() - began, int(line[len(prefix):])
            u.cond.wait(0.05)
    raise AssertionError("stat not answered within %.0f s" % timeout)


class Storm:
    """CONNECTIONS non-blocking connects; odd ones send GARBAGE once up.
    Counts the connections the far end shut (end of stream or reset)."""

    def __init__(self, port):
        self.selector = selectors.DefaultSelector()
        self.socks = []
        self.shut = set()
        for i in range(CONNECTIONS):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            self.socks.append(s)
            self.selector.register(s, selectors.EVENT_WRITE, i)

    def pump(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for key, events in self.selector.select(0.05):
                i, s = key.data, key.fileobj
                if events & selectors.EVENT_WRITE:
                    if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                        self._shut(i, s)
                        continue
                    if i % 2:
                        try:
                            s.send(GARBAGE)
                        except OSError:
                            self._shut(i, s)
                            continue
                    self.selector.modify(s, selectors.EVENT_READ, i)
                    continue
                try:
                    if not s.recv(4096):
                        self._shut(i, s)
                except BlockingIOError:
                    pass
                except OSError:
                    self._shut(i, s)

    def probe_silent(self):
        """One byte down every silent connection still open.  A connection the
        table holds keeps waiting for the rest of a header; one the listener
        never completed (its backlog was full when the client's ACK came: the
        client counts it as open, the updater never saw it) is now either
        accepted and refused, or reset."""
        for key in list(self.selector.get_map().values()):
            if key.data % 2 == 0 and key.events == selectors.EVENT_READ:
                try:
                    key.fileobj.send(b"\x00")
                except OSError:
                    self._shut(key.data, key.fileobj)

    def _shut(self, i, s):
        self.shut.add(i)
        self.selector.unregister(s)

    def close(self):
        for s in self.socks:
            s.close()
        self.selector.close()


class TransportHostileTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="brelvane-hostile-")
        self.www = os.path.join(self.tmp, "www")
        os.makedirs(self.www)
        self.mirror = updater_lib.Mirror(self.www, os.path.join(self.tmp, "nginx"))
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        if soft < CONNECTIONS + 200:
            resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, CONNECTIONS + 1000), hard))

    def tearDown(self):
        self.mirror.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_connection_storm(self):
        app = os.path.join(self.www, "app")
        updater_lib.write_release(app, {"a.bin": updater_lib.random_bytes(random.Random(1), 200000)})
        out = os.path.join(self.www, "out")
        subprocess.check_call([updater_lib.tool("tools", "brelvane-release"), "build", app, out,
                               "--quiet", "--tracker", "127.0.0.1:5000",
                               "--mirror", self.mirror.url + "/app"], stdout=subprocess.DEVNULL)
        u = updater_lib.Updater(self.tmp, ["-Dir", os.path.join(self.tmp, "game"),
                                           "-HttpUrl", self.mirror.url + "/out"])
        try:
            self.assertIsNotNone(u.wait_line("[Interactive]P2PState=14", timeout=60),
                                 "\n".join(map(str, u.lines)))
            port = int(u.ask("state", "TcpListenPort"))
            threads_before = threads_of(u.proc.pid)

            storm = Storm(port)
            slowest, most_connections, most_threads = 0.0, 0, threads_before
            try:
                for _ in range(30):  # 15 s: SYNs dropped by the full backlog are retried
                    storm.pump(0.5)
                    took, connections = stat(u)
                    slowest = max(slowest, took)
                    most_connections = max(most_connections, connections)
                    most_threads = max(most_threads, threads_of(u.proc.pid))
                    if sum(1 for i in storm.shut if i % 2) == CONNECTIONS // 2:
                        break
                storm.probe_silent()
                for _ in range(20):
                    storm.pump(0.5)
                    if len(storm.shut) >= CONNECTIONS - TABLE:
                        break
                _, remaining = stat(u)
                garbage_shut = sum(1 for i in storm.shut if i % 2)
                shut = len(storm.shut)
            finally:
                storm.close()

            print("storm: slowest stat %.3f s, ConnectNum at most %d, threads %d -> %d, %d shut"
                  % (slowest, most_connections, threads_before, most_threads, shut), file=sys.stderr)
            self.assertLess(slowest, 1.0, "stat answered slowly during the storm")
            self.assertLessEqual(most_connections, TABLE)
            self.assertGreater(most_connections, 0)
            self.assertLessEqual(most_threads, threads_before + 1)
            # Every garbage sender is shut, and so is every silent one beyond the table.
            self.assertEqual(garbage_shut, CONNECTIONS // 2)
            self.assertGreaterEqual(shut, CONNECTIONS - TABLE)
            self.assertLessEqual(remaining, TABLE)
        finally:
            code = u.quit(timeout=60)
        self.assertEqual(code, 0)
        self.assertEqual(u.lines[-2], "[Interactive]P2PState=16")


if __name__ == "__main__":
    updater_lib.configure(sys.argv[1], sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"])
