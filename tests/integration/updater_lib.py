#!/usr/bin/env python3
"""Shared pieces of the integration tests that run the real updater: the
updater driven like the launcher drives it, release trees and their digests,
the resume file and stored seed read back, and a loopback nginx mirror.

Call configure(build_dir, source_dir) once before using anything here.
"""
import gzip
import hashlib
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
    """A path inside the build directory."""
    return os.path.join(BUILD, *parts)


class Updater:
    """One updater process driven like the launcher drives it.  `prefix` runs
    it through another command (for example `ip netns exec NAME`); `upnp`
    False adds -NotUsingUPnP."""

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
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(raw.decode("utf-8", errors="replace").rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.lines.append(None)  # end of output
            self.cond.notify_all()

    def wait_line(self, wanted, timeout=60.0, start=0):
        """Index of the first line == wanted at or after `start`, or None."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for i in range(start, len(self.lines)):
                    if self.lines[i] == wanted:
                        return i
                    if self.lines[i] is None:
                        return None
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def send(self, *words):
        self.proc.stdin.write(("\n".join(words) + "\n").encode())
        self.proc.stdin.flush()

    def ask(self, word, name, timeout=10.0):
        """Sends `get <word>` and returns the value of the next `name=` answer."""
        with self.cond:
            start = len(self.lines)
        self.send("get " + word)
        deadline = time.monotonic() + timeout
        prefix = "[Interactive]%s=" % name
        with self.cond:
            while time.monotonic() < deadline:
                for line in self.lines[start:]:
                    if line is not None and line.startswith(prefix):
                        return line[len(prefix):]
                self.cond.wait(0.2)
        raise AssertionError("no answer %s to get %s" % (name, word))

    def report_bytes(self):
        """(bytes from peers, bytes over HTTP) of the run's statistics line, or
        None before the line was printed."""
        for line in self.lines:
            if line and line.startswith("[Info]ReportDownloadStat "):
                m = re.search(r"p2p=\d+,(\d+) http=\d+,(\d+) ", line)
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


def random_bytes(rng, size):
    return bytes(rng.getrandbits(8) for _ in range(min(size, 4096))) * (size // 4096) + \
        bytes(rng.getrandbits(8) for _ in range(size % 4096))


def tree_digest(root):
    out = {}
    for base, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if d != "Brelvane_Info"]
        for f in files:
            p = os.path.join(base, f)
            with open(p, "rb") as fh:
                out[os.path.relpath(p, root)] = hashlib.md5(fh.read()).hexdigest()
    return out


def fetched_parts(entries, prefix):
    """(file uri, part) pairs that any request of `entries` asked for."""
    parts = set()
    for uri, _, sent, start in entries:
        if uri.startswith(prefix) and sent > 0:
            first = start // PART
            last = (start + sent - 1) // PART
            for k in range(first, last + 1):
                parts.add((uri.replace("//", "/")[len(prefix):].lstrip("/"), k))
    return parts


def seed_files(game):
    """file id -> (name, part count) from the stored seed."""
    with gzip.open(os.path.join(game, "Brelvane_Info", ".Seed")) as f:
        root = ET.fromstring(f.read())
    out = {}
    for e in root.iter("File"):
        out[int(e.get("id"))] = (e.get("name"), len(list(e.iter("Part"))))
    return out


def complete_parts(game):
    """(name, part) pairs the resume file counts as on disk."""
    missing = {}
    section = None
    with open(os.path.join(game, "Brelvane_Info", ".Download_Info_Data")) as f:
        for line in f:
            line = line.strip()
            if line.startswith("[") and line.endswith("]"):
                section = line[1:-1]
            elif section and section.isdigit() and line.startswith("NotCompletePartId"):
                ids = line.split("=", 1)[1].strip()
                missing[int(section)] = {int(x) for x in ids.split("|") if x}
    done = set()
    for fid, (name, count) in seed_files(game).items():
        for k in range(count):
            if k not in missing.get(fid, set()):
                done.add((name, k))
    return done


class Mirror:
    def __init__(self, root, state):
        self.state = state
        port = subprocess.check_output(
            [os.path.join(SOURCE, "scripts", "nginx-mirror.sh"), "start", root, state], text=True)
        self.url = "http://127.0.0.1:%s" % port.strip()

    def log(self):
        """(uri, status, bytes, range start) of every request so far."""
        out = []
        with open(os.path.join(self.state, "access.log")) as f:
            for line in f:
                m = re.match(r'(\S+) (\d+) (\d+) "(?:bytes=(\d+)-\d*)?"', line)
                if m:
                    out.append((m.group(1), int(m.group(2)), int(m.group(3)), int(m.group(4) or 0)))
        return out

    def clear_log(self):
        open(os.path.join(self.state, "access.log"), "w").close()

    def served(self, prefix=""):
        return sum(b for uri, _, b, _ in self.log() if uri.startswith(prefix))

    def stop(self):
        subprocess.call([os.path.join(SOURCE, "scripts", "nginx-mirror.sh"), "stop", self.state])
