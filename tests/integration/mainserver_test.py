#!/usr/bin/env python3
"""A real updater against the real main server on loopback.

    mainserver_test.py <build-dir> <source-dir>

A relay of our own sits between them and records every datagram's type, so
the test sees what crossed the wire: the login and its acknowledgement, the
progress reports up to 100, a forced re-login after the server restarted
mid-run (the updater logs in again and gets a new id), and the logout at
"quit".

It also checks the end-of-run statistics: exactly one report per run reaches
the server's statistics file, decoded, with the bytes the run received.
"""
import json
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from updater_lib import Mirror, PART, Updater, configure, random_bytes, tool, write_release


def free_udp_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Relay:
    """Forwards datagrams between one client and the server, recording
    (direction, type, body) of each."""

    def __init__(self, server_port):
        self.server = ("127.0.0.1", server_port)
        self.front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.front.bind(("127.0.0.1", 0))
        self.back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.back.bind(("127.0.0.1", 0))
        self.port = self.front.getsockname()[1]
        self.client = None
        self.seen = []
        self.lock = threading.Lock()
        for sock, fn in ((self.front, self._up), (self.back, self._down)):
            threading.Thread(target=fn, args=(sock,), daemon=True).start()

    def _note(self, direction, data):
        if len(data) >= 20:
            with self.lock:
                self.seen.append((direction, struct.unpack_from("<i", data)[0], data[20:]))

    def _up(self, sock):
        while True:
            data, self.client = sock.recvfrom(2048)
            self._note("up", data)
            self.back.sendto(data, self.server)

    def _down(self, sock):
        while True:
            data, _ = sock.recvfrom(2048)
            self._note("down", data)
            if self.client:
                self.front.sendto(data, self.client)

    def types(self, direction):
        with self.lock:
            return [(t, body) for d, t, body in self.seen if d == direction]


class MainServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="brelvane-mainserver-test-")
        self.server_port = free_udp_port()
        self.server = self.start_server()
        self.relay = Relay(self.server_port)
        www = os.path.join(self.tmp, "www")
        write_release(os.path.join(www, "app"), {"a.bin": random_bytes(random.Random(21), 40 * PART)})
        self.mirror = Mirror(www, os.path.join(self.tmp, "nginx"))
        subprocess.check_call([tool("tools", "brelvane-release"), "build", os.path.join(www, "app"),
                               os.path.join(www, "out"), "--quiet", "--mirror", self.mirror.url + "/app",
                               "--tracker", "127.0.0.1:%d" % self.relay.port], stdout=subprocess.DEVNULL)

    def tearDown(self):
        self.server.terminate()
        self.server.wait(timeout=10)
        self.mirror.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start_server(self):
        self.stats = os.path.join(self.tmp, "stats.jsonl")
        return subprocess.Popen([tool("tools", "mainserver", "brelvane-mainserver"),
                                 "--listen", "127.0.0.1:%d" % self.server_port,
                                 "--stats-file", self.stats],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_for(self, predicate, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(0.1)
        return False

    def test_login_progress_relogin_after_a_server_restart_and_logout(self):
        game = os.path.join(self.tmp, "game")
        u = Updater(self.tmp, ["-Dir", game, "-HttpUrl", self.mirror.url + "/out", "-DownloadLimit", "400"])
        try:
            self.assertIsNotNone(u.wait_line("[Info]登陆服务器 127.0.0.1:%d 成功" % self.relay.port, 30))
            first_id = int(u.ask("uid", "UserId"))
            self.assertGreaterEqual(first_id, 0)
            acks = [struct.unpack_from("<ii", b) for t, b in self.relay.types("down") if t == 101]
            self.assertEqual(acks, [(0, first_id)])
            # Progress goes up in steps and reaches 100 exactly once.
            self.assertIsNotNone(u.wait_line("[Interactive]P2PState=14", 60))
            self.assertTrue(self.wait_for(lambda: any(t == 108 and b[0] == 100 for t, b in self.relay.types("up")), 10))
            sent = [b[0] for t, b in self.relay.types("up") if t == 108]
            self.assertEqual(sent.count(100), 1)
            self.assertEqual(sent, sorted(sent))
            # The server restarts and forgets everyone: the next keep-alive is
            # answered with a re-login, and the updater logs in again.
            self.server.terminate()
            self.server.wait(timeout=10)
            self.server = self.start_server()
            self.assertIsNotNone(u.wait_line("[Warning]与服务器连接超时，正在重新登陆服务器", 40))
            self.assertTrue(self.wait_for(lambda: int(u.ask("uid", "UserId")) >= 0, 20))
            second_id = int(u.ask("uid", "UserId"))
            self.assertNotEqual(second_id, first_id)
            self.assertEqual(u.quit(), 0)
            self.assertTrue(self.wait_for(lambda: any(t == 104 for t, _ in self.relay.types("up")), 5))
            # One report per run, sent at completion (the first server got it;
            # the quit sent nothing more).
            self.assertEqual([t for t, _ in self.relay.types("up")].count(110), 1)
        finally:
            if u.proc.poll() is None:
                u.proc.kill()

    def test_one_statistics_line_per_run_with_the_bytes_received(self):
        game = os.path.join(self.tmp, "game")
        u = Updater(self.tmp, ["-Dir", game, "-HttpUrl", self.mirror.url + "/out", "-HttpThread", "3"])
        try:
            self.assertIsNotNone(u.wait_line("[Interactive]P2PState=14", 60))
            self.assertEqual(u.quit(), 0)
            self.assertTrue(self.wait_for(lambda: os.path.exists(self.stats) and open(self.stats).read(), 5))
            with open(self.stats) as f:
                lines = [json.loads(line) for line in f]
            self.assertEqual(len(lines), 1)
            report = lines[0]
            self.assertEqual((report["begin_state_name"], report["end_state_name"]), ("Begin", "Finish"))
            self.assertEqual(report["p2p_bytes"], 0)
            self.assertEqual(report["http_threads"], 3)
            # Every part of the release came over HTTP (the file list and the
            # last parts handed out twice as well): no more than the mirror sent.
            self.assertGreaterEqual(report["http_bytes"], 40 * PART)
            # (the updater counts response heads too; nginx logs a cut request
            # when it notices the closed connection)
            self.assertTrue(self.wait_for(
                lambda: self.mirror.served() + 512 * len(self.mirror.log()) >= report["http_bytes"], 5),
                (report["http_bytes"], self.mirror.served()))
            self.assertEqual(report["http_sources"], ["127.0.0.1"])
            console = [l for l in u.lines if l and l.startswith("[Info]ReportDownloadStat ")]
            self.assertEqual(len(console), 1)
            self.assertIn("http=0,%d " % report["http_bytes"], console[0])
        finally:
            if u.proc.poll() is None:
                u.proc.kill()


if __name__ == "__main__":
    configure(sys.argv[1], sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
