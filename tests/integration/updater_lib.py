#!/usr/bin/env python3
"""Shared pieces of the integration tests that run the real updater: the updater driven like the
launcher drives it, releases and their digests, the resume file and stored seed read back, and a
loopback nginx mirror.  Call configure(build_dir, source_dir) first."""
import gzip
import hashlib
import itertools
import os
import re
import subprocess
import threading
import time
import xml.etree.ElementTree as ET

BUILD = SOURCE = None
PART = 65536


def configure(build, source):
    global BUILD, SOURCE
    BUILD, SOURCE = os.path.abspath(build), os.path.abspath(source)


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
        self.lines = []
        self.cond = threading.Condition()
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
        """The first line at or after `start` that `match` accepts (and its index), or None."""
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
        """Index of the first line == wanted at or after `start`, or None."""
        return self._wait(lambda line: line == wanted, timeout, start)

    def send(self, *words):
        self.proc.stdin.write(("\n".join(words) + "\n").encode())
        self.proc.stdin.flush()

    def ask(self, word, name, timeout=10.0):
        """Sends `get <word>` and returns the value of the next `name=` answer."""
        prefix = "[Interactive]%s=" % name
        with self.cond:
            start = len(self.lines)
        self.send("get " + word)
        i = self._wait(lambda line: line.startswith(prefix), timeout, start)
        if i is None:
            raise AssertionError("no answer %s to get %s" % (name, word))
        return self.lines[i][len(prefix):]

    def report_bytes(self):
        """(bytes from peers, bytes over HTTP) of the statistics line, or None before it."""
        for line in filter(None, self.lines):
            m = re.match(r"\[Info\]ReportDownloadStat .*p2p=\d+,(\d+) http=\d+,(\d+) ", line)
            if m:
                return int(m.group(1)), int(m.group(2))
        return None

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
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
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
            for uri, _, sent, start in entries if uri.startswith(prefix) and sent > 0
            for k in range(start // PART, (start + sent - 1) // PART + 1)}


def seed_files(game):
    """file id -> (name, part count) from the stored seed."""
    with gzip.open(os.path.join(game, "Brelvane_Info", ".Seed")) as f:
        root = ET.fromstring(f.read())
    return {int(e.get("id")): (e.get("name"), len(list(e.iter("Part")))) for e in root.iter("File")}


def complete_parts(game):
    """(name, part) pairs the resume file counts as on disk."""
    missing, section = {}, None
    with open(os.path.join(game, "Brelvane_Info", ".Download_Info_Data")) as f:
        for line in map(str.strip, f):
            if line.startswith("[") and line.endswith("]"):
                section = line[1:-1]
            elif section and section.isdigit() and line.startswith("NotCompletePartId"):
                missing[int(section)] = {int(x) for x in line.split("=", 1)[1].strip().split("|") if x}
    return {(name, k) for fid, (name, count) in seed_files(game).items()
            for k in range(count) if k not in missing.get(fid, set())}


class Mirror:
    """nginx on loopback serving `root` (scripts/nginx-mirror.sh) at self.url."""

    def __init__(self, root, state):
        self.state = state
        port = subprocess.check_output(
            [os.path.join(SOURCE, "scripts", "nginx-mirror.sh"), "start", root, state], text=True)
        self.url = "http://127.0.0.1:%s" % port.strip()

    def log(self):
        """(uri, status, bytes, range start) of every request so far."""
        with open(os.path.join(self.state, "access.log")) as f:
            return [(m[1], int(m[2]), int(m[3]), int(m[4] or 0)) for m in
                    (re.match(r'(\S+) (\d+) (\d+) "(?:bytes=(\d+)-\d*)?"', line) for line in f) if m]

    def clear_log(self):
        open(os.path.join(self.state, "access.log"), "w").close()

    def served(self, prefix=""):
        return sum(b for uri, _, b, _ in self.log() if uri.startswith(prefix))

    def stop(self):
        subprocess.call([os.path.join(SOURCE, "scripts", "nginx-mirror.sh"), "stop", self.state])
