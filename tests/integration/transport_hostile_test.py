#!/usr/bin/env python3
"""transport_hostile_test.py <build-dir> <source-dir>: once the real updater has a small release
(state 14), 2,000 loopback connections at once to its listen port: odd ones send a header no peer
sends, even ones stay silent (then send a byte, so those the full backlog left half-open show).
`stat` must answer within a second, ConnectNum stay <= 512, the thread count not grow, every garbage
sender and every connection beyond the table be shut, and "quit" still end the run."""
import contextlib, pathlib, random, re, resource, selectors, socket, time  # noqa: E401

from updater_lib import ENDED, ReleaseTest, main

CONNECTIONS, TABLE = 2000, 512
GARBAGE = b"\xff\xff\xff\xff" + bytes(range(60))  # message type -1


def threads_of(pid):
    return int(re.search(r"Threads:\s+(\d+)", pathlib.Path("/proc/%d/status" % pid).read_text())[1])


def stat(u):
    """(seconds until `stat` answered ConnectNum, ConnectNum)."""
    began = time.monotonic()
    count = int(u.ask("stat", "ConnectNum", command=""))
    return time.monotonic() - began, count


def storm(port, keep_going):
    """Runs the storm while keep_going(shut indexes); SYNs and probes the full backlog dropped come again."""
    selector, shut, probed = selectors.DefaultSelector(), set(), set()
    for i in range(CONNECTIONS):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        selector.register(s, selectors.EVENT_WRITE, i)
    try:
        while keep_going(shut):
            end = time.monotonic() + 0.5
            while time.monotonic() < end:
                for key, events in selector.select(0.05):
                    i, s = key.data, key.fileobj
                    try:
                        if events & selectors.EVENT_WRITE:
                            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                                raise OSError("connect failed")
                            if i % 2:
                                s.send(GARBAGE)
                            selector.modify(s, selectors.EVENT_READ, i)
                        elif not s.recv(4096):
                            raise OSError("end of stream")
                    except BlockingIOError:
                        pass
                    except OSError:
                        shut.add(i)
                        selector.unregister(s)
                        s.close()
            if sum(i % 2 for i in shut) == CONNECTIONS // 2:  # then probe the silent ones
                for key in list(selector.get_map().values()):
                    i = key.data
                    if i % 2 == 0 and key.events == selectors.EVENT_READ and i not in probed:
                        probed.add(i)
                        with contextlib.suppress(OSError):  # a reset shows in the next pump
                            key.fileobj.send(b"\x00")
    finally:
        for key in list(selector.get_map().values()):
            key.fileobj.close()
    return shut


class TransportHostileTest(ReleaseTest):
    def test_connection_storm(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, CONNECTIONS + 1000)), hard))
        u = self.start(self.cut("r", {"a.bin": random.Random(1).randbytes(200000)}))
        self.reach(u, timeout=60)
        threads_before = threads_of(u.proc.pid)
        seen = []  # (seconds stat took, ConnectNum, threads) after each round

        def keep_going(shut):
            seen.append(stat(u) + (threads_of(u.proc.pid),))
            garbage_shut = sum(i % 2 for i in shut) == CONNECTIONS // 2
            return not (garbage_shut and len(shut) >= CONNECTIONS - TABLE) and len(seen) <= 150

        shut = storm(int(u.ask("state", "TcpListenPort")), keep_going)
        self.assertLess(max(took for took, _, _ in seen), 1.0)
        self.assertTrue(0 < max(n for _, n, _ in seen) <= TABLE)
        self.assertLessEqual(max(t for _, _, t in seen), threads_before + 1)
        self.assertEqual(sum(i % 2 for i in shut), CONNECTIONS // 2)
        self.assertGreaterEqual(len(shut), CONNECTIONS - TABLE, "ConnectNum %d" % seen[-1][1])
        self.assertEqual(u.quit(timeout=60), 0)
        self.assertEqual(u.lines[-2], ENDED)


if __name__ == "__main__":
    main()
