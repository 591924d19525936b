#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the seed inputs of the HTTP/2 fuzz target into corpus/http2_stream/.

Header blocks are encoded here with the plain HPACK representations (indexed fields, literals with
and without indexing, table size updates), so that the seeds reach the decoder's table handling."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DATA, HEADERS, RST_STREAM, SETTINGS, PUSH_PROMISE, PING, GOAWAY, WINDOW_UPDATE, CONTINUATION = 0, 1, 3, 4, 5, 6, 7, 8, 9
END_STREAM, END_HEADERS, PADDED, PRIORITY = 0x1, 0x4, 0x8, 0x20


def write(name, data):
    folder = os.path.join(HERE, "corpus", "http2_stream")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def chunks(parts):
    """parts: (direction 0 client / 1 server, bytes) -> the chunk format of FuzzChunks.h"""
    return b"".join(bytes([d]) + struct.pack("<H", len(b)) + b for d, b in parts)


def integer(value, prefix_bits, first):
    limit = (1 << prefix_bits) - 1
    if value < limit:
        return bytes([first | value])
    out = [first | limit]
    value -= limit
    while value >= 128:
        out.append(value % 128 + 128)
        value //= 128
    return bytes(out + [value])


def string(text):
    return integer(len(text), 7, 0) + text


def indexed(index):
    return integer(index, 7, 0x80)


def literal(name, value, indexing=True):
    return (b"\x40" if indexing else b"\x00") + string(name) + string(value)


def table_size_update(size):
    return integer(size, 5, 0x20)


def frame(kind, flags, stream, payload):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", stream) + payload


def settings(*pairs):
    return frame(SETTINGS, 0, 0, b"".join(struct.pack(">HI", k, v) for k, v in pairs))


def get(path, authority=b"videohost"):
    # :method GET, :scheme https, :authority, :path
    return indexed(2) + indexed(7) + literal(b":authority", authority) + literal(b":path", path, False)


def status(type_=None, length=None):
    block = indexed(8)  # :status 200
    if type_:
        block += literal(b"content-type", type_)
    if length:
        block += literal(b"content-length", length, False)
    return block


def main():
    client = PREFACE + settings((3, 100), (4, 65535))
    server = settings((3, 100))
    flv = b"FLV\x01\x05" + bytes(40)
    write("multiplexed", chunks([
        (0, client + frame(HEADERS, END_HEADERS | END_STREAM, 1, get(b"/clip.mp4"))
         + frame(HEADERS, END_HEADERS | END_STREAM, 3, get(b"/movie.bin") + indexed(62))),
        (1, server + frame(SETTINGS, 1, 0, b"") + frame(HEADERS, END_HEADERS, 3, status(length=b"45"))
         + frame(HEADERS, END_HEADERS, 1, status(b"video/mp4", b"300000"))),
        (1, frame(DATA, PADDED, 3, b"\x03FL\0\0\0") + frame(DATA, 0, 1, b"m" * 100)
         + frame(DATA, END_STREAM, 3, flv[2:]) + frame(WINDOW_UPDATE, 0, 0, struct.pack(">I", 1000))),
        (0, frame(PING, 0, 0, bytes(8)) + frame(RST_STREAM, 0, 1, struct.pack(">I", 8))),
        (1, frame(GOAWAY, 0, 0, struct.pack(">II", 3, 0) + b"bye"))]))

    block = get(b"/split.webm") + literal(b"user-agent", b"seed") + literal(b"cookie", b"a=1") + literal(b"cookie", b"b=2")
    write("continuation", chunks([
        (0, client + frame(HEADERS, PADDED | PRIORITY | END_STREAM, 1,
                           b"\x02" + struct.pack(">IB", 0, 16) + block[:4] + b"\0\0")
         + frame(CONTINUATION, 0, 1, block[4:9]) + frame(CONTINUATION, END_HEADERS, 1, block[9:])),
        (1, server + frame(HEADERS, END_HEADERS, 1, status(b"video/webm"))
         + frame(HEADERS, END_HEADERS | END_STREAM, 1, literal(b"x-trailer", b"1", False)))]))

    write("push", chunks([
        (0, client + frame(HEADERS, END_HEADERS | END_STREAM, 1, get(b"/index.html"))),
        (1, server + frame(PUSH_PROMISE, END_HEADERS | PADDED, 1, b"\x01" + struct.pack(">I", 2) + get(b"/pushed.mp4") + b"\0")
         + frame(HEADERS, END_HEADERS | END_STREAM, 1, status(b"text/html"))
         + frame(HEADERS, END_HEADERS, 2, status(b"video/mp4", b"200000")) + frame(DATA, END_STREAM, 2, b"v" * 30))]))

    big = b"x" * 5000
    write("table-and-frame-size", chunks([
        (0, PREFACE + settings((1, 65536), (5, 1 << 20)) + frame(HEADERS, END_HEADERS | END_STREAM, 1, get(b"/a.mp4"))
         + frame(HEADERS, END_HEADERS | END_STREAM, 3, get(b"/b.mp4"))),
        (1, server + frame(HEADERS, END_HEADERS, 1, table_size_update(65536) + status(b"video/mp4") + literal(b"x-big", big))
         + frame(DATA, END_STREAM, 1, b"d" * 20000) + frame(HEADERS, END_HEADERS, 3, indexed(8) + indexed(63) + indexed(62)))]))

    upgrade = (b"GET /up.mp4 HTTP/1.1\r\nHost: videohost:8080\r\nConnection: Upgrade, HTTP2-Settings\r\n"
               b"Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAAQCAAAAAAIAAAAA\r\n\r\n")
    write("upgrade", chunks([
        (0, upgrade),
        (1, b"HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n" + server
         + frame(HEADERS, END_HEADERS, 1, status(b"video/mp4", b"300000"))),
        (0, client + frame(HEADERS, END_HEADERS | END_STREAM, 3, get(b"/next.flv"))),
        (1, frame(HEADERS, END_HEADERS, 3, status()) + frame(DATA, END_STREAM, 3, flv))]))
    write("upgrade-declined", chunks([
        (0, upgrade),
        (1, b"HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 4\r\n\r\nabcd")]))


if __name__ == "__main__":
    main()
