#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/:
# a handful of small, well-formed inputs (and a few near misses) in each
# target's input layout.  Files found by a campaign (regressions) are kept.
#   fuzz/make_corpus.py
import gzip
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "catalogue", "data")


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def header(typ, length, user=1, index=0, token=0):
    return struct.pack("<iIiII", typ, index, user, token, length)


def msg(typ, body, user=1):
    return header(typ, len(body), user) + body


def part(file_id, part_id, start, length):
    return struct.pack("<IIII", file_id, part_id, start, length)


def report(typ, entries, user=1):
    body = struct.pack("<i", len(entries)) + b"".join(part(*e) for e in entries)
    return msg(typ, body.ljust(516, b"\0"), user)


def record(uid, ip, udp, tcp):
    return struct.pack("<iIHHIHH", uid, ip, udp, 0, ip, tcp, 0)


def data_message(file_id, part_id, start, payload, user=2):
    return header(603, 16 + len(payload), user) + part(file_id, part_id, start, len(payload)) + payload


def framed(messages, width=2, peer=None):
    out = b""
    for i, m in enumerate(messages):
        if peer is not None:
            out += bytes([peer[i]])
        out += struct.pack("<H", len(m)) + m
    return out


def read(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


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

# documents
put("seed_document", "torrent", read("torrent.xml"))
# TinyXML, in UTF-8 mode, read past the end of this text (a lead byte at its end).
put("seed_document", "utf8_cut_at_end", b'\xef\xbb\xbf<F i="&#83500;\xed)"\xedd')
put("seed_document", "minimal", '<Root><Server><Http url="http://h/x" /></Server><Exist>'
    '<File id="1" name="a" size="0" md5="00000000000000000000000000000000">'
    '<Part id="0" start="0" length="0" md5="00000000000000000000000000000000" /></File></Exist></Root>\n')
put("file_list", "plain.xml", read("file_list.xml"))
put("file_list", "gzip", gzip.compress(read("file_list.xml"), 9))
put("file_list", "delete", gzip.compress(b'<Root><Exist /><NonExist><File name="old/a.txt" /></NonExist></Root>'))
put("ini_document", "resume", read("download_info.ini"))
put("ini_document", "filter", "# include\n[dirs]\n data = 1\nkey=\n[x]\nk = v = w\n")
put("download_info", "resume", read("download_info.ini"))
put("download_info", "complete", "[Global]\nAllFileComplete = 1\n")
put("download_info", "cut", read("download_info.ini")[:-6])

# http
put("http_response", "ranged", b"\x02\x05HTTP/1.1 206 Partial Content\r\nContent-Length: 10\r\n"
    b"Content-Range: bytes 0-9/100\r\nConnection: keep-alive\r\n\r\n0123456789")
put("http_response", "redirect", b"\x10\x00HTTP/1.1 302 Found\r\nLocation: //other/x\r\n"
    b"Connection: close\r\n\r\n")
put("http_response", "no_length", b"\x00\x01HTTP/1.0 200 OK\nServer: x\n\n" + bytes(300))
put("http_url", "full", "http://user:pw@mirror.example:8080/a/b/file name.bin\n/other/path")
put("http_url", "bare", "host/file.bin\n//elsewhere:81/x")
put("http_url", "odd", "@:/\nhttp://a@b@c:65536/")

# upnp
desc = ('<?xml version="1.0"?>\r\n<root xmlns="urn:schemas-upnp-org:device-1-0">'
        '<URLBase>http://192.168.1.1:5000</URLBase><device><deviceType>'
        'urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType><deviceList><device>'
        '<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><deviceList><device>'
        '<deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType><serviceList>'
        '<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>'
        '<controlURL>/ctl/IPConn</controlURL></service></serviceList></device></deviceList>'
        '</device></deviceList></device></root>\r\n')
put("upnp_description", "igd", "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n" + desc)
put("upnp_description", "elsewhere", "HTTP/1.1 200 OK\r\n\r\n" + desc.replace("/ctl/IPConn", "http://10.9.9.9/c"))
# A NUL inside the host once passed as the gateway's address (the C parser stopped at it).
put("upnp_description", "nul_in_host", "HTTP/1.1 200 OK\r\n\r\n" + desc.replace("192.168.1.1:", "192.168.1.1\0\0:"))
put("upnp_xml", "description", "root\nHTTP/1.1 200 OK\r\n\r\n" + desc)
put("upnp_xml", "soap", 's:Envelope\nHTTP/1.1 200 OK\r\n\r\n<?xml version="1.0"?><s:Envelope><s:Body>'
    '<u:GetExternalIPAddressResponse><NewExternalIPAddress>1.2.3.4 &amp; &x;</NewExternalIPAddress>'
    '</u:GetExternalIPAddressResponse></s:Body></s:Envelope>')
put("upnp_xml", "broken", "a\n<!-- c --><a><b x='1'>t<![CDATA[<z>]]></c></a>")

# safe_name
for i, name in enumerate(["data/game.pak", "a/../b", "C:x", "dir/nul.txt", "CONFIG/console.log",
                          "a//b", "\\x", "./a"]):
    put("safe_name", "name%d" % i, name)
