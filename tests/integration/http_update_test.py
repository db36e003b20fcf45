#!/usr/bin/env python3
"""http_update_test.py <build-dir> <source-dir>: the real updater against nginx and the fault
mirror on loopback: a first update and a delta update (only changed parts travel, removed files
go), resuming an interrupted update, the progress answers during a run, -DeleteDownloadInfo, a
mirror refusing the torrent beside a good one, and a mirror serving wrong bytes."""
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

from updater_lib import (PART, Mirror, Updater, complete_parts, configure, cut_release,
                         fetched_parts, random_bytes, tree_digest, wait_for)


class HttpUpdateTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="brelvane-http-update-")
        cls.www = os.path.join(cls.tmp, "www")
        os.makedirs(cls.www)
        cls.mirror = Mirror(cls.www, os.path.join(cls.tmp, "nginx"))
        port_file = os.path.join(cls.tmp, "fault.port")
        cls.fault = subprocess.Popen(
            [sys.executable, os.path.join(SOURCE_DIR, "tests", "tools", "fault_mirror.py"),
             "--root", cls.www, "--port-file", port_file, "--quiet", "--wrong-every", "1000"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists(port_file) and open(port_file).read().strip(), 10)
        cls.fault_url = "http://127.0.0.1:%s" % open(port_file).read().strip()

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
        """Release `name` of `files`; returns the torrent directory's URL path."""
        cut_release(self.www, name, files, mirrors or [self.mirror.url + "/" + name + "/app"],
                    "127.0.0.1:5000", previous)
        return "/" + name + "/out"

    def start(self, torrent_path, *extra, mirrors=None):
        """An updater of the case's game directory (self.game) fetching the torrent from
        `mirrors` (default: nginx at `torrent_path`)."""
        self.game = os.path.join(self.case, "game")
        return Updater(self.case, ["-Dir", self.game, "-HttpUrl"] +
                       (mirrors or [self.mirror.url + torrent_path]) + list(extra))

    def finish(self, u, name, timeout=120):
        """Waits for state 14, quits, and checks the exit and the game tree against release `name`."""
        reached = u.wait_line("[Interactive]P2PState=14", timeout=timeout)
        self.assertEqual(u.quit(), 0)
        self.assertIsNotNone(reached, "never reached state 14:\n" + "\n".join(map(str, u.lines)))
        self.assertEqual(u.lines[-2], "[Interactive]P2PState=16")
        self.assertEqual(tree_digest(self.game), tree_digest(os.path.join(self.www, name, "app")))

    def test_first_update_then_delta_update(self):
        rng = random.Random(1)
        files = {"bin/game.exe": random_bytes(rng, 20 * PART + 123), "data/a.pak": random_bytes(rng, 5 * PART),
                 "data/gone.pak": random_bytes(rng, 3 * PART), "readme.txt": b"hello\n", "empty.cfg": b""}
        self.finish(self.start(self.cut("delta1", files)), "delta1")
        self.assertTrue(os.path.exists(os.path.join(self.game, "Brelvane_Info", ".Seed")))
        # Release 2: two parts of the binary change, one file goes, one comes.
        exe = bytearray(files["bin/game.exe"])
        exe[3 * PART + 10] ^= 0xFF
        exe[17 * PART] ^= 0xFF
        files2 = dict(files, **{"bin/game.exe": bytes(exe), "data/new.pak": random_bytes(rng, PART // 2)})
        del files2["data/gone.pak"]
        self.mirror.clear_log()
        self.finish(self.start(self.cut("delta2", files2, previous="delta1")), "delta2")
        self.assertFalse(os.path.exists(os.path.join(self.game, "data", "gone.pak")))
        # Only the two changed parts and the new file travel.
        self.assertEqual(fetched_parts(self.mirror.log(), "/delta2/app"),
                         {("bin/game.exe", 3), ("bin/game.exe", 17), ("data/new.pak", 0)})

    def test_resume_after_interrupted_run(self):
        rng = random.Random(2)
        files = {"big.bin": random_bytes(rng, 96 * PART), "small.bin": random_bytes(rng, 4 * PART)}
        r = self.cut("resume", files)
        # A slow line: about 2 s into the transfer the launcher quits.
        u = self.start(r, "-DownloadLimit", "600", "-HttpThread", "2")
        self.assertIsNotNone(u.wait_line("[Info]开始下载所需文件", timeout=30))
        time.sleep(2.5)
        self.assertEqual(u.quit(), 0)
        self.assertGreater(self.mirror.served("/resume/app"), 4 * PART)
        self.assertLess(self.mirror.served("/resume/app"), 100 * PART)
        done = complete_parts(self.game)
        self.assertGreater(len(done), 4)
        for name, k in done:  # every part the resume file counts as done is on disk
            self.assertEqual(files[name][k * PART:(k + 1) * PART],
                             open(os.path.join(self.game, name), "rb").read()[k * PART:(k + 1) * PART], (name, k))
        self.mirror.clear_log()
        self.finish(self.start(r), "resume")
        # No part that was complete after the first run is fetched again.
        self.assertEqual(fetched_parts(self.mirror.log(), "/resume/app") & done, set())

    def test_progress_answers_tell_the_truth_during_a_run(self):
        rng = random.Random(3)
        files = {"a.bin": random_bytes(rng, 40 * PART), "b.bin": random_bytes(rng, 8 * PART + 5)}
        total = sum(len(v) for v in files.values())
        u = self.start(self.cut("progress", files), "-DownloadLimit", "700", "-HttpThread", "2")
        self.assertIsNotNone(u.wait_line("[Info]开始下载所需文件", timeout=30))
        self.assertEqual(int(u.ask("tb", "TotalByte")), total)
        # Parts reach the disk in batches: wait for the first batch.
        self.assertTrue(wait_for(lambda: int(u.ask("icb", "IncompleteByte")) < total, 30))
        icb, pct = int(u.ask("icb", "IncompleteByte")), float(u.ask("pct", "Percentage"))
        self.assertTrue(0 < icb < total and 0.0 < pct < 100.0, (icb, pct))
        # Written bytes and percentage agree to within a part.
        self.assertAlmostEqual((total - icb) / total * 100.0, pct, delta=100.0 * PART / total + 0.5)
        later = int(u.ask("icb", "IncompleteByte"))
        time.sleep(1.5)
        self.assertLess(int(u.ask("icb", "IncompleteByte")), later + 1)
        self.assertIsNotNone(u.wait_line("[Interactive]P2PState=14", timeout=60))
        self.assertEqual((u.ask("icb", "IncompleteByte"), u.ask("pct", "Percentage"), u.ask("p2ps", "P2PState")),
                         ("0", "100", "14"))
        self.finish(u, "progress")

    def test_only_refusing_mirrors_fail_cleanly(self):
        u = self.start(None, mirrors=[self.fault_url + "/404/nothing"])
        # Ten passes with a second's pause each: the fetch fails in about 10 s.
        self.assertIsNotNone(u.wait_line("[Warning]获取种子信息失败", timeout=40))
        self.assertIsNotNone(u.wait_line("[Interactive]P2PState=16", timeout=5))
        self.assertEqual(u.proc.wait(timeout=10), 0)
        self.assertFalse(os.path.exists(self.game))

    def test_refused_torrent_and_wrong_bytes_beside_good_mirrors_and_delete_download_info(self):
        """Nothing wrong is written; a restart of the HTTP threads finds the good data mirror."""
        name = "wrong"
        r = self.cut(name, {"w.bin": random_bytes(random.Random(6), 12 * PART)},
                     mirrors=[self.fault_url + "/wrong/" + name + "/app", self.mirror.url + "/" + name + "/app"])
        u = self.start(r, "-HttpThread", "2", "-DeleteDownloadInfo",
                       mirrors=[self.fault_url + "/404" + r, self.mirror.url + r])
        self.assertIsNotNone(u.wait_line("[Info]开始下载所需文件", timeout=30))
        reached = u.wait_line("[Interactive]P2PState=14", timeout=5)
        for _ in range(4):
            if reached is not None:
                break
            # Stuck on the bad mirror: a restart of the HTTP threads moves to the
            # least-used one (mirrors alternate, so keep restarting until done).
            u.send("set httpdtn 2")
            reached = u.wait_line("[Interactive]P2PState=14", timeout=8)
        self.finish(u, name, timeout=1)
        self.assertFalse(os.path.exists(os.path.join(self.game, "Brelvane_Info")))


if __name__ == "__main__":
    configure(sys.argv[1], sys.argv[2])
    SOURCE_DIR = os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"])
