#!/usr/bin/env python3
"""A small network of our own for the swarm tests, benchmarks and the demo: a hub namespace with a
bridge (HUB_IP), each member namespace joined to it by a veth pair with its own address (10.213.0.10
upwards, as in the field); the hub runs the HTTP mirror (nginx, optionally rate-limited) and the main
server.  Everything is named uniquely to this process and removed by name in close(), also after a
failure.  Swarm.create() raises Skip with the reason when namespaces cannot be made here."""
import os, shutil, signal, subprocess, tempfile, time  # noqa: E401

import updater_lib

HUB_IP = "10.213.0.1"
SERVER_PORT = 5000


class Skip(Exception):
    """Namespaces cannot be created here; the message says why."""


def _run(*args, check=True):
    return subprocess.run(list(args), check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


class Member:
    def __init__(self, swarm, index):
        self.index = index
        self.ns = "%s-m%d" % (swarm.name, index)
        self.ip = "10.213.0.%d" % (10 + index)
        self.prefix = ["ip", "netns", "exec", self.ns]

    def run(self, *args, check=True):
        return _run(*(self.prefix + list(args)), check=check)

    def block_inbound_tcp(self):
        """Drops every new inbound TCP connection (outgoing ones still work)."""
        self.run("nft", "add table inet bvfw")
        self.run("nft", "add chain inet bvfw input { type filter hook input priority 0 ; policy accept ; }")
        self.run("nft", "add rule inet bvfw input tcp flags syn / syn,ack ct state new drop")


class Swarm:
    def __init__(self, name):
        self.name, self.hub, self.members, self.procs = name, name + "-hub", [], []
        self.tmp, self.mirror = tempfile.mkdtemp(prefix="brelvane-swarm-"), None

    @classmethod
    def create(cls, prefix="bvs"):
        if os.geteuid() != 0 or shutil.which("ip") is None:
            raise Skip("network namespaces need root and iproute2")
        net = cls("%s%d" % (prefix, os.getpid() % 100000))
        try:
            _run("ip", "netns", "add", net.hub)
        except subprocess.CalledProcessError as e:
            shutil.rmtree(net.tmp, ignore_errors=True)
            raise Skip("cannot create a network namespace: %s" % e.stderr.strip())
        try:
            for cmd in ("link set lo up", "link add br0 type bridge", "addr add %s/24 dev br0" % HUB_IP,
                        "link set br0 up"):
                net._hub_run("ip", *cmd.split())
        except Exception:
            net.close()
            raise
        return net

    def _hub_run(self, *args, check=True):
        return _run("ip", "netns", "exec", self.hub, *args, check=check)

    def add_member(self):
        m = Member(self, len(self.members))
        self.members.append(m)
        host_end, peer_end = ("%s-%s%d" % (self.name[-6:], end, m.index) for end in "hp")  # 15 characters at most
        _run("ip", "netns", "add", m.ns)
        _run("ip", "link", "add", host_end, "netns", self.hub, "type", "veth", "peer", "name", peer_end, "netns", m.ns)
        self._hub_run("ip", "link", "set", host_end, "master", "br0")
        self._hub_run("ip", "link", "set", host_end, "up")
        m.run("ip", "link", "set", "lo", "up")
        m.run("ip", "addr", "add", m.ip + "/24", "dev", peer_end)
        m.run("ip", "link", "set", peer_end, "up")
        return m

    def start_mirror(self, root, limit_rate=None):
        """nginx in the hub serving `root` (self.mirror); returns its URL."""
        self.mirror = updater_lib.Mirror(root, os.path.join(self.tmp, "nginx"), limit_rate,
                                         ["ip", "netns", "exec", self.hub], HUB_IP)
        return self.mirror.url

    def start_main_server(self, stats_file=None, extra=()):
        cmd = ["ip", "netns", "exec", self.hub, updater_lib.tool("tools", "mainserver", "brelvane-mainserver"),
               "--listen", self.tracker()] + (["--stats-file", stats_file] if stats_file else [])
        self.procs.append(subprocess.Popen(cmd + list(extra), stdout=subprocess.DEVNULL,
                                           stderr=open(os.path.join(self.tmp, "mainserver.err"), "a")))
        time.sleep(0.2)
        return self.procs[-1]

    def tracker(self):
        return "%s:%d" % (HUB_IP, SERVER_PORT)

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if self.mirror:
            self.mirror.stop()
        namespaces = [m.ns for m in self.members] + [self.hub]
        for ns in namespaces:  # anything still running inside goes with its namespace
            for pid in _run("ip", "netns", "pids", ns, check=False).stdout.split():
                try:
                    if int(pid) > 0:  # never 0: that would signal our own process group
                        os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
        for ns in namespaces:
            _run("ip", "netns", "del", ns, check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)
