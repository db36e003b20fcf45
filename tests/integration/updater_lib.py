#!/usr/bin/env python3
"""Shared pieces of the integration tests, the demo and the benchmarks: the real updater driven
like the launcher drives it, releases, the resume file read back, a loopback nginx mirror, and
ReleaseTest (a scratch directory and a mirror per test class).  Call configure() or main() first."""
import gzip, hashlib, itertools, os, re, shutil  # noqa: E401
import subprocess, sys, tempfile, threading, time, unittest  # noqa: E401
import xml.etree.ElementTree as ET

BUILD = SOURCE = None
PART = 65536
STARTED, FINISHED, ENDED = "[Info]开始下载所需文件", "[Interactive]P2PState=14", "[Interactive]P2PState=16"


def configure(build, source):
    global BUILD, SOURCE
    BUILD, SOURCE = os.path.abspath(build), os.path.abspath(source)


def main():
    """Runs the calling file's tests; exit 77 (ctest: skipped) when every test skipped."""
    configure(sys.argv[1], sys.argv[2])
    result = unittest.main(module="__main__", argv=[sys.argv[0], "-v"] + sys.argv[3:], exit=False).result
    sys.exit(77 if result.wasSuccessful() and len(result.skipped) >= max(result.testsRun, 1) else
             0 if result.wasSuccessful() else 1)


def tool(*parts):
    return os.path.join(BUILD, *parts)


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


