#!/usr/bin/env python3
"""Gzip bombs and oversized torrents against the real updater and
`brelvane-release show`, served by nginx on loopback.

    bounded_documents_test.py <build-dir> <source-dir>

Each file-list bomb (blanks, nesting, one endless attribute; some hundred KiB
of gzip that inflate to 300 MiB) must be refused with "[Error]分析seed信息失败"
and a file-log line naming the bound, leave the update directory as it was,
and keep the process's peak RSS within MARGIN of a normal run.
"""
import gzip
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ET

from updater_lib import PART, Mirror, Updater, configure, random_bytes, tool, tree_digest, \
    write_release

# What a refused document may add to a normal run's peak (docs/catalogue.md).
MARGIN_KIB = 16 * 1024
MIB = 1 << 20


def bomb(head, unit, tail=b""):
    """gzip members: `head`, then 300 MiB of `unit` repeated, then `tail`."""
    body = gzip.compress(unit * (MIB // len(unit)), 9)
    return gzip.compress(head) + body * 300 + gzip.compress(tail)


BOMBS = {
    "blanks": bomb(b"<Root><Exist>", b" "),
    "nesting": bomb(b"<Root>", b"<a>"),
    "attribute": bomb(b'<Root><Exist><File id="0" name="', b"x", b'" /></Exist></Root>'),
}


def waited_rss(proc):
    """Reaps `proc`; returns (exit code, peak RSS in KiB).  Linux keeps the
    high-water mark of the forked copy of this test across exec, so the
    figure is at least this process's own RSS: an upper bound."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, usage.ru_maxrss


class PeakWatch(threading.Thread):
    """Follows a running process's own peak RSS (VmHWM of its image, in KiB)
    until it exits; `peak` is the last reading."""

    def __init__(self, proc):
        super().__init__(daemon=True)
        self.path, self.peak = "/proc/%d/status" % proc.pid, 0
        self.start()

    def run(self):
        while True:
            try:
                with open(self.path) as f:
                    lines = [l for l in f if l.startswith("VmHWM:")]
            except OSError:
                return
            if not lines:
                return  # a zombie has no memory left
            self.peak = max(self.peak, int(lines[0].split()[1]))
            time.sleep(0.02)


def report(what, rss, normal):
    print("peak RSS %s: %d KiB (normal run %d KiB)" % (what, rss, normal), file=sys.stderr)


def show(path):
    """(exit code, peak RSS KiB, standard error) of `brelvane-release show`."""
    proc = subprocess.Popen([tool("tools", "brelvane-release"), "show", path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read().decode("utf-8", errors="replace")
    proc.stderr.close()
    code, rss = waited_rss(proc)
    return code, rss, err


class BoundedDocumentsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="brelvane-bounds-")
        cls.www = os.path.join(cls.tmp, "www")
        app = os.path.join(cls.www, "good", "app")
        rng = random.Random(3)
        write_release(app, {"a.bin": random_bytes(rng, 5 * PART), "d/b.txt": b"b\n" * 100})
        cls.mirror = Mirror(cls.www, os.path.join(cls.tmp, "nginx"))
        cls.good = os.path.join(cls.www, "good", "out")
        subprocess.check_call([tool("tools", "brelvane-release"), "build", app, cls.good,
                               "--quiet", "--tracker", "127.0.0.1:5000",
                               "--mirror", cls.mirror.url + "/good/app"],
                              stdout=subprocess.DEVNULL)
        cls.normal_run = cls.run_normal()
        cls.normal_show = show(os.path.join(cls.good, "Seed.xml.gz"))

    @classmethod
    def tearDownClass(cls):
        cls.mirror.stop()
        shutil.rmtree(cls.tmp, ignore_errors=True)

    @classmethod
    def run_normal(cls):
        work = os.path.join(cls.tmp, "normal")
        os.makedirs(work)
        u = Updater(work, ["-Dir", os.path.join(work, "game"),
                           "-HttpUrl", cls.mirror.url + "/good/out"])
        watch = PeakWatch(u.proc)
        reached = u.wait_line("[Interactive]P2PState=14", timeout=60)
        assert reached is not None, "\n".join(map(str, u.lines))
        return cls.quit(u, watch)

    @staticmethod
    def quit(u, watch, send=True):
        """Ends the updater: (exit code, its peak RSS in KiB)."""
        if send:
            u.send("quit")
        u.proc.stdin.close()
        code, _ = waited_rss(u.proc)
        watch.join(timeout=10)
        u.reader.join(timeout=10)
        u.proc.stdout.close()
        return code, watch.peak

    def serve(self, name, seed):
        """Publishes `seed` as the seed of a torrent like the good one."""
        out = os.path.join(self.www, name)
        os.makedirs(out)
        with open(os.path.join(out, "Seed.xml.gz"), "wb") as f:
            f.write(seed)
        tree = ET.parse(os.path.join(self.good, "Seed.torrent"))
        file = tree.getroot().find("Exist/File")
        for part in list(file):
            file.remove(part)
        file.set("size", str(len(seed)))
        file.set("md5", hashlib.md5(seed).hexdigest().upper())
        for i in range(0, len(seed), PART):
            piece = seed[i:i + PART]
            ET.SubElement(file, "Part", id=str(i // PART), start=str(i), length=str(len(piece)),
                          md5=hashlib.md5(piece).hexdigest().upper())
        tree.write(os.path.join(out, "Seed.torrent"))
        return out

    def updater_case(self, name):
        """A work directory whose update directory already holds a release."""
        work = os.path.join(self.tmp, name)
        game = os.path.join(work, "game")
        write_release(game, {"keep.txt": b"old release\n"})
        return work, game

    def test_file_list_bombs_are_refused_in_bounded_memory(self):
        for name, seed in BOMBS.items():
            with self.subTest(bomb=name):
                out = self.serve(name, seed)
                work, game = self.updater_case(name)
                before = tree_digest(game)
                u = Updater(work, ["-Dir", game, "-HttpUrl",
                                   self.mirror.url + "/" + name])
                watch = PeakWatch(u.proc)
                failed = u.wait_line("[Error]分析seed信息失败", timeout=60)
                code, rss = self.quit(u, watch)
                self.assertIsNotNone(failed, "\n".join(map(str, u.lines)))
                self.assertEqual(code, 0)
                self.assertEqual(tree_digest(game), before)
                with open(os.path.join(work, "p2p.log"), encoding="utf-8") as f:
                    log = f.read()
                self.assertIn("File list refused before parsing", log)
                self.assertIn("Read filelist error", log)
                report("updater, " + name, rss, self.normal_run[1])
                self.assertLess(rss, self.normal_run[1] + MARGIN_KIB)

                code, rss, err = show(os.path.join(out, "Seed.xml.gz"))
                self.assertEqual(code, 1)
                self.assertIn("is refused unparsed: as a file list it holds", err)
                report("show, " + name, rss, self.normal_show[1])
                self.assertLess(rss, self.normal_show[1] + MARGIN_KIB)

    def test_oversized_torrent_is_refused(self):
        out = os.path.join(self.www, "big-torrent")
        os.makedirs(out)
        with open(os.path.join(self.good, "Seed.torrent"), "rb") as f:
            torrent = f.read()
        with open(os.path.join(out, "Seed.torrent"), "wb") as f:
            f.write(torrent + b" " * (2 * MIB))
        work, game = self.updater_case("big-torrent")
        before = tree_digest(game)
        u = Updater(work, ["-Dir", game, "-HttpUrl", self.mirror.url + "/big-torrent"])
        watch = PeakWatch(u.proc)
        self.assertIsNotNone(u.wait_line("[Warning]获取种子信息失败", timeout=60),
                             "\n".join(map(str, u.lines)))
        code, rss = self.quit(u, watch, send=False)
        report("2 MiB torrent", rss, self.normal_run[1])
        self.assertEqual(code, 0)
        self.assertEqual(tree_digest(game), before)
        with open(os.path.join(work, "p2p.log"), encoding="utf-8") as f:
            self.assertIn("Get torrent try fail. ErrorCode: -4", f.read())
        self.assertLess(rss, self.normal_run[1] + MARGIN_KIB)
        code, _, err = show(os.path.join(out, "Seed.torrent"))
        self.assertEqual(code, 1)
        self.assertIn("as a torrent it holds more than 1048576 bytes", err)


if __name__ == "__main__":
    configure(sys.argv[1], sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"])
