#!/usr/bin/env python3
"""Writes the seed inputs of the detector fuzz target into corpus/detector/."""
import os
import struct

OWN, SERVER = bytes([192, 168, 1, 5]), bytes([10, 0, 0, 2])


def frame(src, dst, sport, dport, payload, ip_words=5, tcp_words=5):
    eth = b"\x00" * 12 + b"\x08\x00"
    ip = bytearray(ip_words * 4)
    ip[0] = 0x40 | ip_words
    struct.pack_into(">H", ip, 2, ip_words * 4 + tcp_words * 4 + len(payload))
    ip[8], ip[9] = 64, 6
    ip[12:16], ip[16:20] = src, dst
    tcp = bytearray(tcp_words * 4)
    struct.pack_into(">HH", tcp, 0, sport, dport)
    tcp[12] = tcp_words << 4
    return eth + bytes(ip) + bytes(tcp) + payload


def record(*frames):
    return b"".join(struct.pack("<H", len(f)) + f for f in frames)


def request(path, host=b"videohost"):
    return frame(OWN, SERVER, 50000, 80, b"GET " + path + b" HTTP/1.1\r\nHost: " + host + b"\r\nAccept: */*\r\n\r\n")


def response(text):
    return frame(SERVER, OWN, 80, 50000, text)


FLV_HEADER = b"HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 123456\r\n\r\n"
SEEDS = {
    "flv-with-body": record(request(b"/v/clip.flv"), response(FLV_HEADER + b"FLV\x01body")),
    "flv-deferred": record(request(b"/v/other.flv"), response(FLV_HEADER), response(b"FLV\x01"), response(b"FLV\x01")),
    "mp4": record(request(b"/a.mp4", b"  spaced:8080 "),
                  response(b"HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 250000\r\n\r\n")),
    "untyped-flv": record(request(b"/u"), response(b"HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\nFLV")),
    "two-requests": record(request(b"/1"), request(b"/2"),
                           response(b"HTTP/1.1 200 OK\r\nContent-Type: video/x-ms-wmv\r\nContent-Length: 400000\r\n\r\n"),
                           response(b"HTTP/1.1 200 OK\r\nContent-Type: video/webm\r\nContent-Length: 500000\r\n\r\n")),
    "ignored-then-listed": record(request(b"/v/clip.flv"), response(FLV_HEADER + b"FLV"),
                                  request(b"/v/clip.flv"), response(FLV_HEADER + b"FLV")),
    "options": record(frame(OWN, SERVER, 1, 2, b"GET /o HTTP/1.1\r\n\r\n", 7, 9),
                      frame(SERVER, OWN, 2, 1, b"HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\n\r\n", 6, 6)),
    "truncated": record(request(b"/t")[:40], response(FLV_HEADER)[:20]),
}

if __name__ == "__main__":
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "detector")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
