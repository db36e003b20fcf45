#!/usr/bin/env python3
"""Swarm benchmark: one seed and four empty updaters fetching a release from
each other (no HTTP mirror for the data, limits at their maximum), against
the same four updaters fetching it from nginx over HTTP only, in the same
run; then one swarm of 32 updaters on a small release.  Every updater sits in
its own network namespace (needs root).

    bench/swarm.py <build-dir> [--mib 256] [--big-swarm 32] [--small-mib 8]

Prints, for each phase, the wall time until every updater reached state 14,
the bytes each got from peers and over HTTP, and each one's peak memory; then
the ratio swarm / HTTP.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))
import updater_lib as swarm_lib  # noqa: E402
from updater_lib import Updater, configure, tool, tree_digest  # noqa: E402

LIMITS = ["-UploadLimit", "1048576", "-DownloadLimit", "1048576"]


def peak_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def cpu_seconds(pid, threads=None):
    """The process's user + system CPU seconds; with `threads` (a dict), adds
    each thread's share under its name."""
    tick = os.sysconf("SC_CLK_TCK")
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        total = (int(fields[11]) + int(fields[12])) / tick
    except (OSError, IndexError, ValueError):
        return 0.0
    if threads is not None:
        for tid in os.listdir("/proc/%d/task" % pid):
            try:
                with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                    head, rest = f.read().rsplit(")", 1)
                fields = rest.split()
                name = head.split("(", 1)[1]
                threads[name] = threads.get(name, 0.0) + (int(fields[11]) + int(fields[12])) / tick
            except (OSError, IndexError, ValueError):
                pass
    return total


