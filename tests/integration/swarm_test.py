#!/usr/bin/env python3
"""swarm_test.py <build-dir> <source-dir>: the real main server and updaters, each in its own
network namespace, nginx as the mirror: one seed and four empty updaters finishing from peers
alone; HTTP and peers together fetching no part twice outside the endgame; a seed refusing inbound
connections serving through connect-back while a peer serving wrong bytes never gets them onto
disk; a peer killed mid-part; a resumed updater fetching no part twice.  Exit 77 (skipped) only
when namespaces cannot be created here."""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import swarm_lib
from updater_lib import (PART, Updater, complete_parts, configure, cut_release, random_bytes,
                         tree_digest, wait_for)

SOURCE_DIR = None
RECEIVE_DONE = re.compile(r"Receive done from -?\d+, UID \d+\.(\d+)")
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
        """Release `name`; its torrent names the mirror only with `data_mirror`; returns its URL."""
        cut_release(self.www, name, files, [self.mirror + ("/%s/app" % name if data_mirror else "/nothing")],
                    self.net.tracker())
        return self.mirror + "/%s/out" % name

    def start(self, member, torrent_url, game, extra=(), seed_from=None):
        """An updater in `member`'s namespace working in its own directory; `seed_from`: a
        release's name, whose tree it starts with."""
        work = os.path.join(self.case, "m%d" % member.index)
        os.makedirs(work, exist_ok=True)
        if seed_from:
            shutil.copytree(os.path.join(self.www, seed_from, "app"), game)
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
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def p2p_bytes(self, u):
        totals = P2P_TOTAL.findall(self.log(u))
        return float(totals[-1]) * 1024 if totals else 0.0

    def release(self, name):
        return tree_digest(os.path.join(self.www, name, "app"))

    def seeded(self, name, size, member=0, data_mirror=False):
        """Release `name` of one file `name`.bin of `size` random bytes, and a seed of it in
        spare[member] that has reached state 14; returns (torrent URL, seed)."""
        url = self.cut(name, {name + ".bin": random_bytes(random.Random(name), size)}, data_mirror)
        seed = self.start(self.spare[member], url, os.path.join(self.case, "seed"), seed_from=name)
        self.finish(seed, timeout=60)
        return url, seed

    def test_one_seed_and_four_empty_updaters_finish_from_peers_alone(self):
        rng = random.Random(11)
        files = {"bin/big.bin": random_bytes(rng, 40 * PART + 77), "data/a.pak": random_bytes(rng, 9 * PART),
                 "readme.txt": b"swarm\n"}
        url = self.cut("alone", files, data_mirror=False)
        seed = self.start(self.spare[0], url, os.path.join(self.case, "seed"), seed_from="alone")
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
        url, seed = self.seeded("mixed", 120 * PART, data_mirror=True)
        peers = [self.start(m, url, os.path.join(self.case, "g%d" % m.index), ["-HttpThread", "2"])
                 for m in self.spare[1:4]]
        for u in peers:
            self.finish(u)
        log = self.net.mirror_log()
        for u, m in zip(peers, self.spare[1:4]):
            self.assertEqual(u.quit(), 0)
            self.assertEqual(tree_digest(u.game), self.release("mixed"))
            http = sum(b for uri, status, b, client in log if client == m.ip and "/mixed/app" in uri)
            # Every byte once, plus at most a few parts handed out twice in the endgame.
            self.assertLess(http + self.p2p_bytes(u), (120 + 12) * PART)
            self.assertGreater(self.p2p_bytes(u), 0)
        self.assertEqual(seed.quit(), 0)

    def test_a_walled_seed_serves_through_connect_back_and_a_liars_bytes_never_reach_the_disk(self):
        url, seed = self.seeded("back", 16 * PART, member=3)
        self.spare[3].block_inbound_tcp()  # from now on only outgoing connections reach the seed
        liar = self.spare[5]
        bad = subprocess.Popen(liar.prefix + [
            sys.executable, os.path.join(SOURCE_DIR, "tests", "tools", "wrong_peer.py"), "--server",
            self.net.tracker(), "--torrent", os.path.join(self.www, "back", "out", "Seed.torrent"),
            "--listen", "%s:17000" % liar.ip], stdout=subprocess.PIPE, text=True)
        try:
            liar_id = re.match(r"logged in as (-?\d+)", bad.stdout.readline())[1]
            u = self.start(self.spare[4], url, os.path.join(self.case, "game"), ["-HttpThread", "0"])
            self.finish(u)
            self.assertEqual(u.quit(), 0)
            self.assertEqual(seed.quit(), 0)
            self.assertEqual(tree_digest(u.game), self.release("back"))
            self.assertGreater(self.p2p_bytes(u), 15 * PART)
            self.assertIn("Receive done from %s," % liar_id, self.log(u))  # whole, and refused
        finally:
            bad.kill()
            bad.wait()
            self.spare[3].run("nft", "delete table inet bvfw", check=False)

    def test_a_peer_killed_mid_part_is_dropped_and_its_part_fetched_elsewhere(self):
        url, fast = self.seeded("killed", 24 * PART, member=1)
        slow = self.start(self.spare[0], url, os.path.join(self.case, "slow"), ["-UploadLimit", "20"],
                          seed_from="killed")
        self.finish(slow, timeout=60)
        u = self.start(self.spare[2], url, os.path.join(self.case, "game"),
                       ["-HttpThread", "0", "-DownloadLimit", "200"])
        self.assertTrue(wait_for(lambda: "Send to" in self.log(slow), 60))  # uploading: kill it
        slow.proc.kill()
        self.finish(u, timeout=300)
        self.assertEqual(u.quit(), 0)
        self.assertEqual(fast.quit(), 0)
        self.assertEqual(tree_digest(u.game), self.release("killed"))

    def test_a_resumed_updater_fetches_no_part_twice(self):
        url, seed = self.seeded("resume", 64 * PART)
        game = os.path.join(self.case, "game")
        u = self.start(self.spare[1], url, game, ["-HttpThread", "0", "-DownloadLimit", "400"])
        self.assertTrue(wait_for(lambda: len(RECEIVE_DONE.findall(self.log(u))) >= 12, 90))
        self.assertEqual(u.quit(), 0)
        done = complete_parts(game)
        self.assertGreater(len(done), 0)
        first_log_len = len(self.log(u))
        again = self.start(self.spare[1], url, game, ["-HttpThread", "0"])
        self.finish(again)
        self.assertEqual(again.quit(), 0)
        self.assertEqual(seed.quit(), 0)
        self.assertEqual(tree_digest(game), self.release("resume"))
        later = {("resume.bin", int(p)) for p in RECEIVE_DONE.findall(self.log(again)[first_log_len:])}
        self.assertEqual(later & done, set())


if __name__ == "__main__":
    configure(sys.argv[1], sys.argv[2])
    SOURCE_DIR = os.path.abspath(sys.argv[2])
    reason = swarm_lib.skip_reason()
    if reason:
        print("SKIPPED: " + reason)
        sys.exit(swarm_lib.SKIP_EXIT)
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
