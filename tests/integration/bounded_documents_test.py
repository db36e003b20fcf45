#!/usr/bin/env python3
"""bounded_documents_test.py <build-dir> <source-dir>: file-list bombs (blanks, nesting, one endless
attribute: 300 KiB of gzip, 300 MiB of text) and a 2 MiB torrent, served by nginx, against the
updater and `brelvane-release show`: refused, the update directory unchanged, peak RSS within
MARGIN_KIB of a normal run."""
import contextlib, gzip, hashlib, os, subprocess, time  # noqa: E401
import xml.etree.ElementTree as ET

from updater_lib import FINISHED, ReleaseTest, main, tool, tree_digest, write_release

MARGIN_KIB = 16 * 1024  # what a refused document may add (docs/catalogue.md)


def bomb(head, unit, tail=b""):
    body = gzip.compress(unit * ((1 << 20) // len(unit)), 9)
    return gzip.compress(head) + body * 300 + gzip.compress(tail)


def show(path):
    """(exit code, standard error, peak RSS KiB: at least this test's own, kept over exec)."""
    proc = subprocess.Popen([tool("tools", "brelvane-release"), "show", path], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    err = proc.stderr.read().decode()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, err, usage.ru_maxrss


class BoundedDocumentsTest(ReleaseTest):
    def update(self, name, until):
        """Updates tmp/name/game from /name until the line `until`, then quits: (exit code, peak RSS KiB)."""
        game = os.path.join(self.tmp, name, "game")
        write_release(game, {"keep.txt": b"old release\n"})
        u = self.start(self.mirror.url + "/" + name, game=game, work=os.path.join(self.tmp, name))
        peak, deadline = 0, time.monotonic() + 60
        while until not in u.lines and None not in u.lines and time.monotonic() < deadline:
            with contextlib.suppress(OSError):  # the peak RSS of the updater's own image while it runs
                peak = max([peak] + [int(line.split()[1]) for line in open("/proc/%d/status" % u.proc.pid)
                                     if line.startswith("VmHWM:")])
            time.sleep(0.02)
        self.assertIn(until, u.lines)
        return u.quit(), peak

    def publish(self, name, seed=None, torrent_tail=b""):
        """A copy of the good torrent under /name, describing `seed` when given."""
        out = os.path.join(self.www, name)
        tree = ET.parse(os.path.join(self.www, "good", "out", "Seed.torrent"))
        if seed is not None:
            write_release(out, {"Seed.xml.gz": seed})
            file = tree.getroot().find("Exist/File")
            file[:] = []
            file.attrib.update(size=str(len(seed)), md5=hashlib.md5(seed).hexdigest())
            for i in range(0, len(seed), 65536):
                piece = seed[i:i + 65536]
                ET.SubElement(file, "Part", id=str(i // 65536), start=str(i), length=str(len(piece)),
                              md5=hashlib.md5(piece).hexdigest())
        os.makedirs(out, exist_ok=True)
        with open(os.path.join(out, "Seed.torrent"), "wb") as f:
            f.write(ET.tostring(tree.getroot()) + torrent_tail)
        return out

    def test_bombs_are_refused_in_bounded_memory(self):
        self.cut("good", {"a.bin": os.urandom(300000)})
        _, normal = self.update("good/out", FINISHED)
        _, _, normal_show = show(os.path.join(self.www, "good", "out", "Seed.xml.gz"))
        cases = [(name, self.publish(name, seed), "Seed.xml.gz", "[Error]分析seed信息失败",
                  "File list refused before parsing", "as a file list it holds")
                 for name, seed in [("blanks", bomb(b"<Root><Exist>", b" ")), ("nesting", bomb(b"<Root>", b"<a>")),
                                    ("attribute", bomb(b'<Root><Exist><File name="', b"x"))]]
        cases.append(("torrent", self.publish("torrent", torrent_tail=b" " * (2 << 20)), "Seed.torrent",
                      "[Warning]获取种子信息失败", "Get torrent try fail. ErrorCode: -4", "as a torrent it holds more than"))
        for name, out, document, console, log, refusal in cases:
            with self.subTest(case=name):
                code, peak = self.update(name, console)
                self.assertEqual(code, 0)
                self.assertLess(peak, normal + MARGIN_KIB, "peak RSS %d KiB, normal run %d KiB" % (peak, normal))
                self.assertEqual(tree_digest(os.path.join(self.tmp, name, "game")),
                                 {"keep.txt": hashlib.md5(b"old release\n").hexdigest()})
                self.assertIn(log, self.running[-1].log())
                code, err, peak = show(os.path.join(out, document))
                self.assertEqual(code, 1)
                self.assertIn(refusal, err)
                self.assertLess(peak, normal_show + MARGIN_KIB)


if __name__ == "__main__":
    main()
