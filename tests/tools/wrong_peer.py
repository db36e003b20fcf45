#!/usr/bin/env python3
"""A peer of our own that serves wrong bytes, for the swarm tests.

    wrong_peer.py --server IP:PORT --torrent FILE --listen IP:PORT

It logs in to the main server with the release's digest (the MD5 of the
torrent document), so updaters find it in their peer lists, keeps the login
alive, and on every connection accepts every request (PPMessageRespond status
0) and answers the start with a data message of the right length whose bytes
are all wrong.  It never reads from disk and holds nothing real.
"""
import argparse
import hashlib
import socket
import struct
import threading
import time

HEADER = struct.Struct("<iIiII")


def header(msg_type, length, user_id, token, index=[0]):
    index[0] += 1
    return HEADER.pack(msg_type, index[0], user_id, token, length)


def ip_number(text):
    return struct.unpack(">I", socket.inet_aton(text))[0]


class WrongPeer:
    def __init__(self, server, torrent, listen):
        self.server = server
        self.seed_hash = hashlib.md5(open(torrent, "rb").read()).digest()
        self.listen = listen
        self.user_id, self.token = -1, 0
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind((listen[0], 0))
        self.served = 0

    def login(self):
        udp_port = self.udp.getsockname()[1]
        body = struct.pack("<HHII", self.listen[1], udp_port, ip_number(self.listen[0]), udp_port)
        self.udp.sendto(header(100, 28, -1, 0) + body + self.seed_hash, self.server)
        self.udp.settimeout(2.0)
        while True:
            data, _ = self.udp.recvfrom(512)
            if len(data) == 32 and struct.unpack_from("<i", data)[0] == 101:
                code, self.user_id, self.token = struct.unpack_from("<iiI", data, 20)
                if code == 0:
                    return

    def keep_alive(self):
        while True:
            time.sleep(5)
            self.udp.sendto(header(105, 0, self.user_id, self.token), self.server)
            self.udp.sendto(header(108, 4, self.user_id, self.token) + bytes([100, 0, 0, 0]),
                            self.server)

    def serve(self, conn):
        buf = b""
        try:
            while True:
                chunk = conn.recv(65536)
                if not chunk:
                    return
                buf += chunk
                while len(buf) >= 20:
                    msg_type, _, _, _, length = HEADER.unpack_from(buf)
                    if len(buf) < 20 + length:
                        break
                    msg, buf = buf[:20 + length], buf[20 + length:]
                    if msg_type == 600:    # request: always accepted
                        conn.sendall(header(601, 20, self.user_id, self.token) +
                                     struct.pack("<I", 0) + msg[20:36])
                    elif msg_type == 602:  # start: the right length, the wrong bytes
                        fid, pid, start, plen = struct.unpack_from("<IIII", msg, 20)
                        conn.sendall(header(603, plen + 16, self.user_id, self.token) +
                                     msg[20:36] + b"\xA5" * plen)
                        self.served += 1
        except OSError:
            return
        finally:
            conn.close()

    def run(self):
        self.login()
        threading.Thread(target=self.keep_alive, daemon=True).start()
        tcp = socket.socket()
        tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        tcp.bind(self.listen)
        tcp.listen(16)
        print("logged in as %d" % self.user_id, flush=True)
        while True:
            conn, _ = tcp.accept()
            threading.Thread(target=self.serve, args=(conn,), daemon=True).start()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--server", required=True)
    ap.add_argument("--torrent", required=True)
    ap.add_argument("--listen", required=True)
    a = ap.parse_args()
    host, port = a.server.split(":")
    lhost, lport = a.listen.split(":")
    WrongPeer((host, int(port)), a.torrent, (lhost, int(lport))).run()


if __name__ == "__main__":
    main()
