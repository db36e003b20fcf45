#!/usr/bin/env python3
"""The real updater against nginx and the fault mirror on loopback.

    http_update_test.py <build-dir> <source-dir>

Covers: a first update, a delta update against the previous seed (only the
changed parts travel, removed files go), resuming an interrupted update, the
console's progress answers during a run, -DeleteDownloadInfo, a mirror that
refuses the torrent beside one that serves it, and a mirror that serves wrong
bytes (nothing bad is written; the update completes from the good mirror once
the HTTP threads restart).
"""
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from updater_lib import (PART, Mirror, Updater, complete_parts, configure, fetched_parts,
                         random_bytes, tool, tree_digest, write_release)


class HttpUpdateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="brelvane-http-update-")
        cls.www = os.path.join(cls.tmp, "www")
        os.makedirs(cls.www)
        cls.mirror = Mirror(cls.www, os.path.join(cls.tmp, "nginx"))
        fault_port_file = os.path.join(cls.tmp, "fault.port")
        cls.fault = subprocess.Popen(
            [sys.executable, os.path.join(SOURCE_DIR, "tests", "tools", "fault_mirror.py"),
             "--root", cls.www, "--port-file", fault_port_file, "--quiet", "--wrong-every", "1000"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(fault_port_file) and open(fault_port_file).read().strip():
                break
            time.sleep(0.05)
        cls.fault_url = "http://127.0.0.1:%s" % open(fault_port_file).read().strip()

    @classmethod
    def tearDownClass(cls):
        cls.fault.send_signal(signal.SIGTERM)
        cls.fault.wait(timeout=10)
        cls.mirror.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.case = os.path.join(self.tmp, self._testMethodName)
        os.makedirs(self.case)
        self.mirror.clear_log()

    def cut(self, name, files, mirrors=None, previous=None):
        """Writes the tree `files` as release `name`; returns the torrent directory's URL path."""
        app = os.path.join(self.www, name, "app")
        write_release(app, files)
        out = os.path.join(self.www, name, "out")
        cmd = [tool("tools", "brelvane-release"), "build", app, out, "--quiet",
               "--tracker", "127.0.0.1:5000"]
        for m in mirrors or [self.mirror.url + "/" + name + "/app"]:
            cmd += ["--mirror", m]
        if previous:
            cmd += ["--previous", os.path.join(self.www, previous, "out", "Seed.xml.gz")]
        subprocess.check_call(cmd, stdout=subprocess.DEVNULL)
        return "/" + name + "/out"

    def update(self, game, torrent_path, extra=(), mirrors=None, timeout=120):
        urls = mirrors or [self.mirror.url + torrent_path]
        u = Updater(self.case, ["-Dir", game, "-HttpUrl"] + urls + list(extra))
        reached = u.wait_line("[Interactive]P2PState=14", timeout=timeout)
        code = u.quit()
        self.assertIsNotNone(reached, "never reached state 14:\n" + "\n".join(map(str, u.lines)))
        self.assertEqual(code, 0)
        self.assertEqual(u.lines[-2], "[Interactive]P2PState=16")
        return u

    def release_tree(self, name):
        return tree_digest(os.path.join(self.www, name, "app"))

    def test_first_update_then_delta_update(self):
        rng = random.Random(1)
        files = {"bin/game.exe": random_bytes(rng, 20 * PART + 123),
                 "data/a.pak": random_bytes(rng, 5 * PART),
                 "data/gone.pak": random_bytes(rng, 3 * PART),
                 "readme.txt": b"hello\n",
                 "empty.cfg": b""}
        r1 = self.cut("delta1", files)
        game = os.path.join(self.case, "game")
        self.update(game, r1)
        self.assertEqual(tree_digest(game), self.release_tree("delta1"))
        self.assertTrue(os.path.exists(os.path.join(game, "Brelvane_Info", ".Seed")))

        # Release 2: two parts of the binary change, one file goes, one comes.
        exe = bytearray(files["bin/game.exe"])
        exe[3 * PART + 10] ^= 0xFF
        exe[17 * PART] ^= 0xFF
        files2 = dict(files)
        files2["bin/game.exe"] = bytes(exe)
        del files2["data/gone.pak"]
        files2["data/new.pak"] = random_bytes(rng, PART // 2)
        shutil.copytree(os.path.join(self.www, "delta1", "app"), os.path.join(self.www, "delta2", "app"))
        os.remove(os.path.join(self.www, "delta2", "app", "data", "gone.pak"))
        r2 = self.cut("delta2", files2, previous="delta1")
        self.mirror.clear_log()
        self.update(game, r2)
        self.assertEqual(tree_digest(game), self.release_tree("delta2"))
        self.assertFalse(os.path.exists(os.path.join(game, "data", "gone.pak")))
        # Only the two changed parts and the new file travel.
        self.assertEqual(fetched_parts(self.mirror.log(), "/delta2/app"),
                         {("bin/game.exe", 3), ("bin/game.exe", 17), ("data/new.pak", 0)})

    def test_resume_after_interrupted_run(self):
        rng = random.Random(2)
        files = {"big.bin": random_bytes(rng, 96 * PART), "small.bin": random_bytes(rng, 4 * PART)}
        r = self.cut("resume", files)
        game = os.path.join(self.case, "game")
        # A slow line: about 2 s into the transfer the launcher quits.
        u = Updater(self.case, ["-Dir", game, "-HttpUrl", self.mirror.url + r,
                                "-DownloadLimit", "600", "-HttpThread", "2"])
        self.assertIsNotNone(u.wait_line("[Info]开始下载所需文件", timeout=30))
        time.sleep(2.5)
        self.assertEqual(u.quit(), 0)
        resume = os.path.join(game, "Brelvane_Info", ".Download_Info_Data")
        self.assertTrue(os.path.exists(resume))
        first_bytes = self.mirror.served("/resume/app")
        self.assertGreater(first_bytes, 4 * PART)
        self.assertLess(first_bytes, sum(len(v) for v in files.values()))
        done = complete_parts(game)
        self.assertGreater(len(done), 4)
        # Every part the resume file counts as done reads back with its digest.
        for name, k in done:
            with open(os.path.join(game, name), "rb") as f:
                f.seek(k * PART)
                chunk = f.read(PART)
            with open(os.path.join(self.www, "resume", "app", name), "rb") as f:
                f.seek(k * PART)
                self.assertEqual(chunk, f.read(PART), (name, k))

        self.mirror.clear_log()
        self.update(game, r)
        self.assertEqual(tree_digest(game), self.release_tree("resume"))
        # No part that was complete after the first run is fetched again.
        self.assertEqual(fetched_parts(self.mirror.log(), "/resume/app") & done, set())

    def test_progress_answers_tell_the_truth_during_a_run(self):
        rng = random.Random(3)
        files = {"a.bin": random_bytes(rng, 40 * PART), "b.bin": random_bytes(rng, 8 * PART + 5)}
        total = sum(len(v) for v in files.values())
        r = self.cut("progress", files)
        game = os.path.join(self.case, "game")
        u = Updater(self.case, ["-Dir", game, "-HttpUrl", self.mirror.url + r,
                                "-DownloadLimit", "700", "-HttpThread", "2"])
        self.assertIsNotNone(u.wait_line("[Info]开始下载所需文件", timeout=30))
        self.assertEqual(int(u.ask("tb", "TotalByte")), total)
        # Parts reach the disk in batches: wait for the first batch.
        deadline = time.monotonic() + 30
        icb = total
        while icb == total and time.monotonic() < deadline:
            time.sleep(0.3)
            icb = int(u.ask("icb", "IncompleteByte"))
        pct = float(u.ask("pct", "Percentage"))
        self.assertGreater(icb, 0)
        self.assertLess(icb, total)
        self.assertGreater(pct, 0.0)
        self.assertLess(pct, 100.0)
        # Written bytes and percentage agree to within a part.
        self.assertAlmostEqual((total - icb) / total * 100.0, pct, delta=100.0 * PART / total + 0.5)
        later = int(u.ask("icb", "IncompleteByte"))
        time.sleep(1.5)
        self.assertLess(int(u.ask("icb", "IncompleteByte")), later + 1)
        self.assertIsNotNone(u.wait_line("[Interactive]P2PState=14", timeout=60))
        self.assertEqual(int(u.ask("icb", "IncompleteByte")), 0)
        self.assertEqual(float(u.ask("pct", "Percentage")), 100.0)
        self.assertEqual(u.ask("p2ps", "P2PState"), "14")
        self.assertEqual(u.quit(), 0)
        self.assertEqual(tree_digest(game), self.release_tree("progress"))

    def test_delete_download_info_removes_the_info_folder(self):
        r = self.cut("delinfo", {"x.bin": random_bytes(random.Random(4), 3 * PART)})
        game = os.path.join(self.case, "game")
        self.update(game, r, extra=["-DeleteDownloadInfo"])
        self.assertEqual(tree_digest(game), self.release_tree("delinfo"))
        self.assertFalse(os.path.exists(os.path.join(game, "Brelvane_Info")))

    def test_mirror_refusing_the_torrent_beside_one_that_serves_it(self):
        r = self.cut("refuse", {"x.bin": random_bytes(random.Random(5), 3 * PART)})
        game = os.path.join(self.case, "game")
        self.update(game, r, mirrors=[self.fault_url + "/404" + r, self.mirror.url + r])
        self.assertEqual(tree_digest(game), self.release_tree("refuse"))

    def test_only_refusing_mirrors_fail_cleanly(self):
        u = Updater(self.case, ["-Dir", os.path.join(self.case, "game"),
                                "-HttpUrl", self.fault_url + "/404/nothing"])
        # Ten passes with a second's pause each: the fetch fails in about 10 s.
        self.assertIsNotNone(u.wait_line("[Warning]获取种子信息失败", timeout=40))
        self.assertIsNotNone(u.wait_line("[Interactive]P2PState=16", timeout=5))
        self.assertEqual(u.proc.wait(timeout=10), 0)
        self.assertFalse(os.path.exists(os.path.join(self.case, "game")))

    def test_wrong_bytes_are_never_written_and_a_restart_finds_the_good_mirror(self):
        rng = random.Random(6)
        files = {"w.bin": random_bytes(rng, 12 * PART)}
        name = "wrong"
        good = self.mirror.url + "/" + name + "/app"
        bad = self.fault_url + "/wrong/" + name + "/app"
        r = self.cut(name, files, mirrors=[bad, good])
        game = os.path.join(self.case, "game")
        u = Updater(self.case, ["-Dir", game, "-HttpUrl", self.mirror.url + r, "-HttpThread", "2"])
        self.assertIsNotNone(u.wait_line("[Info]开始下载所需文件", timeout=30))
        reached = u.wait_line("[Interactive]P2PState=14", timeout=5)
        for _ in range(4):
            if reached is not None:
                break
            # Stuck on the bad mirror: a restart of the HTTP threads moves to the
            # least-used one (mirrors alternate, so keep restarting until done).
            u.send("set httpdtn 2")
            reached = u.wait_line("[Interactive]P2PState=14", timeout=8)
        self.assertIsNotNone(reached, "\n".join(map(str, u.lines)))
        self.assertEqual(u.quit(), 0)
        self.assertEqual(tree_digest(game), self.release_tree(name))


if __name__ == "__main__":
    configure(sys.argv[1], sys.argv[2])
    SOURCE_DIR = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"])
