#!/usr/bin/env python3
"""full_disk_test.py <build-dir> <source-dir>: the updater updates into a 2 MiB tmpfs that cannot
hold the release.  It reports "Error = WriteFile" on the console and "Write file error" in its file
log, keeps running, and its resume file counts no part that is not on disk.  Once the tmpfs is
larger and the launcher sends "restart", the next run finishes with the release's tree.  Needs root
(mount); the tmpfs is unmounted also on failure."""
import os, random, subprocess, time  # noqa: E401

from updater_lib import ENDED, PART, ReleaseTest, complete_parts, fast_clock, main


class FullDiskTest(ReleaseTest):
    def test_a_full_disk_is_reported_survived_and_resumed(self):
        disk = os.path.join(self.case, "disk")
        os.makedirs(disk)
        if os.geteuid() != 0 or subprocess.call(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", disk]):
            self.skipTest("cannot mount a tmpfs here (needs root)")
        self.addCleanup(lambda: subprocess.call(["umount", disk]) == 0 or subprocess.call(["umount", "-l", disk]))
        rng = random.Random(11)
        url = self.cut("r", {"a.bin": rng.randbytes(40 * PART + 5), "data/b.bin": rng.randbytes(24 * PART)})
        app, game = os.path.join(self.www, "r", "app"), os.path.join(disk, "game")
        fast_clock(self.tmp)  # resume writes every 0.5 s
        u = self.start(url, game=game)
        self.reach(u, "[Interactive]Error = WriteFile", 60)
        time.sleep(2)  # the program goes on: it answers, the resume file stays honest
        self.assertIsNone(u.proc.poll(), "the updater ended on a full disk")
        self.assertEqual(u.ask("p2ps", "P2PState"), "13")
        self.assertIn("Write file error, FileID", u.log())
        complete_parts(game, app)
        subprocess.check_call(["mount", "-o", "remount,size=64m", disk])
        u.send("restart")
        self.assertEqual(u.proc.wait(timeout=60), 0)
        self.reach(u, ENDED, 5)
        complete_parts(game, app)
        self.finish(self.start(url, game=game), "r", timeout=60)


if __name__ == "__main__":
    main()
