#!/usr/bin/env python3
"""File-list bombs (blanks, nesting, one endless attribute: 300 KiB of gzip,
300 MiB of text) and a 2 MiB torrent, served by nginx, against the updater and
`brelvane-release show`: refused, the update directory unchanged, peak RSS
within MARGIN of a normal run.     bounded_documents_test.py <build> <source>
"""
import gzip
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

from updater_lib import Mirror, Updater, configure, tool, tree_digest, write_release

MARGIN_KIB = 16 * 1024  # what a refused document may add (docs/catalogue.md)


def bomb(head, unit, tail=b""):
    body = gzip.compress(unit * ((1 << 20) // len(unit)), 9)
    return gzip.compress(head) + body * 300 + gzip.compress(tail)


def update(work, url, until):
    """Runs the updater until the line `until`, then quits it: (exit code, peak RSS KiB)."""
    write_release(os.path.join(work, "game"), {"keep.txt": b"old release\n"})
    u = Updater(work, ["-Dir", os.path.join(work, "game"), "-HttpUrl", url])
    peak, deadline = 0, time.monotonic() + 60
    while until not in u.lines and None not in u.lines and time.monotonic() < deadline:
        try:  # the peak RSS of the updater's own image while it runs
            with open("/proc/%d/status" % u.proc.pid) as f:
                peak = max([peak] + [int(l.split()[1]) for l in f if l.startswith("VmHWM:")])
        except OSError:
            pass
        time.sleep(0.02)
    assert until in u.lines, "\n".join(map(str, u.lines))
    return u.quit(), peak


def show(path):
    """(exit code, standard error, peak RSS KiB: at least this test's own, kept over exec)."""
    proc = subprocess.Popen([tool("tools", "brelvane-release"), "show", path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    err = proc.stderr.read().decode()
    proc.stderr.close()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, err, usage.ru_maxrss


class BoundedDocumentsTest(unittest.TestCase):
    def setUp(self):  # a mirror with a good release
        self.tmp = tempfile.mkdtemp(prefix="brelvane-bounds-")
        self.www = os.path.join(self.tmp, "www")
        write_release(os.path.join(self.www, "app"), {"a.bin": os.urandom(300000)})
        self.mirror = Mirror(self.www, os.path.join(self.tmp, "nginx"))
        subprocess.check_call([tool("tools", "brelvane-release"), "build",
                               os.path.join(self.www, "app"), os.path.join(self.www, "good"),
                               "--quiet", "--tracker", "127.0.0.1:5000",
                               "--mirror", self.mirror.url + "/app"])

    def tearDown(self):
        self.mirror.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def publish(self, name, seed=None, torrent_tail=b""):
        """A copy of the good torrent under /name, describing `seed` when given."""
        out = os.path.join(self.www, name)
        tree = ET.parse(os.path.join(self.www, "good", "Seed.torrent"))
        if seed is not None:
            write_release(out, {"Seed.xml.gz": seed})
            file = tree.getroot().find("Exist/File")
            file[:] = []
            file.attrib.update(size=str(len(seed)), md5=hashlib.md5(seed).hexdigest())
            for i in range(0, len(seed), 65536):
                piece = seed[i:i + 65536]
                ET.SubElement(file, "Part", id=str(i // 65536), start=str(i),
                              length=str(len(piece)), md5=hashlib.md5(piece).hexdigest())
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, "Seed.torrent"), "wb") as f:
            f.write(ET.tostring(tree.getroot()) + torrent_tail)
        return out

    def test_bombs_are_refused_in_bounded_memory(self):
        code, normal = update(os.path.join(self.tmp, "normal"), self.mirror.url + "/good",
                              "[Interactive]P2PState=14")
        _, _, normal_show = show(os.path.join(self.www, "good", "Seed.xml.gz"))
        cases = [(name, self.publish(name, seed), "Seed.xml.gz", "[Error]分析seed信息失败",
                  "File list refused before parsing", "as a file list it holds")
                 for name, seed in [("blanks", bomb(b"<Root><Exist>", b" ")),
                                    ("nesting", bomb(b"<Root>", b"<a>")),
                                    ("attribute", bomb(b'<Root><Exist><File name="', b"x"))]]
        cases.append(("torrent", self.publish("torrent", torrent_tail=b" " * (2 << 20)),
                      "Seed.torrent", "[Warning]获取种子信息失败",
                      "Get torrent try fail. ErrorCode: -4", "as a torrent it holds more than"))
        for name, out, document, console, log, refusal in cases:
            with self.subTest(case=name):
                work = os.path.join(self.tmp, name)
                code, peak = update(work, self.mirror.url + "/" + name, console)
                print("peak RSS %s: %d KiB, normal run %d KiB" % (name, peak, normal),
                      file=sys.stderr)
                self.assertEqual(code, 0)
                self.assertLess(peak, normal + MARGIN_KIB)
                self.assertEqual(tree_digest(os.path.join(work, "game")),
                                 {"keep.txt": hashlib.md5(b"old release\n").hexdigest()})
                with open(os.path.join(work, "p2p.log"), encoding="utf-8") as f:
                    self.assertIn(log, f.read())
                code, err, peak = show(os.path.join(out, document))
                self.assertEqual(code, 1)
                self.assertIn(refusal, err)
                self.assertLess(peak, normal_show + MARGIN_KIB)


if __name__ == "__main__":
    configure(sys.argv[1], sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"])
