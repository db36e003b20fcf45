#!/usr/bin/env python3
"""Real swarms: the real main server, real updaters, each in its own network
namespace with its own address, nginx as the mirror.

    swarm_test.py <build-dir> <source-dir>

Covers: one seed and four empty updaters finishing from peers alone; HTTP and
peers together fetching no part twice outside the endgame; a peer serving
wrong bytes that never gets them onto disk; a peer killed mid-part; a seed
that accepts no inbound connection serving through the connect-back path; a
resumed updater fetching no part twice.  Says SKIPPED (exit 77, which ctest
reports as skipped) only when
namespaces cannot be created here.
"""
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import swarm_lib
from updater_lib import (PART, Updater, complete_parts, configure, random_bytes, tool,
                         tree_digest, write_release)

SOURCE_DIR = None
RECEIVE_DONE = re.compile(r"Receive done from -?\d+, UID (\d+)\.(\d+)")
P2P_TOTAL = re.compile(r"P2P total ([0-9.]+) KB")


class SwarmTest(unittest.TestCase):
    net = None

    @classmethod
    def setUpClass(cls):
        try:
            cls.net = swarm_lib.Swarm.create(prefix="bvt")
        except swarm_lib.Skip as e:
            raise unittest.SkipTest(str(e))
        cls.tmp = tempfile.mkdtemp(prefix="brelvane-swarm-test-")
        cls.www = os.path.join(cls.tmp, "www")
        os.makedirs(cls.www)
        cls.mirror = cls.net.start_mirror(cls.www, limit_rate="150k")
        cls.stats = os.path.join(cls.tmp, "stats.jsonl")
        cls.net.start_main_server(cls.stats)
        cls.spare = [cls.net.add_member() for _ in range(6)]

    @classmethod
    def tearDownClass(cls):
        if cls.net:
            cls.net.close()
            if os.environ.get("BRELVANE_KEEP"):
                print("kept " + cls.tmp)
            else:
                shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.case = os.path.join(self.tmp, self._testMethodName)
        os.makedirs(self.case)
        self.running = []

    def tearDown(self):
        for u in self.running:
            if u.proc.poll() is None:
                u.proc.kill()
                u.proc.wait()

    def cut(self, name, files, data_mirror=True):
        """A release served under /<name>/; the torrent names the mirror only
        with `data_mirror` (else a path that does not exist)."""
        app = os.path.join(self.www, name, "app")
        write_release(app, files)
        out = os.path.join(self.www, name, "out")
        mirror = self.mirror + ("/%s/app" % name if data_mirror else "/nothing")
        subprocess.check_call([tool("tools", "brelvane-release"), "build", app, out, "--quiet",
                               "--mirror", mirror, "--tracker", self.net.tracker()],
                              stdout=subprocess.DEVNULL)
        return self.mirror + "/%s/out" % name

    def start(self, member, torrent_url, game, extra=(), seed_from=None):
        """An updater in `member`'s namespace working in its own directory."""
        work = os.path.join(self.case, "m%d" % member.index)
        os.makedirs(work, exist_ok=True)
        if seed_from:
            shutil.copytree(seed_from, game)
        u = Updater(work, ["-Dir", game, "-HttpUrl", torrent_url, "-LogLevel", "5",
                           "-UploadLimit", "1048576", "-DownloadLimit", "1048576"] + list(extra),
                    prefix=member.prefix)
        u.work = work
        u.game = game
        self.running.append(u)
        return u

    def finish(self, u, timeout=180):
        reached = u.wait_line("[Interactive]P2PState=14", timeout=timeout)
        self.assertIsNotNone(reached, "never reached state 14:\n" + "\n".join(map(str, u.lines[-40:])))

    def log(self, u):
        path = os.path.join(u.work, "p2p.log")
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as f:
            return f.read()

    def peer_parts(self, u):
        """(file id, part) pairs received whole from peers, with repeats."""
        return [(int(f), int(p)) for f, p in RECEIVE_DONE.findall(self.log(u))]

    def p2p_bytes(self, u):
        totals = P2P_TOTAL.findall(self.log(u))
        return float(totals[-1]) * 1024 if totals else 0.0

    def release(self, name):
        return tree_digest(os.path.join(self.www, name, "app"))

    def test_one_seed_and_four_empty_updaters_finish_from_peers_alone(self):
        rng = random.Random(11)
        files = {"bin/big.bin": random_bytes(rng, 40 * PART + 77), "data/a.pak": random_bytes(rng, 9 * PART),
                 "readme.txt": b"swarm\n"}
        url = self.cut("alone", files, data_mirror=False)
        seed = self.start(self.spare[0], url, os.path.join(self.case, "seed"),
                          seed_from=os.path.join(self.www, "alone", "app"))
        self.finish(seed, timeout=60)
        empties = [self.start(m, url, os.path.join(self.case, "game%d" % m.index), ["-HttpThread", "0"])
                   for m in self.spare[1:5]]
        for u in empties:
            self.finish(u)
        for u in [seed] + empties:
            self.assertEqual(u.quit(), 0)
        for u in empties:
            self.assertEqual(tree_digest(u.game), self.release("alone"))
            self.assertGreater(self.p2p_bytes(u), 49 * PART)
        # Nothing of the data came over HTTP.
        self.assertEqual([e for e in self.net.mirror_log() if "/alone/app" in e[0] or "/nothing" in e[0]], [])

    def test_http_and_peers_together_fetch_no_part_twice_outside_the_endgame(self):
        rng = random.Random(12)
        files = {"x.bin": random_bytes(rng, 120 * PART)}
        url = self.cut("mixed", files)
        seed = self.start(self.spare[0], url, os.path.join(self.case, "seed"),
                          seed_from=os.path.join(self.www, "mixed", "app"))
        self.finish(seed, timeout=60)
        peers = [self.start(m, url, os.path.join(self.case, "g%d" % m.index), ["-HttpThread", "2"])
                 for m in self.spare[1:4]]
        for u in peers:
            self.finish(u)
        log = self.net.mirror_log()
        for u, m in zip(peers, self.spare[1:4]):
            self.assertEqual(u.quit(), 0)
            self.assertEqual(tree_digest(u.game), self.release("mixed"))
            http = sum(b for uri, status, b, client in log if client == m.ip and "/mixed/app" in uri)
            fetched = http + self.p2p_bytes(u)
            # Every byte once, plus at most a few parts handed out twice when
            # the last ones were in flight (the endgame).
            self.assertLess(fetched, (120 + 12) * PART, "fetched %d bytes" % fetched)
            self.assertGreater(self.p2p_bytes(u), 0)
        self.assertEqual(seed.quit(), 0)

    def test_wrong_bytes_from_a_peer_never_reach_the_disk(self):
        rng = random.Random(13)
        files = {"w.bin": random_bytes(rng, 30 * PART)}
        url = self.cut("wrong", files, data_mirror=False)
        torrent = os.path.join(self.www, "wrong", "out", "Seed.torrent")
        liar = self.spare[5]
        bad = subprocess.Popen(liar.prefix + [sys.executable, os.path.join(SOURCE_DIR, "tests", "tools", "wrong_peer.py"),
                                             "--server", self.net.tracker(), "--torrent", torrent,
                                             "--listen", "%s:17000" % liar.ip],
                               stdout=subprocess.PIPE, text=True)
        try:
            self.assertIn("logged in", bad.stdout.readline())
            seed = self.start(self.spare[0], url, os.path.join(self.case, "seed"),
                              seed_from=os.path.join(self.www, "wrong", "app"))
            self.finish(seed, timeout=60)
            game = os.path.join(self.case, "game")
            u = self.start(self.spare[1], url, game, ["-HttpThread", "0"])
            self.finish(u)
            self.assertEqual(u.quit(), 0)
            self.assertEqual(seed.quit(), 0)
            self.assertEqual(tree_digest(game), self.release("wrong"))
            # The liar was asked (its bytes arrived whole and were refused).
            self.assertIn("Receive done", self.log(u))
        finally:
            bad.kill()
            bad.wait()

    def test_a_peer_killed_mid_part_is_dropped_and_its_part_fetched_elsewhere(self):
        rng = random.Random(14)
        files = {"k.bin": random_bytes(rng, 24 * PART)}
        url = self.cut("killed", files, data_mirror=False)
        app = os.path.join(self.www, "killed", "app")
        slow = self.start(self.spare[0], url, os.path.join(self.case, "slow"), seed_from=app,
                          extra=["-UploadLimit", "20"])
        fast = self.start(self.spare[1], url, os.path.join(self.case, "fast"), seed_from=app)
        self.finish(slow, timeout=60)
        self.finish(fast, timeout=60)
        game = os.path.join(self.case, "game")
        u = self.start(self.spare[2], url, game, ["-HttpThread", "0", "-DownloadLimit", "200"])
        # Wait until the slow seed is uploading, then kill it.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and "Send to" not in self.log(slow):
            time.sleep(0.2)
        self.assertIn("Send to", self.log(slow))
        slow.proc.kill()
        self.finish(u, timeout=300)
        self.assertEqual(u.quit(), 0)
        self.assertEqual(fast.quit(), 0)
        self.assertEqual(tree_digest(game), self.release("killed"))

    def test_a_seed_refusing_inbound_connections_serves_through_connect_back(self):
        rng = random.Random(15)
        files = {"c.bin": random_bytes(rng, 16 * PART)}
        url = self.cut("back", files, data_mirror=False)
        walled = self.spare[3]
        walled.block_inbound_tcp()
        try:
            seed = self.start(walled, url, os.path.join(self.case, "seed"),
                              seed_from=os.path.join(self.www, "back", "app"))
            self.finish(seed, timeout=60)
            game = os.path.join(self.case, "game")
            u = self.start(self.spare[4], url, game, ["-HttpThread", "0"])
            self.finish(u)
            self.assertEqual(u.quit(), 0)
            self.assertEqual(seed.quit(), 0)
            self.assertEqual(tree_digest(game), self.release("back"))
            self.assertGreater(self.p2p_bytes(u), 15 * PART)
        finally:
            walled.run("nft", "delete table inet bvfw", check=False)

    def test_a_resumed_updater_fetches_no_part_twice(self):
        rng = random.Random(16)
        files = {"r.bin": random_bytes(rng, 64 * PART)}
        url = self.cut("resume", files, data_mirror=False)
        seed = self.start(self.spare[0], url, os.path.join(self.case, "seed"),
                          seed_from=os.path.join(self.www, "resume", "app"))
        self.finish(seed, timeout=60)
        game = os.path.join(self.case, "game")
        u = self.start(self.spare[1], url, game, ["-HttpThread", "0", "-DownloadLimit", "400"])
        self.assertIsNotNone(u.wait_line("[Info]开始下载所需文件", timeout=60))
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and len(self.peer_parts(u)) < 12:
            time.sleep(0.2)
        self.assertEqual(u.quit(), 0)
        done = complete_parts(game)
        self.assertGreater(len(done), 0)
        first_log_len = len(self.log(u))
        again = self.start(self.spare[1], url, game, ["-HttpThread", "0"])
        self.finish(again)
        self.assertEqual(again.quit(), 0)
        self.assertEqual(seed.quit(), 0)
        self.assertEqual(tree_digest(game), self.release("resume"))
        later = [(int(f), int(p)) for f, p in RECEIVE_DONE.findall(self.log(again)[first_log_len:])]
        self.assertEqual({("r.bin", p) for f, p in later} & done, set())


if __name__ == "__main__":
    configure(sys.argv[1], sys.argv[2])
    SOURCE_DIR = os.path.abspath(sys.argv[2])
    reason = swarm_lib.skip_reason()
    if reason:
        print("SKIPPED: " + reason)
        sys.exit(swarm_lib.SKIP_EXIT)
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