def make_release(root, mib):
    os.makedirs(root)
    chunk = os.urandom(1 << 20)
    # A few files of different sizes; bytes differ per MiB so parts differ.
    sizes = [mib // 2, mib // 4, mib - mib // 2 - mib // 4]
    for i, size in enumerate(sizes):
        with open(os.path.join(root, "file%d.bin" % i), "wb") as f:
            for k in range(size):
                f.write(k.to_bytes(8, "little") + chunk[8:])


def cut(www, name, app, mirror, tracker):
    out = os.path.join(www, name)
    subprocess.check_call([tool("tools", "brelvane-release"), "build", app, out, "--quiet",
                           "--mirror", mirror, "--tracker", tracker], stdout=subprocess.DEVNULL)
    return out


def run_phase(label, members, torrent_url, work, extra, seed_member=None, seed_dir=None, timeout=1800):
    """Starts a seed (when given) and one updater per member; returns the
    wall time until all reached state 14 and per-updater figures."""
    seed = None
    if seed_member is not None:
        os.makedirs(os.path.join(work, "seed-" + label))
        seed = Updater(os.path.join(work, "seed-" + label), ["-Dir", seed_dir, "-HttpUrl", torrent_url] + LIMITS,
                       prefix=seed_member.prefix)
        if seed.wait_line("[Interactive]P2PState=14", 600) is None:
            raise RuntimeError("the seed did not verify its release")
    ups = []
    # The seed's verification of its own release is not part of the phase.
    seed_before = {}
    seed_cpu_before = cpu_seconds(seed.proc.pid, seed_before) if seed else 0.0
    start = time.monotonic()
    for m in members:
        w = os.path.join(work, "%s-m%d" % (label, m.index))
        os.makedirs(w)
        u = Updater(w, ["-Dir", os.path.join(w, "game"), "-HttpUrl", torrent_url] + LIMITS + extra,
                    prefix=m.prefix)
        u.game = os.path.join(w, "game")
        ups.append(u)
    finished = []
    for u in ups:
        left = timeout - (time.monotonic() - start)
        finished.append(u.wait_line("[Interactive]P2PState=14", max(left, 1)) is not None)
    wall = time.monotonic() - start
    rows = []
    threads = {}
    cpu = cpu_seconds(seed.proc.pid, threads) - seed_cpu_before if seed else 0.0
    for name, t in seed_before.items():
        threads[name] = threads.get(name, 0.0) - t
    for u, ok in zip(ups, finished):
        kib = peak_kib(u.proc.pid)
        cpu += cpu_seconds(u.proc.pid, threads)
        u.quit()
        p2p, http = u.report_bytes() or (0, 0)
        rows.append((ok, p2p, http, kib, u.game))
    if seed:
        seed.quit()
    busy = sorted(((t, n) for n, t in threads.items() if t >= 0.05), reverse=True)
    print("  (updaters' CPU time: %.2f s; by thread: %s)"
          % (cpu, ", ".join("%s %.2f" % (n, t) for t, n in busy)))
    return wall, rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--big-swarm", type=int, default=32)
    ap.add_argument("--small-mib", type=int, default=8)
    ap.add_argument("--swarm-only", action="store_true", help="skip the HTTP phase (profiling)")
    a = ap.parse_args()
    configure(a.build, os.path.join(HERE, ".."))
    try:
        net = swarm_lib.Swarm.create(prefix="bvb")
    except swarm_lib.Skip as e:
        print("SKIPPED: %s" % e)
        return 0
    tmp = tempfile.mkdtemp(prefix="brelvane-bench-swarm-")
    try:
        www = os.path.join(tmp, "www")
        app = os.path.join(www, "app")
        make_release(app, a.mib)
        mirror = net.start_mirror(www)
        net.start_main_server()
        # Swarm: the torrent names no data mirror that answers.
        cut(www, "swarm", app, mirror + "/nothing", net.tracker())
        # HTTP only: the torrent names a main server nobody runs.
        cut(www, "http", app, mirror + "/app", "%s:1" % swarm_lib.HUB_IP)
        members = [net.add_member() for _ in range(max(5, a.big_swarm))]
        want = tree_digest(app)

        def show(label, wall, rows):
            print("%s: %.2f s until all %d were complete" % (label, wall, len(rows)))
            for i, (ok, p2p, http, kib, game) in enumerate(rows):
                same = ok and tree_digest(game) == want
                print("  updater %d: %s, %.1f MiB from peers, %.1f MiB over HTTP, peak %.1f MiB"
                      % (i + 1, "identical" if same else "NOT COMPLETE/DIFFERENT", p2p / 2**20, http / 2**20,
                         kib / 1024))
            return all(ok and tree_digest(g) == want for ok, _, _, _, g in rows)

        swarm_wall, rows = run_phase("swarm", members[1:5], mirror + "/swarm", tmp, ["-HttpThread", "0"],
                                     seed_member=members[0], seed_dir=app)
        ok1 = show("Swarm of one seed and 4 empty updaters, %d MiB" % a.mib, swarm_wall, rows)
        ok2 = True
        if not a.swarm_only:
            http_wall, rows = run_phase("http", members[1:5], mirror + "/http", tmp, ["-HttpThread", "4"])
            ok2 = show("The same 4 updaters over HTTP only (4 threads each)", http_wall, rows)
            print("Ratio swarm / HTTP: %.2fx (target <= 1.2x)" % (swarm_wall / http_wall))

        if a.big_swarm > 1:
            small = os.path.join(www, "small")
            make_release(small, a.small_mib)
            cut(www, "big", small, mirror + "/nothing", net.tracker())
            want = tree_digest(small)
            wall, rows = run_phase("big", members[1:a.big_swarm], mirror + "/big", tmp, ["-HttpThread", "0"],
                                   seed_member=members[0], seed_dir=small, timeout=900)
            done = sum(1 for ok, _, _, _, g in rows if ok and tree_digest(g) == want)
            print("Swarm of %d updaters (1 seed), %d MiB: %.2f s, %d of %d complete and identical"
                  % (a.big_swarm, a.small_mib, wall, done, len(rows)))
        return 0 if ok1 and ok2 else 1
    finally:
        net.close()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
