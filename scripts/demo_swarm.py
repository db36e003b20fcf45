#!/usr/bin/env python3
"""The demo's swarm: one updater that already holds the release (the seed)
and three that start empty, all on this machine's loopback, logged in to a
real main server, with the HTTP mirror throttled so that most bytes come
from peers.  Prints what each got from peers and from HTTP and checks every
directory against the release.

    demo_swarm.py <build-dir> <source-dir> <work-dir> <app-dir> <seed-game-dir>
                  <torrent-url> <tracker host:port>
"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "integration"))
from updater_lib import Updater, configure, tree_digest  # noqa: E402



def main():
    build, source, work, app, seed_game, torrent, tracker = sys.argv[1:8]
    configure(build, source)
    common = ["-HttpUrl", torrent, "-UploadLimit", "1048576", "-DownloadLimit", "1048576"]
    seed = Updater(work, ["-Dir", seed_game, "-id", "seed"] + common)
    try:
        if seed.wait_line("[Interactive]P2PState=14", 120) is None:
            print("the seed did not verify its files")
            return 1
        seed_id = seed.ask("uid", "UserId")
        print("Swarm: main server at %s; the seed (user %s) holds the release; three empty "
              "updaters start, the mirror sends at most 200 KB/s per request." % (tracker, seed_id))
        start = time.monotonic()
        peers = [Updater(work, ["-Dir", os.path.join(work, "peer%d" % i), "-id", "peer%d" % i] + common)
                 for i in range(1, 4)]
        ok = True
        want = tree_digest(app)
        for i, u in enumerate(peers, 1):
            reached = u.wait_line("[Interactive]P2PState=14", 300) is not None
            uid = u.ask("uid", "UserId") if reached else "?"
            took = time.monotonic() - start
            u.quit()
            got = u.report_bytes()
            same = reached and tree_digest(os.path.join(work, "peer%d" % i)) == want
            ok = ok and same
            if got:
                p2p, http = got
                print("  peer%d (user %s): %s in %.1f s, %.1f MB from peers, %.1f MB over HTTP, files %s"
                      % (i, uid, "complete" if reached else "NOT complete", took, p2p / 1e6, http / 1e6,
                         "identical" if same else "DIFFERENT"))
            else:
                print("  peer%d: no statistics line (reached state 14: %s)" % (i, reached))
                ok = False
        seed.quit()
        return 0 if ok else 1
    finally:
        for u in [seed] + (peers if "peers" in dir() else []):
            if u.proc.poll() is None:
                u.proc.kill()


if __name__ == "__main__":
    sys.exit(main())