class Updater:
    """One updater process; `prefix` runs it through another command (`ip netns exec NAME`);
    `upnp` False adds -NotUsingUPnP.  `lines` ends with None once the output closed."""

    def __init__(self, work, args, prefix=(), upnp=False):
        self.lines, self.cond, self.work = [], threading.Condition(), work
        extra = [] if upnp else ["-NotUsingUPnP"]
        self.proc = subprocess.Popen(
            list(prefix) + [tool("app", "brelvane"), "-Charset", "UTF-8"] + extra + args,
            cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in itertools.chain(self.proc.stdout, [None]):
            with self.cond:
                self.lines.append(raw and raw.decode("utf-8", errors="replace").rstrip("\n"))
                self.cond.notify_all()

    def _wait(self, match, timeout, start):
        """The index of the first line at or after `start` that `match` accepts, or None."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if self.lines[i] is None:
                        return None
                    if match(self.lines[i]):
                        return i
                if not self.cond.wait(max(deadline - time.monotonic(), 0)):
                    return None

    def wait_line(self, wanted, timeout=60.0, start=0):
        return self._wait(lambda line: line == wanted, timeout, start)

    def send(self, *words):
        self.proc.stdin.write(("\n".join(words) + "\n").encode())
        self.proc.stdin.flush()

    def ask(self, word, name, timeout=10.0, command="get "):
        """Sends `<command><word>` and returns the value of the next `name=` answer."""
        prefix = "[Interactive]%s=" % name
        with self.cond:
            start = len(self.lines)
        self.send(command + word)
        i = self._wait(lambda line: line.startswith(prefix), timeout, start)
        if i is None:
            raise AssertionError("no answer %s to %s" % (name, word))
        return self.lines[i][len(prefix):]

    def report_bytes(self):
        """(bytes from peers, bytes over HTTP) of the statistics line, or None before it."""
        for line in filter(None, self.lines):
            m = re.match(r"\[Info\]ReportDownloadStat .*p2p=\d+,(\d+) http=\d+,(\d+) ", line)
            if m:
                return int(m.group(1)), int(m.group(2))
        return None

    def log(self):
        """The run's p2p.log so far."""
        path = os.path.join(self.work, "p2p.log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def quit(self, timeout=60.0):
        try:
            self.send("quit")
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        code = self.proc.wait(timeout=timeout)
        self.reader.join(timeout=5)
        self.proc.stdout.close()
        return code


def write_release(root, files):
    for name, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        with open(os.path.join(root, name), "wb") as f:
            f.write(data)


def cut_release(www, name, files, mirrors, tracker, previous=None):
    """Writes `files` as www/name/app and its torrent and file list into www/name/out."""
    app = os.path.join(www, name, "app")
    write_release(app, files)
    cmd = [tool("tools", "brelvane-release"), "build", app, os.path.join(www, name, "out"), "--quiet",
           "--tracker", tracker] + [a for m in mirrors for a in ("--mirror", m)]
    if previous:
        cmd += ["--previous", os.path.join(www, previous, "out", "Seed.xml.gz")]
    subprocess.check_call(cmd, stdout=subprocess.DEVNULL)


def random_bytes(rng, size):
    return bytes(rng.getrandbits(8) for _ in range(min(size, 4096))) * (size // 4096) + \
        bytes(rng.getrandbits(8) for _ in range(size % 4096))


def tree_digest(root):
    out = {}
    for base, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d != "Brelvane_Info"]
        for f in files:
            with open(os.path.join(base, f), "rb") as fh:
                out[os.path.relpath(os.path.join(base, f), root)] = hashlib.md5(fh.read()).hexdigest()
    return out


def fetched_parts(entries, prefix):
    """(file uri, part) pairs that any request of `entries` asked for."""
    return {(uri.replace("//", "/")[len(prefix):].lstrip("/"), k)
            for uri, _, sent, start, _ in entries if uri.startswith(prefix) and sent > 0
            for k in range(start // PART, (start + sent - 1) // PART + 1)}


def complete_parts(game):
    """(name, part) pairs the resume file counts as on disk (none without a resume file)."""
    info = os.path.join(game, "Brelvane_Info")
    if not os.path.exists(os.path.join(info, ".Download_Info_Data")):
        return set()
    with gzip.open(os.path.join(info, ".Seed")) as f:
        seed = {int(e.get("id")): (e.get("name"), len(list(e.iter("Part"))))
                for e in ET.fromstring(f.read()).iter("File")}
    missing, section = {}, None
    with open(os.path.join(info, ".Download_Info_Data")) as f:
        for line in map(str.strip, f):
            if line.startswith("[") and line.endswith("]"):
                section = line[1:-1]
            elif section and section.isdigit() and line.startswith("NotCompletePartId"):
                missing[int(section)] = {int(x) for x in line.split("=", 1)[1].strip().split("|") if x}
    return {(name, k) for fid, (name, count) in seed.items()
            for k in range(count) if k not in missing.get(fid, set())}


def counted_parts_on_disk(game, app):
    """complete_parts(game), each checked to read back as the release `app` has it."""
    done = complete_parts(game)
    for name, k in done:
        with open(os.path.join(game, name), "rb") as f, open(os.path.join(app, name), "rb") as g:
            f.seek(k * PART)
            g.seek(k * PART)
            assert f.read(PART) == g.read(PART), "counted part %s %d is not on disk" % (name, k)
    return done


# The calendar clock (CLOCK_REALTIME) thirty times as fast from its first reading, every other
# clock in real time: the resume file, rewritten every 15 s of calendar time, then is every 0.5 s.
FAST_CLOCK_SOURCE = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <time.h>
static int (*real)(clockid_t, struct timespec*);
static struct timespec base;
static pthread_once_t once = PTHREAD_ONCE_INIT;
static void init(void) { real = dlsym(RTLD_NEXT, "clock_gettime"); real(CLOCK_REALTIME, &base); }
int clock_gettime(clockid_t id, struct timespec* ts) {
  pthread_once(&once, init);
  int rc = real(id, ts);
  if (rc == 0 && id == CLOCK_REALTIME) {
    long long ns = ((ts->tv_sec - base.tv_sec) * 1000000000LL + ts->tv_nsec - base.tv_nsec) * 30 + base.tv_nsec;
    ts->tv_sec = base.tv_sec + ns / 1000000000LL;
    ts->tv_nsec = ns % 1000000000LL;
  }
  return rc;
}
"""


def fast_clock(tmp):
    """Builds the fast calendar clock into `tmp` and preloads it into every updater started later."""
    with open(os.path.join(tmp, "fast_clock.c"), "w") as f:
        f.write(FAST_CLOCK_SOURCE)
    lib = os.path.join(tmp, "fast_clock.so")
    subprocess.check_call(["cc", "-shared", "-fPIC", "-O2", "-o", lib, f.name, "-ldl", "-lpthread"])
    os.environ["LD_PRELOAD"] = lib


class Mirror:
    """nginx serving `root` (scripts/nginx-mirror.sh, throttled to `rate`) at self.url on `ip`, run
    through `prefix` (`ip netns exec NAME`)."""

    def __init__(self, root, state, rate=None, prefix=(), ip="127.0.0.1"):
        self.state = state
        port = subprocess.check_output(list(prefix) + [os.path.join(SOURCE, "scripts", "nginx-mirror.sh"), "start",
                                       root, state] + ([rate] if rate else []), text=True,
                                       env=dict(os.environ, BRELVANE_MIRROR_IP=ip)).strip()
        self.port, self.url = int(port), "http://%s:%s" % (ip, port)

    def log(self):
        """(uri, status, bytes, range start, client address) of every request so far."""
        with open(os.path.join(self.state, "access.log")) as f:
            return [(m[1], int(m[2]), int(m[3]), int(m[4] or 0), m[5]) for m in
                    (re.match(r'(\S+) (\d+) (\d+) "(?:bytes=(\d+)-\d*)?" (\S+)', line) for line in f) if m]

    def clear_log(self):
        open(os.path.join(self.state, "access.log"), "w").close()

    def served(self, prefix=""):
        return sum(b for uri, _, b, _, _ in self.log() if uri.startswith(prefix))

    def stop(self):
        subprocess.call([os.path.join(SOURCE, "scripts", "nginx-mirror.sh"), "stop", self.state])


class ReleaseTest(unittest.TestCase):
    """A scratch directory (tmp) whose www is served by a Mirror (throttled to `rate`) for the
    class; each test works in tmp/<test name> (case) and updates case/game (game) by default."""
    rate = None

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="brelvane-%s-" % cls.__name__)
        cls.addClassCleanup(shutil.rmtree, cls.tmp, ignore_errors=True)
        cls.www = os.path.join(cls.tmp, "www")
        os.makedirs(cls.www)
        cls.mirror = Mirror(cls.www, os.path.join(cls.tmp, "nginx"), cls.rate)
        cls.addClassCleanup(cls.mirror.stop)

    def setUp(self):
        self.case = os.path.join(self.tmp, self._testMethodName)
        self.game = os.path.join(self.case, "game")
        os.makedirs(self.case)
        self.running = []
        self.addCleanup(lambda: [u.proc.kill() for u in self.running if u.proc.poll() is None])

    def cut(self, name, files, mirrors=None, previous=None, tracker="127.0.0.1:5000"):
        """Release `name` of `files` (data from `mirrors`, default this mirror); its torrent's URL."""
        cut_release(self.www, name, files, mirrors or [self.mirror.url + "/%s/app" % name], tracker,
                    previous)
        return self.mirror.url + "/%s/out" % name

    def start(self, urls, *extra, game=None, work=None, prefix=()):
        """An updater of `game` (default self.game) fetching the torrent from `urls`."""
        work = work or self.case
        os.makedirs(work, exist_ok=True)
        u = Updater(work, ["-Dir", game or self.game, "-HttpUrl"] + ([urls] if isinstance(urls, str) else urls)
                    + list(extra), prefix=prefix)
        u.game = game or self.game
        self.running.append(u)
        return u

    def reach(self, u, wanted=FINISHED, timeout=120):
        self.assertIsNotNone(u.wait_line(wanted, timeout), "no %s:\n%s" % (wanted, "\n".join(map(str, u.lines[-40:]))))

    def finish(self, u, name, timeout=120):
        """Waits for state 14, quits (exit 0, state 16 last) and compares the game with release `name`."""
        self.reach(u, timeout=timeout)
        self.assertEqual(u.quit(), 0)
        self.assertEqual(u.lines[-2], ENDED)
        self.assertEqual(tree_digest(u.game), self.release(name))

    def release(self, name):
        return tree_digest(os.path.join(self.www, name, "app"))
