#!/usr/bin/env python3
"""transport_hostile_test.py <build-dir> <source-dir>: once the real updater
has a small release from nginx (state 14), 2,000 loopback connections at once
to its listen port: odd ones send a header no peer sends, even ones stay
silent (then send one byte, so that those the full listen backlog left
half-open come to light).  `stat` must answer within a second, ConnectNum
stay <= 512, the thread count not grow, every garbage sender and every
connection beyond the table be shut, and "quit" still end the run."""
import contextlib
import os
import pathlib
import random
import re
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

CONNECTIONS, TABLE = 2000, 512
GARBAGE = b"\xff\xff\xff\xff" + bytes(range(60))  # message type -1


def threads_of(pid):
    return int(re.search(r"Threads:\s+(\d+)", pathlib.Path("/proc/%d/status" % pid).read_text())[1])


def stat(u):
    """(seconds until `stat` answered ConnectNum, ConnectNum)."""
    with u.cond:
        start = len(u.lines)
    began = time.monotonic()
    u.send("stat")
    with u.cond:
        while time.monotonic() - began < 10:
            for line in u.lines[start:]:
                if line and line.startswith("[Interactive]ConnectNum="):
                    return time.monotonic() - began, int(line.split("=")[1])
            u.cond.wait(0.05)
    raise AssertionError("stat not answered")


class Storm:
    def __init__(self, port):
        self.selector = selectors.DefaultSelector()
        self.shut, self.probed = set(), set()  # connection indexes
        for i in range(CONNECTIONS):
            s = socket.socket()
            s.setblocking(False)
            s.connect_ex(("127.0.0.1", port))
            self.selector.register(s, selectors.EVENT_WRITE, i)

    def pump(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            for key, events in self.selector.select(0.05):
                i, s = key.data, key.fileobj
                try:
                    if events & selectors.EVENT_WRITE:
                        if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                            raise OSError("connect failed")
                        if i % 2:
                            s.send(GARBAGE)
                        self.selector.modify(s, selectors.EVENT_READ, i)
                    elif not s.recv(4096):
                        raise OSError("end of stream")
                except BlockingIOError:
                    pass
                except OSError:
                    self.shut.add(i)
                    self.selector.unregister(s)
                    s.close()

    def probe_silent(self):
        for key in list(self.selector.get_map().values()):
            if key.data % 2 == 0 and key.events == selectors.EVENT_READ and key.data not in self.probed:
                self.probed.add(key.data)
                with contextlib.suppress(OSError):  # a reset shows in the next pump
                    key.fileobj.send(b"\x00")

    def close(self):
        for key in list(self.selector.get_map().values()):
            key.fileobj.close()


class TransportHostileTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="brelvane-hostile-")
        self.www = os.path.join(self.tmp, "www")
        os.makedirs(self.www)
        self.mirror = updater_lib.Mirror(self.www, os.path.join(self.tmp, "nginx"))
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, CONNECTIONS + 1000)), hard))

    def tearDown(self):
        self.mirror.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_connection_storm(self):
        app = os.path.join(self.www, "app")
        updater_lib.write_release(app, {"a.bin": updater_lib.random_bytes(random.Random(1), 200000)})
        subprocess.check_call([updater_lib.tool("tools", "brelvane-release"), "build", app,
                               os.path.join(self.www, "out"), "--quiet", "--tracker",
                               "127.0.0.1:5000", "--mirror", self.mirror.url + "/app"],
                              stdout=subprocess.DEVNULL)
        u = updater_lib.Updater(self.tmp, ["-Dir", os.path.join(self.tmp, "game"),
                                           "-HttpUrl", self.mirror.url + "/out"])
        try:
            self.assertIsNotNone(u.wait_line("[Interactive]P2PState=14", timeout=60))
            threads_before = threads_of(u.proc.pid)
            storm = Storm(int(u.ask("state", "TcpListenPort")))
            slowest, most, most_threads = 0.0, 0, threads_before
            try:
                # SYNs and probes the full backlog dropped come again, later each time.
                for _ in range(150):
                    storm.pump(0.5)
                    took, connections = stat(u)
                    slowest, most = max(slowest, took), max(most, connections)
                    most_threads = max(most_threads, threads_of(u.proc.pid))
                    if sum(i % 2 for i in storm.shut) == CONNECTIONS // 2:
                        if len(storm.shut) >= CONNECTIONS - TABLE:
                            break
                        storm.probe_silent()
                _, remaining = stat(u)
            finally:
                storm.close()
            self.assertLess(slowest, 1.0)
            self.assertTrue(0 < most <= TABLE)
            self.assertLessEqual(most_threads, threads_before + 1)
            self.assertEqual(sum(i % 2 for i in storm.shut), CONNECTIONS // 2)
            self.assertGreaterEqual(len(storm.shut), CONNECTIONS - TABLE,
                                    "ConnectNum %d, %d probed" % (remaining, len(storm.probed)))
            self.assertLessEqual(remaining, TABLE)
        finally:
            code = u.quit(timeout=60)
        self.assertEqual(code, 0)
        self.assertEqual(u.lines[-2], "[Interactive]P2PState=16")


if __name__ == "__main__":
    updater_lib.configure(sys.argv[1], sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"])
