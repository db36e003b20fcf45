#!/usr/bin/env python3
"""A full disk: the updater updates into a size-limited tmpfs that cannot hold
the release.  It reports "Error = WriteFile" on the console and "Write file
error" in its file log, keeps running, and its resume file counts no part
that is not on disk.  Once the tmpfs is made larger and the launcher sends
"restart", the next run finishes with the release's tree.

    full_disk_test.py <build-dir> <source-dir>

Needs root (mount); exits 77 otherwise.  The tmpfs is unmounted and removed
also on failure.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from kill_trials_test import check_counted_parts, fast_clock
from updater_lib import (PART, Mirror, Updater, configure, random_bytes, tool, tree_digest,
                         write_release)


def main():
    configure(sys.argv[1], sys.argv[2])
    if os.geteuid() != 0:
        print("SKIPPED: mounting a tmpfs needs root")
        return 77
    tmp = tempfile.mkdtemp(prefix="brelvane-full-disk-")
    disk = os.path.join(tmp, "disk")
    os.makedirs(disk)
    if subprocess.call(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", disk]) != 0:
        shutil.rmtree(tmp, ignore_errors=True)
        print("SKIPPED: cannot mount a tmpfs here")
        return 77
    mirror = None
    try:
        www = os.path.join(tmp, "www")
        app = os.path.join(www, "app")
        rng = random.Random(11)
        write_release(app, {"a.bin": random_bytes(rng, 40 * PART + 5),
                            "data/b.bin": random_bytes(rng, 24 * PART)})  # 4 MiB
        mirror = Mirror(www, os.path.join(tmp, "nginx"))
        subprocess.check_call([tool("tools", "brelvane-release"), "build", app,
                               os.path.join(www, "out"), "--quiet", "--tracker",
                               "127.0.0.1:5000", "--mirror", mirror.url + "/app"],
                              stdout=subprocess.DEVNULL)
        fast_clock(tmp)  # for the updaters only: resume writes every 0.5 s
        game = os.path.join(disk, "game")
        args = ["-Dir", game, "-HttpUrl", mirror.url + "/out"]
        u = Updater(tmp, args)
        assert u.wait_line("[Interactive]Error = WriteFile", timeout=60) is not None, \
            "\n".join(map(str, u.lines))
        time.sleep(2)  # the program goes on: it answers, the resume file stays honest
        assert u.proc.poll() is None, "the updater ended on a full disk"
        assert u.ask("p2ps", "P2PState") == "13"
        with open(os.path.join(tmp, "p2p.log"), errors="replace") as f:
            assert "Write file error, FileID" in f.read()
        check_counted_parts(game, app)
        subprocess.check_call(["mount", "-o", "remount,size=64m", disk])
        u.send("restart")
        assert u.proc.wait(timeout=60) == 0
        assert u.wait_line("[Interactive]P2PState=16", timeout=5) is not None
        check_counted_parts(game, app)
        u = Updater(tmp, args)
        reached = u.wait_line("[Interactive]P2PState=14", timeout=60)
        assert reached is not None, "\n".join(map(str, u.lines))
        assert u.quit() == 0
        assert tree_digest(game) == tree_digest(app)
        print("full disk: reported, survived, resumed byte-identical")
        return 0
    finally:
        if mirror is not None:
            mirror.stop()
        if subprocess.call(["umount", disk]) != 0:
            subprocess.call(["umount", "-l", disk])
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
