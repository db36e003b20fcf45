#!/usr/bin/env python3
"""A peer of our own that serves wrong bytes, for the swarm tests.

    wrong_peer.py --server IP:PORT --torrent FILE --listen IP:PORT

It logs in to the main server with the release's digest (the MD5 of the torrent document), so
updaters find it in their peer lists, keeps the login alive, accepts every request (status 0) and
answers the start with a data message of the right length whose bytes are all wrong."""
import argparse, contextlib, hashlib, itertools, socket, struct, threading, time  # noqa: E401

HEADER = struct.Struct("<iIiII")
counter = itertools.count(1)


def header(msg_type, length, user_id, token):
    return HEADER.pack(msg_type, next(counter), user_id, token, length)


def login(udp, server, listen, seed_hash):
    """Logs in until accepted: (user id, token)."""
    ip = struct.unpack(">I", socket.inet_aton(listen[0]))[0]
    udp.sendto(header(100, 28, -1, 0) + struct.pack("<HHII", listen[1], udp.getsockname()[1], ip,
                                                    udp.getsockname()[1]) + seed_hash, server)
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
    with conn, contextlib.suppress(OSError):
        while chunk := conn.recv(65536):
            buf += chunk
            while len(buf) >= 20 and len(buf) >= 20 + HEADER.unpack_from(buf)[4]:
                msg_type, length = HEADER.unpack_from(buf)[0::4]
                msg, buf = buf[:20 + length], buf[20 + length:]
                if msg_type == 600:  # request: always accepted
                    conn.sendall(header(601, 20, user_id, token) + struct.pack("<I", 0) + msg[20:36])
                elif msg_type == 602:  # start: the right length, the wrong bytes
                    part_length = struct.unpack_from("<I", msg, 32)[0]
                    conn.sendall(header(603, part_length + 16, user_id, token) + msg[20:36] + b"\xA5" * part_length)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    address = lambda v: (v.split(":")[0], int(v.split(":")[1]))  # noqa: E731
    for name, kind in (("--server", address), ("--torrent", str), ("--listen", address)):
        ap.add_argument(name, required=True, type=kind)
    a = ap.parse_args()
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind((a.listen[0], 0))
    user_id, token = login(udp, a.server, a.listen, hashlib.md5(open(a.torrent, "rb").read()).digest())
    threading.Thread(target=keep_alive, args=(udp, a.server, user_id, token), daemon=True).start()
    tcp = socket.create_server(a.listen, backlog=16)  # SO_REUSEADDR
    print("logged in as %d" % user_id, flush=True)
    while True:
        threading.Thread(target=serve, args=(tcp.accept()[0], user_id, token), daemon=True).start()


if __name__ == "__main__":
    main()
