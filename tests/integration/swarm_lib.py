#!/usr/bin/env python3
"""A small network of our own for swarm tests, benchmarks and the demo: a hub namespace with a
bridge, each member namespace joined to it by a veth pair (its own address, as in the field); the
hub runs the HTTP mirror (nginx, optionally rate-limited) and the main server.  Everything is
named uniquely to this process and removed by name in close(), also after a failure.

    net = Swarm.create(prefix="bvs")      # raises Skip with the reason when namespaces
    peer = net.add_member()               # cannot be made here
    net.start_mirror(www_root, limit_rate="200k"); net.start_main_server(stats_file)
    ...
    net.close()

The hub is 10.213.0.1, members 10.213.0.10 upwards; they exist only inside these namespaces."""
import os
import shutil
import signal
import subprocess
import tempfile
import time

import updater_lib

HUB_IP = "10.213.0.1"
MIRROR_PORT = 8080
SERVER_PORT = 5000
SKIP_EXIT = 77  # a test that could not run here: ctest reports it as skipped


class Skip(Exception):
    """Namespaces cannot be created here; the message says why."""


def skip_reason():
    """Why swarms cannot run here, or None when they can."""
    try:
        Swarm.create(prefix="bvp").close()
    except Skip as e:
        return str(e)
    return None


def _run(*args, check=True):
    return subprocess.run(list(args), check=check, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)


class Member:
    def __init__(self, swarm, index):
        self.swarm = swarm
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
        self.name = name
        self.hub = name + "-hub"
        self.members = []
        self.procs = []
        self.tmp = tempfile.mkdtemp(prefix="brelvane-swarm-")
        self.nginx_state = None

    @classmethod
    def create(cls, prefix="bvs"):
        if os.geteuid() != 0:
            raise Skip("network namespaces need root")
        if shutil.which("ip") is None:
            raise Skip("the ip command (iproute2) is missing")
        net = cls("%s%d" % (prefix, os.getpid() % 100000))
        try:
            _run("ip", "netns", "add", net.hub)
        except subprocess.CalledProcessError as e:
            shutil.rmtree(net.tmp, ignore_errors=True)
            raise Skip("cannot create a network namespace: %s" % e.stderr.strip())
        try:
            net._hub_run("ip", "link", "set", "lo", "up")
            net._hub_run("ip", "link", "add", "br0", "type", "bridge")
            net._hub_run("ip", "addr", "add", HUB_IP + "/24", "dev", "br0")
            net._hub_run("ip", "link", "set", "br0", "up")
        except Exception:
            net.close()
            raise
        return net

    def _hub_run(self, *args, check=True):
        return _run("ip", "netns", "exec", self.hub, *args, check=check)

    def hub_prefix(self):
        return ["ip", "netns", "exec", self.hub]

    def add_member(self):
        m = Member(self, len(self.members))
        self.members.append(m)
        host_end = "%s-h%d" % (self.name[-6:], m.index)   # interface names: 15 characters at most
        peer_end = "%s-p%d" % (self.name[-6:], m.index)
        _run("ip", "netns", "add", m.ns)
        _run("ip", "link", "add", host_end, "netns", self.hub, "type", "veth", "peer", "name",
             peer_end, "netns", m.ns)
        self._hub_run("ip", "link", "set", host_end, "master", "br0")
        self._hub_run("ip", "link", "set", host_end, "up")
        m.run("ip", "link", "set", "lo", "up")
        m.run("ip", "addr", "add", m.ip + "/24", "dev", peer_end)
        m.run("ip", "link", "set", peer_end, "up")
        return m

    def start_mirror(self, root, limit_rate=None):
        """nginx in the hub serving `root` at http://HUB_IP:MIRROR_PORT/."""
        state = os.path.join(self.tmp, "nginx")
        os.makedirs(os.path.join(state, "tmp"), exist_ok=True)
        limit = "limit_rate %s;" % limit_rate if limit_rate else ""
        with open(os.path.join(state, "nginx.conf"), "w") as f:
            f.write("""user root; worker_processes 1; daemon on; pid %(s)s/nginx.pid;
error_log %(s)s/error.log warn;
events { worker_connections 1024; }
http {
  log_format brelvane '$request_uri $status $body_bytes_sent "$http_range" $remote_addr';
  access_log %(s)s/access.log brelvane;
  client_body_temp_path %(s)s/tmp/body; proxy_temp_path %(s)s/tmp/proxy; fastcgi_temp_path %(s)s/tmp/fastcgi;
  uwsgi_temp_path %(s)s/tmp/uwsgi; scgi_temp_path %(s)s/tmp/scgi;
  sendfile on; keepalive_requests 100000; default_type application/octet-stream;
  server { listen %(ip)s:%(port)d; root %(root)s; location / { %(limit)s } }
}
""" % {"s": state, "ip": HUB_IP, "port": MIRROR_PORT, "root": os.path.abspath(root), "limit": limit})
        nginx = shutil.which("nginx") or "/usr/sbin/nginx"
        self._hub_run(nginx, "-p", state, "-c", os.path.join(state, "nginx.conf"))
        self.nginx_state = state
        self._wait_tcp(HUB_IP, MIRROR_PORT)
        return "http://%s:%d" % (HUB_IP, MIRROR_PORT)

    def mirror_log(self):
        """(uri, status, bytes, client address) of every request so far."""
        path = os.path.join(self.nginx_state, "access.log")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [(p[0], int(p[1]), int(p[2]), p[-1]) for p in map(str.split, f) if len(p) >= 5]

    def start_main_server(self, stats_file=None, extra=()):
        cmd = self.hub_prefix() + [updater_lib.tool("tools", "mainserver", "brelvane-mainserver"),
                                   "--listen", "%s:%d" % (HUB_IP, SERVER_PORT)]
        if stats_file:
            cmd += ["--stats-file", stats_file]
        proc = subprocess.Popen(cmd + list(extra), stdout=subprocess.DEVNULL,
                                stderr=open(os.path.join(self.tmp, "mainserver.err"), "a"))
        self.procs.append(proc)
        time.sleep(0.2)
        return proc

    def tracker(self):
        return "%s:%d" % (HUB_IP, SERVER_PORT)

    def _wait_tcp(self, ip, port, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            probe = self._hub_run("python3", "-c",
                                  "import socket; socket.create_connection(('%s', %d), 0.3)" % (ip, port),
                                  check=False)
            if probe.returncode == 0:
                return
            time.sleep(0.05)
        raise RuntimeError("nothing answers on %s:%d" % (ip, port))

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
        pid_file = self.nginx_state and os.path.join(self.nginx_state, "nginx.pid")
        pids = [(open(pid_file).read().strip(), signal.SIGQUIT)] if pid_file and os.path.exists(pid_file) else []
        # Anything still running inside goes with its namespace.
        for ns in [m.ns for m in self.members] + [self.hub]:
            pids += [(pid, signal.SIGKILL) for pid in _run("ip", "netns", "pids", ns, check=False).stdout.split()]
        for pid, sig in pids:
            try:
                if int(pid) > 0:  # never 0: that would signal our own process group
                    os.kill(int(pid), sig)
            except (ProcessLookupError, ValueError):
                pass
        for ns in [m.ns for m in self.members] + [self.hub]:
            _run("ip", "netns", "del", ns, check=False)
        shutil.rmtree(self.tmp, ignore_errors=True)
