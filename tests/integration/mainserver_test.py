#!/usr/bin/env python3
"""mainserver_test.py <build-dir> <source-dir>: a real updater against the real main server on
loopback, through a relay of our own that records every datagram's type: the login and its
acknowledgement, progress reports up to 100, exactly one statistics report per run (decoded in the
server's statistics file with the bytes the run received), a forced re-login after the server
restarted mid-run (exit status 0 on SIGTERM; a new id), and the logout at "quit"."""
import json, os, random, socket, struct, subprocess, threading  # noqa: E401

from updater_lib import PART, ReleaseTest, main, tool, wait_for


class Relay:
    """Forwards datagrams between one client and the server, recording (direction, type, body)."""

    def __init__(self, server_port):
        self.server, self.client, self.seen = ("127.0.0.1", server_port), None, []
        self.front, self.back = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(2))
        for sock, direction in ((self.front, "up"), (self.back, "down")):
            sock.bind(("127.0.0.1", 0))
            threading.Thread(target=self._pump, args=(sock, direction), daemon=True).start()
        self.port = self.front.getsockname()[1]

    def _pump(self, sock, direction):
        while True:
            data, sender = sock.recvfrom(2048)
            if len(data) >= 20:
                self.seen.append((direction, struct.unpack_from("<i", data)[0], data[20:]))
            if direction == "up":
                self.client = sender
                self.back.sendto(data, self.server)
            elif self.client:
                self.front.sendto(data, self.client)

    def sent(self, direction, wanted):
        """The bodies of the datagrams of type `wanted` that went `direction`."""
        return [body for d, t, body in list(self.seen) if d == direction and t == wanted]


class MainServerTest(ReleaseTest):
    def start_server(self):
        self.server = subprocess.Popen([tool("tools", "mainserver", "brelvane-mainserver"), "--listen",
                                        "127.0.0.1:%d" % self.server_port, "--stats-file", self.stats])
        self.addCleanup(lambda s=self.server: s.poll() is None and (s.terminate(), s.wait(timeout=10)))

    def test_login_progress_statistics_relogin_after_a_server_restart_and_logout(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind(("127.0.0.1", 0))
            self.server_port = probe.getsockname()[1]
        self.stats = os.path.join(self.case, "stats.jsonl")
        self.start_server()
        relay = Relay(self.server_port)
        url = self.cut("r", {"a.bin": random.Random(21).randbytes(40 * PART)},
                       tracker="127.0.0.1:%d" % relay.port)
        u = self.start(url, "-DownloadLimit", "400", "-HttpThread", "3")
        self.reach(u, "[Info]登陆服务器 127.0.0.1:%d 成功" % relay.port, 30)
        first_id = int(u.ask("uid", "UserId"))
        self.assertGreaterEqual(first_id, 0)
        self.assertEqual([struct.unpack_from("<ii", b) for b in relay.sent("down", 101)], [(0, first_id)])
        # Progress goes up in steps and reaches 100 exactly once.
        self.reach(u, timeout=60)
        self.assertTrue(wait_for(lambda: [b[0] for b in relay.sent("up", 108)].count(100) == 1, 10))
        sent = [b[0] for b in relay.sent("up", 108)]
        self.assertEqual(sent, sorted(sent))
        # The statistics report went out at completion and reached the file.
        self.assertTrue(wait_for(lambda: os.path.exists(self.stats) and open(self.stats).read(), 5))
        # The server restarts and forgets everyone: the next keep-alive is answered with a
        # re-login, and the updater logs in again.
        self.server.terminate()
        self.assertEqual(self.server.wait(timeout=10), 0)
        self.start_server()
        self.reach(u, "[Warning]与服务器连接超时，正在重新登陆服务器", 40)
        self.assertTrue(wait_for(lambda: int(u.ask("uid", "UserId")) >= 0, 20))
        self.assertNotEqual(int(u.ask("uid", "UserId")), first_id)
        self.assertEqual(u.quit(), 0)
        self.assertTrue(wait_for(lambda: relay.sent("up", 104), 5))
        self.assertEqual(len(relay.sent("up", 110)), 1)  # one report per run: the quit sent nothing more
        with open(self.stats) as f:
            [report] = [json.loads(line) for line in f]
        self.assertEqual((report["begin_state_name"], report["end_state_name"], report["p2p_bytes"],
                          report["http_threads"], report["source"], report["user_id"], report["http_sources"]),
                         ("Begin", "Finish", 0, 3, "127.0.0.1:%d" % relay.back.getsockname()[1], first_id,
                          ["127.0.0.1"]))
        # Every part came over HTTP (some twice in the endgame); no more than the mirror sent (the
        # updater counts response heads too; nginx logs a cut request when it notices the close).
        self.assertGreaterEqual(report["http_bytes"], 40 * PART)
        self.assertTrue(wait_for(lambda: self.mirror.served() + 512 * len(self.mirror.log()) >= report["http_bytes"],
                                 5), (report["http_bytes"], self.mirror.served()))
        console = [line for line in u.lines if line and line.startswith("[Info]ReportDownloadStat ")]
        self.assertEqual(len(console), 1)
        self.assertIn("http=0,%d " % report["http_bytes"], console[0])


if __name__ == "__main__":
    main()
