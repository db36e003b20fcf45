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
counter = [0]


def header(msg_type, length, user_id, token):
    counter[0] += 1
    return HEADER.pack(msg_type, counter[0], user_id, token, length)


def login(udp, server, listen, seed_hash):
    udp_port = udp.getsockname()[1]
    ip = struct.unpack(">I", socket.inet_aton(listen[0]))[0]
    body = struct.pack("<HHII", listen[1], udp_port, ip, udp_port)
    udp.sendto(header(100, 28, -1, 0) + body + seed_hash, server)
    udp.settimeout(2.0)
    while True:
        data, _ = udp.recvfrom(512)
        if len(data) == 32 and struct.unpack_from("<i", data)[0] == 101:
            code, user_id, token = struct.unpack_from("<iiI", data, 20)
            if code == 0:
                return user_id, token


def keep_alive(udp, server, user_id, token):
    while True:
        time.sleep(5)
        udp.sendto(header(105, 0, user_id, token), server)
        udp.sendto(header(108, 4, user_id, token) + bytes([100, 0, 0, 0]), server)


def serve(conn, user_id, token):
    buf = b""
    try:
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                return
            buf += chunk
            while len(buf) >= 20 and len(buf) >= 20 + HEADER.unpack_from(buf)[4]:
                msg_type, length = HEADER.unpack_from(buf)[0], HEADER.unpack_from(buf)[4]
                msg, buf = buf[:20 + length], buf[20 + length:]
                if msg_type == 600:    # request: always accepted
                    conn.sendall(header(601, 20, user_id, token) + struct.pack("<I", 0) + msg[20:36])
                elif msg_type == 602:  # start: the right length, the wrong bytes
                    part_length = struct.unpack_from("<I", msg, 32)[0]
                    conn.sendall(header(603, part_length + 16, user_id, token) + msg[20:36] +
                                 b"\xA5" * part_length)
    except OSError:
        return
    finally:
        conn.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("--server", "--torrent", "--listen"):
        ap.add_argument(name, required=True)
    a = ap.parse_args()
    server = (a.server.split(":")[0], int(a.server.split(":")[1]))
    listen = (a.listen.split(":")[0], int(a.listen.split(":")[1]))
    with open(a.torrent, "rb") as f:
        seed_hash = hashlib.md5(f.read()).digest()
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((listen[0], 0))
    user_id, token = login(udp, server, listen, seed_hash)
    threading.Thread(target=keep_alive, args=(udp, server, user_id, token), daemon=True).start()
    tcp = socket.socket()
    tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    tcp.bind(listen)
    tcp.listen(16)
    print("logged in as %d" % user_id, flush=True)
    while True:
        conn, _ = tcp.accept()
        threading.Thread(target=serve, args=(conn, user_id, token), daemon=True).start()


if __name__ == "__main__":
    main()
