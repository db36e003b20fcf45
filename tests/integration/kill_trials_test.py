#!/usr/bin/env python3
"""Kill trials: the updater is killed (SIGKILL) at random moments of an update
from a throttled nginx and started again, BRELVANE_KILL_TRIALS times (10 by
default).  After every kill each part the resume file counts reads back
whole; no part counted before a kill is fetched again; the last run leaves
the release's tree.

    kill_trials_test.py <build-dir> <source-dir>

The resume file is rewritten at most every 15 s of calendar time, so the
updater runs with a preloaded calendar clock thirty times as fast (the steady
clock that times the network keeps real time): runs of a second or two then
record progress.  Exit 77 without nginx.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

import updater_lib
from updater_lib import (PART, Mirror, Updater, complete_parts, configure, fetched_parts,
                         random_bytes, tool, tree_digest, write_release)


# Preloaded into the updater: the calendar clock (CLOCK_REALTIME) runs thirty
# times as fast from the first reading; every other clock keeps real time.
FAST_CLOCK_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>
static int (*real_clock_gettime)(clockid_t, struct timespec*);
static struct timespec base;
static pthread_once_t once = PTHREAD_ONCE_INIT;
static void init(void) {
  real_clock_gettime = dlsym(RTLD_NEXT, "clock_gettime");
  real_clock_gettime(CLOCK_REALTIME, &base);
}
int clock_gettime(clockid_t id, struct timespec* ts) {
  pthread_once(&once, init);
  int rc = real_clock_gettime(id, ts);
  if (rc == 0 && id == CLOCK_REALTIME) {
    long long ns = (ts->tv_sec - base.tv_sec) * 1000000000LL + ts->tv_nsec - base.tv_nsec;
    ns = ns * 30 + base.tv_nsec;
    ts->tv_sec = base.tv_sec + ns / 1000000000LL;
    ts->tv_nsec = ns % 1000000000LL;
  }
  return rc;
}
"""


def fast_clock(tmp):
    """Builds the fast calendar clock into `tmp` and preloads it into every
    updater started from now on."""
    with open(os.path.join(tmp, "fast_clock.c"), "w") as f:
        f.write(FAST_CLOCK_SOURCE)
    lib = os.path.join(tmp, "fast_clock.so")
    subprocess.check_call(["cc", "-shared", "-fPIC", "-O2", "-o", lib,
                           os.path.join(tmp, "fast_clock.c"), "-ldl", "-lpthread"])
    os.environ["LD_PRELOAD"] = lib


def check_counted_parts(game, app):
    """Every part the resume file counts reads back as the release has it;
    returns those parts ((name, index) pairs)."""
    if not os.path.exists(os.path.join(game, "Brelvane_Info", ".Download_Info_Data")):
        return set()
    done = complete_parts(game)
    for name, k in done:
        with open(os.path.join(game, name), "rb") as f, open(os.path.join(app, name), "rb") as g:
            f.seek(k * PART)
            g.seek(k * PART)
            assert f.read(PART) == g.read(PART), "counted part %s %d is not on disk" % (name, k)
    return done


def wait_connections_closed(port, timeout=15.0):
    """Waits until nginx has finished (and so logged) every request on `port`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        out = subprocess.run(["ss", "-Htn", "sport = :%d" % port], capture_output=True,
                             text=True).stdout
        if not out.strip():
            return
        time.sleep(0.05)
    raise AssertionError("nginx still holds connections:\n" + out)


def main():
    configure(sys.argv[1], sys.argv[2])
    if shutil.which("nginx") is None and not os.path.exists("/usr/sbin/nginx"):
        print("SKIPPED: needs nginx (scripts/install-deps.sh)")
        return 77
    trials = int(os.environ.get("BRELVANE_KILL_TRIALS", "10"))
    seed = int(os.environ.get("BRELVANE_KILL_SEED", random.randrange(1 << 30)))
    print("kill trials: %d, seed %d" % (trials, seed), flush=True)
    rng = random.Random(seed)
    tmp = tempfile.mkdtemp(prefix="brelvane-kill-")
    www = os.path.join(tmp, "www")
    app = os.path.join(www, "app")
    # About 1.5 MiB of release per trial at 2 x 1 MB/s: each run moves it on.
    size = max(8 << 20, trials * (1536 << 10)) // PART
    write_release(app, {"big.bin": random_bytes(rng, (size - size // 4) * PART + 77),
                        "sub/small.bin": random_bytes(rng, (size // 4) * PART)})
    out = os.path.join(www, "out")
    state = os.path.join(tmp, "nginx")
    mirror = None
    try:
        port = subprocess.check_output([os.path.join(updater_lib.SOURCE, "scripts",
                                                     "nginx-mirror.sh"),
                                        "start", www, state, "1m"], text=True).strip()
        mirror = Mirror.__new__(Mirror)  # started above, with a rate
        mirror.state, mirror.url = state, "http://127.0.0.1:" + port
        subprocess.check_call([tool("tools", "brelvane-release"), "build", app, out, "--quiet",
                               "--tracker", "127.0.0.1:5000", "--mirror", mirror.url + "/app"],
                              stdout=subprocess.DEVNULL)
        fast_clock(tmp)  # for the updaters only: resume writes every 0.5 s
        game = os.path.join(tmp, "game")
        args = ["-Dir", game, "-HttpUrl", mirror.url + "/out", "-HttpThread", "2"]
        counted = set()
        started = time.monotonic()
        for trial in range(trials + 1):
            if trial == trials:
                killed_progress = len(counted)
            mirror.clear_log()
            u = Updater(tmp, args)
            if trial < trials:
                # Some kills land before the transfer starts, most during it.
                u.wait_line("[Info]开始下载所需文件", timeout=rng.uniform(0.5, 30))
                # Every other kill first waits for the resume file to count more
                # parts, so that later runs have counted parts to leave alone
                # however slow the machine is.
                deadline = time.monotonic() + 30 * (trial % 2)
                while len(check_counted_parts(game, app)) <= len(counted) and \
                        time.monotonic() < deadline:
                    time.sleep(0.1)
                time.sleep(rng.uniform(0.0, 2.0))
                u.proc.kill()
                u.proc.wait()
            else:
                reached = u.wait_line("[Interactive]P2PState=14", timeout=120)
                assert reached is not None, "\n".join(map(str, u.lines))
                assert u.quit() == 0
            wait_connections_closed(int(port))
            again = fetched_parts(mirror.log(), "/app") & counted
            assert not again, "trial %d fetched counted parts again: %s" % (trial, sorted(again))
            counted |= check_counted_parts(game, app)
            print("trial %d: %d parts counted" % (trial, len(counted)), flush=True)
        assert tree_digest(game) == tree_digest(app)
        assert killed_progress > 0, "no kill left progress to check"
        print("kill trials passed in %.1f s, %d parts counted before the last run" % (
            time.monotonic() - started, killed_progress))
        return 0
    finally:
        if mirror is not None:
            mirror.stop()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
