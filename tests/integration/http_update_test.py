#!/usr/bin/env python3
"""http_update_test.py <build-dir> <source-dir>: the real updater against nginx and the fault
mirror (tests/tools/fault_mirror.py) on loopback: a first and a delta update (only changed parts
travel, removed files go), the progress answers during a run, resuming an interrupted update,
-DeleteDownloadInfo, a mirror refusing the torrent beside a good one, a mirror serving wrong bytes."""
import os, random, subprocess, sys, time, urllib.error, urllib.request  # noqa: E401

from updater_lib import FINISHED, PART, STARTED, ReleaseTest, complete_parts, fetched_parts, main, wait_for


class HttpUpdateTest(ReleaseTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        mirror = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "fault_mirror.py")
        for refused in (["--bind", "0.0.0.0"], ["--root", os.path.join(cls.tmp, "none")]):
            assert subprocess.call([sys.executable, mirror] + refused, stderr=subprocess.DEVNULL) == 2, refused
        fault = subprocess.Popen([sys.executable, mirror, "--root", cls.www, "--wrong-every", "1000"],
                                 stdout=subprocess.PIPE, text=True)
        cls.addClassCleanup(lambda: (fault.terminate(), fault.wait(timeout=5)))
        cls.fault_url = "http://" + fault.stdout.readline().split()[-1]

    def test_first_update_then_delta_update(self):
        rng = random.Random(1)
        files = {"bin/game.exe": rng.randbytes(20 * PART + 123), "data/a.pak": rng.randbytes(5 * PART),
                 "data/gone.pak": rng.randbytes(3 * PART), "readme.txt": b"hello\n", "empty.cfg": b""}
        self.finish(self.start(self.cut("delta1", files)), "delta1")
        self.assertTrue(os.path.exists(os.path.join(self.game, "Brelvane_Info", ".Seed")))
        # Release 2: two parts of the binary change, one file goes, one comes.
        exe = bytearray(files["bin/game.exe"])
        exe[3 * PART + 10] ^= 0xFF
        exe[17 * PART] ^= 0xFF
        files2 = dict(files, **{"bin/game.exe": bytes(exe), "data/new.pak": rng.randbytes(PART // 2)})
        del files2["data/gone.pak"]
        self.mirror.clear_log()
        self.finish(self.start(self.cut("delta2", files2, previous="delta1")), "delta2")
        self.assertFalse(os.path.exists(os.path.join(self.game, "data", "gone.pak")))
        self.assertEqual(fetched_parts(self.mirror.log(), "/delta2/app"),
                         {("bin/game.exe", 3), ("bin/game.exe", 17), ("data/new.pak", 0)})

    def test_progress_answers_during_a_run_and_a_resume_fetching_no_counted_part_again(self):
        rng = random.Random(2)
        files = {"big.bin": rng.randbytes(96 * PART), "small.bin": rng.randbytes(4 * PART + 5)}
        total, url = sum(map(len, files.values())), self.cut("resume", files)
        u = self.start(url, "-DownloadLimit", "600", "-HttpThread", "2")
        self.reach(u, STARTED, 30)
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
        self.assertEqual(u.quit(), 0)  # mid-transfer
        self.assertGreater(self.mirror.served("/resume/app"), 4 * PART)
        self.assertLess(self.mirror.served("/resume/app"), 100 * PART)
        done = complete_parts(self.game, os.path.join(self.www, "resume", "app"))  # each counted part on disk
        self.assertGreater(len(done), 4)
        self.mirror.clear_log()
        u = self.start(url)
        self.reach(u, timeout=60)
        self.assertEqual((u.ask("icb", "IncompleteByte"), u.ask("pct", "Percentage"), u.ask("p2ps", "P2PState")),
                         ("0", "100", "14"))
        self.finish(u, "resume")
        self.assertEqual(fetched_parts(self.mirror.log(), "/resume/app") & done, set())

    def test_refused_torrent_and_wrong_bytes_beside_good_mirrors_and_delete_download_info(self):
        """Nothing wrong is written; a restart of the HTTP threads finds the good data mirror."""
        with self.assertRaises(urllib.error.HTTPError):  # the fault mirror reads nothing outside its root
            urllib.request.urlopen(self.fault_url + "/%2e%2e/nginx/nginx.conf")
        url = self.cut("wrong", {"w.bin": random.Random(6).randbytes(12 * PART)},
                       mirrors=[self.fault_url + "/wrong/wrong/app", self.mirror.url + "/wrong/app"])
        u = self.start([self.fault_url + "/404/wrong/out", url], "-HttpThread", "2", "-DeleteDownloadInfo")
        self.reach(u, STARTED, 30)
        # Stuck on the bad mirror: a restart of the HTTP threads moves to the least-used one (they
        # alternate: restart until done).
        for timeout in (5, 8, 8, 8, 8):
            if u.wait_line(FINISHED, timeout) is not None:
                break
            u.send("set httpdtn 2")
        self.finish(u, "wrong", timeout=1)
        self.assertFalse(os.path.exists(os.path.join(self.game, "Brelvane_Info")))


if __name__ == "__main__":
    main()
