#!/usr/bin/env python3
"""kill_trials_test.py <build-dir> <source-dir>: the updater is killed (SIGKILL) at random moments of
an update from a throttled nginx and started again, BRELVANE_KILL_TRIALS times (default 10).  After
every kill each part the resume file counts reads back whole; no part counted before a kill is
fetched again; the last run leaves the release's tree.  The updaters run with the fast calendar
clock (updater_lib.fast_clock), so runs of a second or two record progress."""
import os, random, subprocess, time  # noqa: E401

from updater_lib import PART, STARTED, ReleaseTest, complete_parts, fast_clock, fetched_parts, main, wait_for


def wait_connections_closed(port):
    """Waits until nginx has finished (and so logged) every request on `port`."""
    held = lambda: subprocess.run(["ss", "-Htn", "sport = :%d" % port], capture_output=True, text=True).stdout  # noqa
    assert wait_for(lambda: not held().strip(), 15), "nginx still holds connections:\n" + held()


class KillTrialsTest(ReleaseTest):
    rate = "1m"

    def test_kill_trials(self):
        trials = int(os.environ.get("BRELVANE_KILL_TRIALS", "10"))
        seed = int(os.environ.get("BRELVANE_KILL_SEED", random.randrange(1 << 30)))
        print("kill trials: %d, seed %d" % (trials, seed), flush=True)
        rng = random.Random(seed)
        size = max(8 << 20, trials * (1536 << 10)) // PART  # about 1.5 MiB per trial at 2 x 1 MB/s
        url = self.cut("r", {"big.bin": rng.randbytes((size - size // 4) * PART + 77),
                             "sub/small.bin": rng.randbytes((size // 4) * PART)})
        app = os.path.join(self.www, "r", "app")
        fast_clock(self.tmp)
        counted = set()
        for trial in range(trials + 1):
            self.mirror.clear_log()
            u = self.start(url, "-HttpThread", "2")
            if trial < trials:
                u.wait_line(STARTED, timeout=rng.uniform(0.5, 30))  # some kills land before the transfer
                # Every other kill first waits for the resume file to count more parts, so that later
                # runs have counted parts to leave alone however slow the machine is.
                wait_for(lambda: len(complete_parts(self.game, app)) > len(counted), 30 * (trial % 2))
                time.sleep(rng.uniform(0.0, 2.0))
                u.proc.kill()
                u.proc.wait()
            else:
                killed_progress = len(counted)
                self.finish(u, "r")
            wait_connections_closed(self.mirror.port)
            again = fetched_parts(self.mirror.log(), "/r/app") & counted
            self.assertFalse(again, "trial %d fetched counted parts again" % trial)
            counted |= complete_parts(self.game, app)
            print("trial %d: %d parts counted" % (trial, len(counted)), flush=True)
        self.assertGreater(killed_progress, 0, "no kill left progress to check")


if __name__ == "__main__":
    main()
