#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the seed inputs of the detector fuzz target into corpus/detector/: for every link type, a few
exchanges of IPv4 and (where the link carries it) IPv6 frames."""
import os
import socket
import struct

OWN, SERVER = bytes([192, 168, 1, 5]), bytes([10, 0, 0, 2])
OWN6, SERVER6 = socket.inet_pton(socket.AF_INET6, "2001:db8::5"), socket.inet_pton(socket.AF_INET6, "2001:db8:1::2")
# Index of each link type in the fuzz target's list: the input's first byte.
ETHERNET, SLL, SLL2, RAW, IPV4, IPV6, NULL, LOOP = range(8)


def tcp(sport, dport, payload, words=5):
    header = bytearray(words * 4)
    struct.pack_into(">HHII", header, 0, sport, dport, 1, 0)
    header[12], header[13] = words << 4, 0x18
    return bytes(header) + payload


def ipv4(src, dst, segment, words=5):
    header = bytearray(words * 4)
    header[0] = 0x40 | words
    struct.pack_into(">H", header, 2, words * 4 + len(segment))
    header[8], header[9] = 64, 6
    header[12:16], header[16:20] = src, dst
    return bytes(header) + segment


def ipv6(src, dst, segment, extensions=()):
    """extensions: (next-header type, length in 8-byte units) pairs in front of the TCP header."""
    chain = b""
    types = [t for t, _ in extensions] + [6]
    for (kind, units), following in zip(extensions, types[1:]):
        chain += bytes([following, units]) + b"\0" * (units * 8 + 6)
    return struct.pack(">IHBB", 0x60000000, len(chain) + len(segment), types[0], 64) + src + dst + chain + segment


def ether_type(packet):
    return 0x86DD if packet[0] >> 4 == 6 else 0x0800


def ethernet(packet, tags=()):
    return b"\0" * 12 + b"".join(struct.pack(">HH", tag, 10) for tag in tags) + struct.pack(">H", ether_type(packet)) + packet


LOOPBACK = 772  # link address type of a loopback frame


def sll(packet, packet_type, link_type=1):
    return struct.pack(">HHH8sH", packet_type, link_type, 6, b"\0" * 8, ether_type(packet)) + packet


def sll2(packet, packet_type, link_type=1):
    return struct.pack(">HHIHBB8s", ether_type(packet), 0, 2, link_type, packet_type, 6, b"\0" * 8) + packet


def bsd(packet, family, order):
    return struct.pack(order + "I", family) + packet


def record(link, *frames):
    return bytes([link]) + b"".join(struct.pack("<H", len(f)) + f for f in frames)


FLV_HEADER = b"HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 123456\r\n\r\n"
MP4_HEADER = b"HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 250000\r\n\r\n"


def request(path, host=b"videohost", v6=False, port=50000):
    payload = b"GET " + path + b" HTTP/1.1\r\n" + (b"Host: " + host + b"\r\n" if host else b"") + b"Accept: */*\r\n\r\n"
    return ipv6(OWN6, SERVER6, tcp(port, 80, payload)) if v6 else ipv4(OWN, SERVER, tcp(port, 80, payload))


def response(text, v6=False, port=50000):
    return ipv6(SERVER6, OWN6, tcp(80, port, text)) if v6 else ipv4(SERVER, OWN, tcp(80, port, text))


SEEDS = {
    "flv-with-body": record(ETHERNET, ethernet(request(b"/v/clip.flv")), ethernet(response(FLV_HEADER + b"FLV\x01body"))),
    "flv-deferred": record(ETHERNET, ethernet(request(b"/v/other.flv")), ethernet(response(FLV_HEADER)),
                           ethernet(response(b"FLV\x01")), ethernet(response(b"FLV\x01"))),
    "mp4": record(ETHERNET, ethernet(request(b"/a.mp4", b"  spaced:8080 ")), ethernet(response(MP4_HEADER))),
    "untyped-flv": record(ETHERNET, ethernet(request(b"/u")),
                          ethernet(response(b"HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\nFLV"))),
    "two-requests": record(ETHERNET, ethernet(request(b"/1")), ethernet(request(b"/2")),
                           ethernet(response(b"HTTP/1.1 200 OK\r\nContent-Type: video/x-ms-wmv\r\nContent-Length: 400000\r\n\r\n")),
                           ethernet(response(b"HTTP/1.1 200 OK\r\nContent-Type: video/webm\r\nContent-Length: 500000\r\n\r\n"))),
    "ignored-then-listed": record(ETHERNET, ethernet(request(b"/v/clip.flv")), ethernet(response(FLV_HEADER + b"FLV")),
                                  ethernet(request(b"/v/clip.flv")), ethernet(response(FLV_HEADER + b"FLV"))),
    "options": record(ETHERNET, ethernet(ipv4(OWN, SERVER, tcp(1, 2, b"GET /o HTTP/1.1\r\n\r\n", 9), 7)),
                      ethernet(ipv4(SERVER, OWN, tcp(2, 1, b"HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\n\r\n", 6), 6))),
    "truncated": record(ETHERNET, ethernet(request(b"/t"))[:40], ethernet(response(FLV_HEADER))[:20]),
    "ethernet-ipv6-bare-host": record(ETHERNET, ethernet(request(b"/six.mp4", None, True)),
                                      ethernet(response(MP4_HEADER, True))),
    "ethernet-ipv6-extensions": record(ETHERNET,
                                       ethernet(ipv6(OWN6, SERVER6, tcp(50000, 80, b"GET /x HTTP/1.1\r\nHost: h\r\n\r\n"),
                                                     ((0, 0), (43, 2), (60, 1)))),
                                       ethernet(ipv6(SERVER6, OWN6, tcp(80, 50000, MP4_HEADER), ((44, 0),))),
                                       ethernet(response(MP4_HEADER, True))),
    "vlan": record(ETHERNET, ethernet(request(b"/q.mp4"), (0x8100,)), ethernet(response(MP4_HEADER), (0x8100,))),
    "qinq-ipv6": record(ETHERNET, ethernet(request(b"/qq.mp4", v6=True), (0x88A8, 0x8100)),
                        ethernet(response(MP4_HEADER, True), (0x88A8, 0x8100))),
    # Cooked captures of the "any" adapter: going out (4), coming in (0); loopback frames may come twice.
    "sll-loopback": record(SLL, sll(request(b"/c.flv"), 4, LOOPBACK), sll(request(b"/c.flv"), 0, LOOPBACK),
                           sll(response(FLV_HEADER + b"FLV"), 4, LOOPBACK), sll(response(FLV_HEADER + b"FLV"), 0, LOOPBACK)),
    "sll-ipv6": record(SLL, sll(request(b"/c6.mp4", v6=True), 4), sll(response(MP4_HEADER, True), 0)),
    "sll2-loopback": record(SLL2, sll2(request(b"/d.mp4"), 0, LOOPBACK), sll2(response(MP4_HEADER), 0, LOOPBACK)),
    "sll2": record(SLL2, sll2(request(b"/e.mp4"), 4), sll2(response(MP4_HEADER), 0)),
    "sll2-ipv6": record(SLL2, sll2(request(b"/d6.flv", v6=True), 4), sll2(response(FLV_HEADER, True), 0),
                        sll2(response(b"FLV\x01", True), 0)),
    "raw": record(RAW, request(b"/r4.mp4"), response(MP4_HEADER), request(b"/r6.mp4", v6=True), response(MP4_HEADER, True)),
    "ipv4": record(IPV4, request(b"/i4.mp4"), response(MP4_HEADER)),
    "ipv6": record(IPV6, request(b"/i6.mp4", v6=True), response(MP4_HEADER, True)),
    "null": record(NULL, bsd(request(b"/n.mp4"), 2, "<"), bsd(response(MP4_HEADER), 2, "<"),
                   bsd(request(b"/n6.mp4", v6=True), 30, ">"), bsd(response(MP4_HEADER, True), 30, ">")),
    "loop": record(LOOP, bsd(request(b"/l.mp4"), 2, ">"), bsd(response(MP4_HEADER), 2, ">"),
                   bsd(request(b"/l6.mp4", v6=True), 24, ">"), bsd(response(MP4_HEADER, True), 24, ">")),
    "octet-stream-mp4": record(ETHERNET, ethernet(request(b"/o.mp4")),
                               ethernet(response(b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                                 b"Content-Length: 300000\r\n\r\n\0\0\0\x18ftypisom\0\0\x02\0"))),
    "untyped-body-later": record(ETHERNET, ethernet(request(b"/l.webm")),
                                 ethernet(response(b"HTTP/1.1 200 OK\r\nContent-Length: 300000\r\n\r\n")),
                                 ethernet(response(b"\x1a\x45\xdf\xa3\x9f\x42\x82\x84webm"))),
    "range-pieces": record(ETHERNET, ethernet(request(b"/r.mp4")),
                           ethernet(response(b"HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp4\r\n"
                                             b"Content-Range: bytes 0-99999/250000\r\nContent-Length: 100000\r\n\r\n")),
                           ethernet(request(b"/r.mp4")),
                           ethernet(response(b"HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp4\r\n"
                                             b"Content-Range: bytes 100000-249999/*\r\nContent-Length: 150000\r\n\r\n"))),
}

if __name__ == "__main__":
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "detector")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
