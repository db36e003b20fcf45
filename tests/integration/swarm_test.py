#!/usr/bin/env python3
"""swarm_test.py <build-dir> <source-dir>: the real main server and updaters, each in its own
network namespace (updater_lib.Swarm), nginx as the mirror, the liar of tests/tools/wrong_peer.py.
Skipped (77) only when namespaces cannot be created here."""
import os, random, re, shutil, subprocess, sys  # noqa: E401

from updater_lib import PART, ReleaseTest, Swarm, complete_parts, main, wait_for

RECEIVE_DONE = re.compile(r"Receive done from -?\d+, UID \d+\.(\d+)")


def p2p_bytes(u):
    totals = re.findall(r"P2P total ([0-9.]+) KB", u.log())
    return float(totals[-1]) * 1024 if totals else 0.0


class SwarmTest(ReleaseTest):
    @classmethod
    def serve(cls):
        """The swarm with six members; its mirror in the hub."""
        cls.net = Swarm.create(prefix="bvt")  # or the class is skipped
        cls.addClassCleanup(cls.net.close)
        cls.net.start_mirror(cls.www, limit_rate="150k")
        cls.net.start_main_server()
        cls.spare = [cls.net.add_member() for _ in range(6)]
        return cls.net.mirror

    def cut(self, name, files, data_mirror=True):
        """Release `name`; its torrent names the mirror only with `data_mirror`."""
        return super().cut(name, files, None if data_mirror else [self.mirror.url + "/nothing"],
                           tracker=self.net.tracker())

    def start(self, member, url, game, *extra, seed_from=None):
        """An updater in `member`'s namespace; `seed_from`: the release whose tree it starts with."""
        if seed_from:
            shutil.copytree(os.path.join(self.www, seed_from, "app"), game)
        return super().start(url, "-LogLevel", "5", "-UploadLimit", "1048576", "-DownloadLimit", "1048576",
                             *extra, game=game, work=os.path.join(self.case, "m%d" % member.index),
                             prefix=member.prefix)

    def seeded(self, name, files, member=0, data_mirror=False):
        """Release `name` of `files` (or one file of that many random bytes) and a seed of it in
        spare[member] that has reached state 14: (torrent URL, seed)."""
        if not isinstance(files, dict):
            files = {name + ".bin": random.Random(name).randbytes(files)}
        url = self.cut(name, files, data_mirror)
        seed = self.start(self.spare[member], url, os.path.join(self.case, "seed"), seed_from=name)
        self.reach(seed, timeout=60)
        return url, seed

    def test_one_seed_and_four_empty_updaters_finish_from_peers_alone(self):
        rng = random.Random(11)
        url, seed = self.seeded("alone", {"bin/big.bin": rng.randbytes(40 * PART + 77), "readme.txt": b"swarm\n",
                                          "data/a.pak": rng.randbytes(9 * PART)})
        empties = [self.start(m, url, os.path.join(self.case, "game%d" % m.index), "-HttpThread", "0")
                   for m in self.spare[1:5]]
        for u in empties:
            self.reach(u, timeout=180)
        for u in [seed] + empties:
            self.finish(u, "alone")
        for u in empties:
            self.assertGreater(p2p_bytes(u), 49 * PART)
        # Quitting logs out, and nothing sent after the logout makes the server ask for a new login.
        for u in [seed] + empties:
            self.assertNotIn("[Warning]与服务器连接超时，正在重新登陆服务器", u.lines)
        self.assertEqual([e for e in self.net.mirror.log() if "/alone/app" in e[0] or "/nothing" in e[0]], [])

    def test_http_and_peers_together_fetch_no_part_twice_outside_the_endgame(self):
        url, seed = self.seeded("mixed", 120 * PART, data_mirror=True)
        peers = [self.start(m, url, os.path.join(self.case, "g%d" % m.index), "-HttpThread", "2")
                 for m in self.spare[1:4]]
        for u in peers:
            self.reach(u, timeout=180)
        log = self.net.mirror.log()
        for u, m in zip(peers, self.spare[1:4]):
            self.finish(u, "mixed")
            http = sum(b for uri, _, b, _, client in log if client == m.ip and "/mixed/app" in uri)
            # Every byte once, plus at most a few parts handed out twice in the endgame.
            self.assertLess(http + p2p_bytes(u), (120 + 12) * PART)
            self.assertGreater(p2p_bytes(u), 0)
        self.assertEqual(seed.quit(), 0)

    def test_a_walled_seed_serves_through_connect_back_and_a_liars_bytes_never_reach_the_disk(self):
        url, seed = self.seeded("back", 16 * PART, member=3)
        self.spare[3].block_inbound_tcp()  # from now on only outgoing connections reach the seed
        self.addCleanup(self.spare[3].run, "nft", "delete table inet bvfw", check=False)
        liar = self.spare[5]
        bad = subprocess.Popen(liar.prefix + [
            sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "wrong_peer.py"),
            "--server", self.net.tracker(), "--torrent", os.path.join(self.www, "back", "out", "Seed.torrent"),
            "--listen", "%s:17000" % liar.ip], stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (bad.kill(), bad.wait()))
        liar_id = re.match(r"logged in as (-?\d+)", bad.stdout.readline())[1]
        u = self.start(self.spare[4], url, os.path.join(self.case, "game"), "-HttpThread", "0")
        self.finish(u, "back", timeout=180)
        self.assertEqual(seed.quit(), 0)
        self.assertGreater(p2p_bytes(u), 15 * PART)
        self.assertIn("Receive done from %s," % liar_id, u.log())  # whole, and refused

    def test_a_peer_killed_mid_part_is_dropped_and_its_part_fetched_elsewhere(self):
        url, fast = self.seeded("killed", 24 * PART, member=1)
        slow = self.start(self.spare[0], url, os.path.join(self.case, "slow"), "-UploadLimit", "20",
                          seed_from="killed")
        self.reach(slow, timeout=60)
        u = self.start(self.spare[2], url, os.path.join(self.case, "game"), "-HttpThread", "0", "-DownloadLimit",
                       "200")
        self.assertTrue(wait_for(lambda: "Send to" in slow.log(), 60))  # uploading: kill it
        slow.proc.kill()
        self.finish(u, "killed", timeout=300)
        self.assertEqual(fast.quit(), 0)

    def test_a_resumed_updater_fetches_no_part_twice(self):
        url, seed = self.seeded("resume", 64 * PART)
        game = os.path.join(self.case, "game")
        u = self.start(self.spare[1], url, game, "-HttpThread", "0", "-DownloadLimit", "400")
        self.assertTrue(wait_for(lambda: len(RECEIVE_DONE.findall(u.log())) >= 12, 90))
        self.assertEqual(u.quit(), 0)
        done = complete_parts(game)
        self.assertGreater(len(done), 0)
        first_log_len = len(u.log())
        again = self.start(self.spare[1], url, game, "-HttpThread", "0")
        self.finish(again, "resume", timeout=180)
        self.assertEqual(seed.quit(), 0)
        later = {("resume.bin", int(p)) for p in RECEIVE_DONE.findall(again.log()[first_log_len:])}
        self.assertEqual(later & done, set())


if __name__ == "__main__":
    main()
