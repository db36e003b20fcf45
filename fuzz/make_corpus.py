#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Writes the binary seeds of the peer-protocol fuzz targets (wire, server_session, block_exchange)
# into fuzz/corpus/<target>/: small well-formed messages in each target's input layout.  The other
# seeds are committed as they are (documents, HTTP answers, URLs, names, and inputs campaigns found).
#   fuzz/make_corpus.py
import os, struct  # noqa: E401

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    os.makedirs(os.path.join(HERE, "corpus", target), exist_ok=True)
    open(os.path.join(HERE, "corpus", target, name), "wb").write(data)


def header(typ, length, user=1):
    return struct.pack("<iIiII", typ, 0, user, 0, length)  # type, index, user, token, length


def msg(typ, body, user=1):
    return header(typ, len(body), user) + body


def part(file_id, part_id, start, length):
    return struct.pack("<IIII", file_id, part_id, start, length)


def report(typ, entries, user=1):
    return msg(typ, (struct.pack("<i", len(entries)) + b"".join(part(*e) for e in entries)).ljust(516, b"\0"), user)


def record(uid, ip, udp, tcp):
    return struct.pack("<iIHHIHH", uid, ip, udp, 0, ip, tcp, 0)


def data_message(file_id, part_id, start, payload, user=2):
    return header(603, 16 + len(payload), user) + part(file_id, part_id, start, len(payload)) + payload


def framed(messages, peer=None):
    """Each message behind its two-byte length (and, with `peer`, its connection byte)."""
    return b"".join((bytes([peer[i]]) if peer else b"") + struct.pack("<H", len(m)) + m
                    for i, m in enumerate(messages))


hello = msg(700, struct.pack("<I", 1))
request = msg(600, part(1, 0, 0, 4096), user=3)
respond = msg(601, struct.pack("<I", 0) + part(1, 2, 8192, 4096), user=2)
peer_list = msg(103, struct.pack("<i", 2) + record(5, 0x0A000002, 4000, 12000) +
                record(6, 0, 4000, 0) + bytes(20 * 14))
login_ack = msg(101, struct.pack("<iiI", 0, 9, 0x5EED))
connect = msg(502, record(9, 0x0A000005, 4000, 12000) + record(5, 0x0A000002, 4001, 12001))

# wire: read-size byte, then a stream
put("wire", "hello_request", b"\x01" + hello + request)
put("wire", "data_split", b"\x03" + data_message(1, 2, 8192, bytes(range(256)) * 40))
put("wire", "report", b"\xff" + report(604, [(1, 0, 0, 4096), (1, 1, 4096, 4096)]))
put("wire", "server_lists", b"\x10" + peer_list + login_ack + connect)
put("wire", "login_to_server", b"\x00" + msg(100, struct.pack("<HHII", 12000, 4000, 0x0A000005, 4000) + bytes(16)))

# server_session: length-framed datagrams
put("server_session", "login_then_peers", framed([login_ack, peer_list]))
put("server_session", "connect_relogin", framed([connect, header(300, 0)]))
put("server_session", "cut_ack", framed([login_ack[:24]]))

# block_exchange: A's state and part, then (connection, length, message)
put("block_exchange", "hello_request", b"\x00" + framed([hello, request], peer=[2, 1]))
put("block_exchange", "respond_data", b"\x01" + framed([respond, data_message(1, 2, 8192, bytes(4096))], peer=[0, 0]))
put("block_exchange", "data_in_pieces", b"\x02" + framed(
    [data_message(1, 2, 8192, bytes(2048))[:36 + 1024],
     header(603, 16 + 1024, 2) + part(1, 2, 8192 + 1024, 4096) + bytes(1024)], peer=[0, 0]))
put("block_exchange", "reports", b"\x03" + framed(
    [report(605, [(1, 2, 8192, 4096)], user=3), report(604, [(1, 3, 12288, 4096)], user=2),
     msg(602, part(1, 0, 0, 4096), user=3), header(109, 0)], peer=[1, 0, 1, 0]))
