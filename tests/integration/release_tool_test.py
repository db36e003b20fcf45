#!/usr/bin/env python3
"""release_tool_test.py <build-dir> <source-dir>: the real brelvane-release over small release trees:
build (every id, size and digest read back with Python's own gzip, XML and MD5), deterministic
output, the torrent, show, diff, --previous and --part-size, and refusal of bad input."""
import gzip, hashlib, os, random, shutil, subprocess, tempfile, unittest  # noqa: E401
import xml.etree.ElementTree as ET

from updater_lib import main, tool, tree_digest, write_release


def md5(data):
    return hashlib.md5(data).hexdigest().upper() if data else "0" * 32


class ReleaseToolTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="brelvane-release-test-")
        self.addCleanup(shutil.rmtree, self.tmp)

    def path(self, *names):
        return os.path.join(self.tmp, *names)

    def run_tool(self, *args, code=0):
        r = subprocess.run([tool("tools", "brelvane-release")] + list(args), capture_output=True, text=True)
        self.assertEqual(r.returncode, code, (args, r.stderr))
        return r.stdout, r.stderr

    def check_list(self, out, tree, part_size, deletes):
        """The file list of `out` describes `tree` exactly and deletes `deletes`."""
        root = ET.fromstring(gzip.open(self.path(out, "Seed.xml.gz")).read())
        self.assertEqual(sorted(f.get("name") for f in root.find("Exist")), sorted(tree_digest(self.path(tree))))
        for expected_id, f in enumerate(root.find("Exist")):
            data = open(self.path(tree, f.get("name")), "rb").read()
            self.assertEqual((int(f.get("id")), int(f.get("size")), f.get("md5")), (expected_id, len(data), md5(data)))
            parts = [(int(p.get("id")), int(p.get("start")), int(p.get("length")), p.get("md5")) for p in f]
            starts = range(0, max(len(data), 1), part_size)
            self.assertEqual(parts, [(i, s, len(data[s:s + part_size]), md5(data[s:s + part_size]))
                                     for i, s in enumerate(starts)], f.get("name"))
        self.assertEqual([n.get("name") for n in root.find("NonExist")], deletes)

    def test_build_show_diff_previous_and_refusals(self):
        write_release(self.path("v1"), {"a.txt": b"alpha\n", "dir/c.txt": b"gamma\n", "empty": b"",
                                        "dir/b.bin": random.Random(1).randbytes(200000),
                                        "sub dir/file with spaces.txt": b"spaced\n"})
        for out in ("out1", "out1b"):
            self.run_tool("build", self.path("v1"), self.path(out), "--mirror", "http://127.0.0.1:8080/rel/",
                          "http://127.0.0.2/mirror", "--tracker", "127.0.0.1:9000", "--quiet")
        for name in ("Seed.xml.gz", "Seed.torrent"):  # deterministic
            self.assertEqual(open(self.path("out1", name), "rb").read(), open(self.path("out1b", name), "rb").read())
        self.check_list("out1", "v1", 65536, [])
        # The torrent describes the compressed file list and names the sources; no XML declaration.
        torrent, seed = open(self.path("out1", "Seed.torrent"), "rb").read(), open(self.path("out1", "Seed.xml.gz"), "rb").read()
        self.assertTrue(torrent.startswith(b"<Root>"))
        root = ET.fromstring(torrent)
        self.assertEqual(([h.get("url") for h in root.findall("Server/Http")],
                          [t.attrib for t in root.findall("Server/Tracker")]),
                         (["http://127.0.0.1:8080/rel", "http://127.0.0.2/mirror"], [{"ip": "127.0.0.1", "port": "9000"}]))
        self.assertEqual(root.find("Extra").find("TotalSize").get("size"), str(6 + 200000 + 6 + 0 + 7))
        [f] = list(root.find("Exist"))
        self.assertEqual((f.get("name"), int(f.get("size")), f.get("md5"), list(f)[0].get("md5"), list(f)[0].get("length")),
                         ("Seed.xml.gz", len(seed), md5(seed), md5(seed), str(len(seed))))
        self.assertEqual(len(root.find("NonExist")), 0)
        for document, wanted in (("Seed.torrent", ("seed file: Seed.xml.gz", "127.0.0.1:9000")),
                                 ("Seed.xml.gz", ("sub dir/file with spaces.txt", "files: 5"))):
            out = self.run_tool("show", self.path("out1", document))[0]
            self.assertTrue(all(w in out for w in wanted), out)

        # A second release against the first: a byte of b.bin flips, c.txt goes, new.txt comes.
        shutil.copytree(self.path("v1"), self.path("v2"))
        b = bytearray(open(self.path("v1", "dir", "b.bin"), "rb").read())
        b[70000] ^= 0xFF
        os.remove(self.path("v2", "dir", "c.txt"))
        write_release(self.path("v2"), {"new.txt": b"new\n", "dir/b.bin": bytes(b)})
        self.run_tool("build", self.path("v2"), self.path("out2"), "--mirror", "http://127.0.0.1:8080/rel",
                      "--previous", self.path("out1", "Seed.xml.gz"), "--quiet")
        self.check_list("out2", "v2", 65536, ["dir/c.txt"])
        out, _ = self.run_tool("diff", self.path("out1", "Seed.xml.gz"), self.path("out2", "Seed.xml.gz"))
        self.assertEqual(out, "File need to delete :\n\tdir/c.txt\nFile need to update :\nPartID Start Length\n"
                              "\tdir/b.bin\n\t\t1\t65536\t65536\n\tnew.txt\n\t\t0\t0\t4\n")
        self.assertEqual(self.run_tool("diff", self.path("out2", "Seed.xml.gz"), self.path("out2", "Seed.xml.gz")),
                         ("", ""))
        # A third release keeps asking to delete what the second one removed.
        shutil.copytree(self.path("v2"), self.path("v3"))
        os.remove(self.path("v3", "new.txt"))
        self.run_tool("build", self.path("v3"), self.path("out3"), "--tracker", "10.1.2.3:7000", "--previous",
                      self.path("out2", "Seed.xml.gz"), "--part-size", "2", "--quiet")
        self.check_list("out3", "v3", 131072, ["new.txt", "dir/c.txt"])

        # Bad input: exit status, text standard error must hold, arguments.
        write_release(self.tmp, {"text.txt": b"plain text\n", "cut.gz": seed[:300], "unsafe/CON.txt": b"x",
                                 "unsafe/back\\slash": b"y"})
        p, bad_build = self.path, ("build", self.path("v1"), self.path("o"))
        for code, needle, args in [
                (0, "", ("build", "--help")), (2, "", ()), (2, "", ("publish",)),
                (1, "cannot read", ("show", p("missing"))), (1, "", ("show", p("text.txt"))),
                (1, "", ("show", p("cut.gz"))), (1, "", ("diff", p("out1", "Seed.xml.gz"), p("cut.gz"))),
                (1, "", ("diff", p("text.txt"), p("out1", "Seed.xml.gz"))),
                (1, "is a torrent", ("diff", p("out1", "Seed.torrent"), p("out1", "Seed.xml.gz"))),
                (1, "", bad_build + ("--tracker", "1.2.3.4:5", "--previous", p("out1", "Seed.torrent"))),
                (2, "", ("diff", p("out1", "Seed.xml.gz"))),
                (1, "", ("build", p("none"), p("o"), "--tracker", "1.2.3.4:5")), (2, "", bad_build),
                (2, "", bad_build + ("--tracker", "1.2.3:80")), (2, "", bad_build + ("--tracker", "1.2.3.4:0")),
                (2, "", bad_build + ("--mirror", "https://example/")),
                (2, "", bad_build + ("--tracker", "1.2.3.4:5", "--part-size", "65536")),
                (2, "", bad_build + ("--tracker", "1.2.3.4:5", "--seed-name", "../x.gz")),
                (1, "", bad_build + ("--tracker", "1.2.3.4:5", "--previous", p("missing.gz"))),
                (1, "", ("build", p("v1"), p("v1", "out"), "--tracker", "1.2.3.4:5")),
                (1, "CON.txt", ("build", p("unsafe"), p("o2"), "--tracker", "1.2.3.4:5"))]:
            with self.subTest(args=args):
                self.assertIn(needle, self.run_tool(*args, code=code)[1])
        self.assertIn("back\\slash", self.run_tool("build", p("unsafe"), p("o2"), "--tracker", "1.2.3.4:5", code=1)[1])
        for refused in (p("v1", "out"), p("o2"), p("o")):
            self.assertFalse(os.path.exists(os.path.join(refused, "Seed.torrent")))
        self.assertIn("Usage: brelvane-release", self.run_tool("--help")[0])


if __name__ == "__main__":
    main()
