#!/usr/bin/env python3
"""Shared pieces of the integration tests, the demo and the benchmarks: the real updater driven
like the launcher drives it, releases, the resume file read back, a loopback nginx mirror,
ReleaseTest (a scratch directory and a mirror per test class) and Swarm (network namespaces of our
own).  Call configure() or main() first."""
import contextlib, gzip, hashlib, itertools, os, pathlib, re, shutil, signal  # noqa: E401
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
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.1)
    return bool(predicate())


class Updater:
    """One updater process (without UPnP); `prefix` runs it through another command (`ip netns exec
    NAME`).  `lines` ends with None once the output closed."""

    def __init__(self, work, args, prefix=()):
        self.lines, self.cond, self.work = [], threading.Condition(), work
        self.proc = subprocess.Popen(list(prefix) + [tool("app", "brelvane"), "-Charset", "UTF-8", "-NotUsingUPnP"]
                                     + args, cwd=work, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
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
        for m in (re.match(r"\[Info\]ReportDownloadStat .*p2p=\d+,(\d+) http=\d+,(\d+) ", line)
                  for line in filter(None, self.lines)):
            if m:
                return int(m.group(1)), int(m.group(2))
        return None

    def log(self):
        """The run's p2p.log so far."""
        path = os.path.join(self.work, "p2p.log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def quit(self, timeout=60.0):
        with contextlib.suppress(BrokenPipeError):
            self.send("quit")
            self.proc.stdin.close()
        code = self.proc.wait(timeout=timeout)
        self.reader.join(timeout=5)
        self.proc.stdout.close()
        return code


def write_release(root, files):
    for name, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
        pathlib.Path(root, name).write_bytes(data)


def tree_digest(root):
    """The MD5 of every file under `root` by its relative path, Brelvane_Info left out."""
    paths = (os.path.relpath(os.path.join(base, f), root) for base, _, files in os.walk(root) for f in files)
    return {p: hashlib.md5(pathlib.Path(root, p).read_bytes()).hexdigest() for p in paths
            if "Brelvane_Info" not in p.split(os.sep)}


def fetched_parts(entries, prefix):
    """(file uri, part) pairs that any request of `entries` asked for."""
    return {(uri.replace("//", "/")[len(prefix):].lstrip("/"), k)
            for uri, _, sent, start, _ in entries if uri.startswith(prefix) and sent > 0
            for k in range(start // PART, (start + sent - 1) // PART + 1)}


def complete_parts(game, app=None):
    """(name, part) pairs the resume file counts as on disk (none without a resume file); with the
    release's tree `app`, each is checked to read back as the release has it."""
    info = os.path.join(game, "Brelvane_Info")
    if not os.path.exists(os.path.join(info, ".Download_Info_Data")):
        return set()
    with gzip.open(os.path.join(info, ".Seed")) as f:
        seed = {int(e.get("id")): (e.get("name"), len(list(e.iter("Part"))))
                for e in ET.fromstring(f.read()).iter("File")}
    missing = {int(fid): {int(x) for x in ids.split("|") if x.strip()} for fid, ids in re.findall(
        r"^\[(\d+)\]\s*NotCompletePartId\s*=([^\n]*)", pathlib.Path(info, ".Download_Info_Data").read_text(), re.M)}
    done = {(name, k) for fid, (name, count) in seed.items()
            for k in range(count) if k not in missing.get(fid, set())}
    for name, k in done if app else ():
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
    ts->tv_sec = base.tv_sec + ns / 1000000000LL, ts->tv_nsec = ns % 1000000000LL;
  }
  return rc;
}
"""


def fast_clock(tmp):
    """Builds the fast calendar clock into `tmp` and preloads it into every updater started later."""
    lib = os.path.join(tmp, "fast_clock.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-O2", "-o", lib, "-x", "c", "-", "-ldl", "-lpthread"],
                   input=FAST_CLOCK_SOURCE, text=True, check=True)
    os.environ["LD_PRELOAD"] = lib


class Mirror:
    """nginx serving `root` (scripts/nginx-mirror.sh, throttled to `rate`) at self.url on `ip`, run
    through `prefix` (`ip netns exec NAME`)."""

    def __init__(self, root, state, rate=None, prefix=(), ip="127.0.0.1"):
        self.state, self.script = state, os.path.join(SOURCE, "scripts", "nginx-mirror.sh")
        self.port = int(subprocess.check_output(list(prefix) + [self.script, "start", root, state] +
                                                ([rate] if rate else []), env=dict(os.environ, BRELVANE_MIRROR_IP=ip)))
        self.url = "http://%s:%d" % (ip, self.port)

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
        subprocess.call([self.script, "stop", self.state])


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
        cls.mirror = cls.serve()

    @classmethod
    def serve(cls):
        """The class's mirror of www (stopped with the class)."""
        mirror = Mirror(cls.www, os.path.join(cls.tmp, "nginx"), cls.rate)
        cls.addClassCleanup(mirror.stop)
        return mirror

    def setUp(self):
        self.case = os.path.join(self.tmp, self._testMethodName)
        self.game = os.path.join(self.case, "game")
        os.makedirs(self.case)
        self.running = []
        self.addCleanup(lambda: [u.proc.kill() for u in self.running if u.proc.poll() is None])

    def cut(self, name, files, mirrors=None, previous=None, tracker="127.0.0.1:5000"):
        """Release `name` of `files` in www/name/app (data from `mirrors`, default this mirror), its
        torrent and file list in www/name/out; the torrent's URL."""
        app = os.path.join(self.www, name, "app")
        write_release(app, files)
        previous = ["--previous", os.path.join(self.www, previous, "out", "Seed.xml.gz")] if previous else []
        subprocess.check_call([tool("tools", "brelvane-release"), "build", app, os.path.join(self.www, name, "out"),
                               "--quiet", "--tracker", tracker] + previous +
                              [a for m in mirrors or [self.mirror.url + "/%s/app" % name] for a in ("--mirror", m)],
                              stdout=subprocess.DEVNULL)
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
        self.assertEqual(tree_digest(u.game), tree_digest(os.path.join(self.www, name, "app")))


# The swarm: a hub namespace with a bridge (HUB_IP), each member namespace joined to it by a veth
# pair with its own address (10.213.0.10 upwards, as in the field); the hub runs the HTTP mirror
# (nginx, optionally rate-limited) and the main server.  Everything is named uniquely to this process
# and removed by name in close(), also after a failure.
HUB_IP = "10.213.0.1"


Skip = unittest.SkipTest  # namespaces cannot be created here; the message says why


def _run(*args, check=True):
    return subprocess.run(list(args), check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class Member:
    def __init__(self, swarm, index):
        self.index, self.ns, self.ip = index, "%s-m%d" % (swarm.name, index), "10.213.0.%d" % (10 + index)
        self.prefix = ["ip", "netns", "exec", self.ns]

    def run(self, *args, check=True):
        return _run(*(self.prefix + list(args)), check=check)

    def block_inbound_tcp(self):
        """Drops every new inbound TCP connection (outgoing ones still work)."""
        for cmd in ("add table inet bvfw", "add chain inet bvfw input { type filter hook input priority 0 ; policy "
                    "accept ; }", "add rule inet bvfw input tcp flags syn / syn,ack ct state new drop"):
            self.run("nft", cmd)


class Swarm:
    def __init__(self, name):
        self.name, self.hub, self.members, self.procs = name, name + "-hub", [], []
        self.tmp, self.mirror = tempfile.mkdtemp(prefix="brelvane-swarm-"), None

    @classmethod
    def create(cls, prefix="bvs"):
        """A swarm of no members yet; raises Skip when namespaces cannot be made here."""
        if os.geteuid() != 0 or shutil.which("ip") is None:
            raise Skip("network namespaces need root and iproute2")
        name = "%s%d" % (prefix, os.getpid() % 100000)
        added = _run("ip", "netns", "add", name + "-hub", check=False)
        if added.returncode:
            raise Skip("cannot create a network namespace: %s" % added.stderr.strip())
        net = cls(name)
        try:
            net._ip((net.hub, "link set lo up"), (net.hub, "link add br0 type bridge"),
                    (net.hub, "addr add %s/24 dev br0" % HUB_IP), (net.hub, "link set br0 up"))
        except Exception:
            net.close()
            raise
        return net

    @staticmethod
    def _ip(*steps):
        for ns, cmd in steps:
            _run("ip", "-n", ns, *cmd.split())

    def add_member(self):
        m = Member(self, len(self.members))
        self.members.append(m)
        host_end, peer_end = ("%s-%s%d" % (self.name[-6:], end, m.index) for end in "hp")  # 15 characters at most
        _run("ip", "netns", "add", m.ns)
        _run("ip", "link", "add", host_end, "netns", self.hub, "type", "veth", "peer", "name", peer_end, "netns", m.ns)
        self._ip((self.hub, "link set %s master br0" % host_end), (self.hub, "link set %s up" % host_end),
                 (m.ns, "link set lo up"), (m.ns, "addr add %s/24 dev %s" % (m.ip, peer_end)),
                 (m.ns, "link set %s up" % peer_end))
        return m

    def start_mirror(self, root, limit_rate=None):
        """nginx in the hub serving `root` (self.mirror); returns its URL."""
        self.mirror = Mirror(root, os.path.join(self.tmp, "nginx"), limit_rate, ["ip", "netns", "exec", self.hub],
                             HUB_IP)
        return self.mirror.url

    def start_main_server(self, stats_file=None):
        self.procs.append(subprocess.Popen(
            ["ip", "netns", "exec", self.hub, tool("tools", "mainserver", "brelvane-mainserver"), "--listen",
             self.tracker()] + (["--stats-file", stats_file] if stats_file else []),
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.tmp, "mainserver.err"), "a")))
        time.sleep(0.2)

    def tracker(self):
        return HUB_IP + ":5000"

    def close(self):
        for p in self.procs:
            p.terminate()
            with contextlib.suppress(subprocess.TimeoutExpired):  # killed with its namespace below
                p.wait(timeout=10)
        if self.mirror:
            self.mirror.stop()
        namespaces = [m.ns for m in self.members] + [self.hub]
        for ns in namespaces:  # anything still running inside goes with its namespace
            for pid in _run("ip", "netns", "pids", ns, check=False).stdout.split():
                if pid.isdigit() and int(pid) > 0:  # never 0: that would signal our own process group
                    with contextlib.suppress(ProcessLookupError):
                        os.kill(int(pid), signal.SIGKILL)
        for ns in namespaces:
            _run("ip", "netns", "del", ns, check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)
