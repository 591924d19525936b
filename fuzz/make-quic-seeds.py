#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the seed inputs of the QUIC and HTTP/3 fuzz targets into corpus/quic_packet/, quic_frames/,
http3_stream/ and qpack/.

The packet seeds are the first datagrams of the recorded HTTP/3 captures (tests/data/quic), so that
they carry real Initial packets whose keys follow from their connection IDs; the others are built
here from the frame and instruction layouts."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURES = os.path.join(HERE, "..", "tests", "data", "quic")
CLIENT = bytes([192, 0, 2, 1])


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def chunks(parts):
    """parts: (direction 0 client / 1 server, bytes) -> the chunk format of FuzzChunks.h"""
    return b"".join(bytes([d]) + struct.pack("<H", len(b)) + b for d, b in parts)


def varint(value):
    if value < 0x40:
        return bytes([value])
    if value < 0x4000:
        return struct.pack(">H", 0x4000 | value)
    if value < 0x40000000:
        return struct.pack(">I", 0x80000000 | value)
    return struct.pack(">Q", 0xC000000000000000 | value)


def datagrams(path, count):
    """The first count UDP payloads of an Ethernet pcap, with their direction."""
    with open(path, "rb") as f:
        data = f.read()
    offset, found = 24, []
    while offset + 16 <= len(data) and len(found) < count:
        length = struct.unpack_from("<I", data, offset + 8)[0]
        frame = data[offset + 16:offset + 16 + length]
        offset += 16 + length
        ip = frame[14:]
        if len(ip) < 20 or ip[9] != 17:
            continue
        start = (ip[0] & 0x0F) * 4 + 8
        found.append((0 if ip[12:16] == CLIENT else 1, ip[start:]))
    return found


def packet_seeds():
    for name in ("chromium-mp4-h3", "chromium-hls-h3"):
        path = os.path.join(CAPTURES, name + ".pcap")
        write("quic_packet", name + "-opening", chunks(datagrams(path, 12)))
    # A short header toward an unknown connection, and a version nobody reads.
    write("quic_packet", "stray", chunks([(0, b"\x40" + bytes(40)), (0, b"\xc0\x0a\x0a\x0a\x0a\x00\x00" + bytes(30))]))


def frames(*parts):
    return b"".join(parts)


def stream(stream_id, offset, data, fin=False):
    return varint(0x08 | 0x04 | 0x02 | (1 if fin else 0)) + varint(stream_id) + varint(offset) + varint(len(data)) + data


def crypto(offset, data):
    return varint(0x06) + varint(offset) + varint(len(data)) + data


def frame_seeds():
    hello = bytes([1, 0, 0, 8]) + bytes(8)
    write("quic_frames", "crypto-reordered", chunks([
        (0, frames(crypto(6, hello[6:]), b"\x00\x00\x01")),
        (0, frames(crypto(0, hello[:8]), varint(0x02) + varint(5) + varint(0) + varint(1) + varint(0) + varint(1) + varint(1))),
    ]))
    write("quic_frames", "streams", chunks([
        (0, frames(stream(0, 4, b"later", True), stream(0, 0, b"firs"), stream(0, 2, b"rst-"))),
        (1, frames(varint(0x0b) + varint(0) + varint(3) + b"abc", varint(0x08) + varint(3) + b"to the end")),
        (1, frames(varint(0x04) + varint(0) + varint(0) + varint(3), varint(0x05) + varint(4) + varint(0))),
    ]))
    write("quic_frames", "connection-ids", chunks([
        (1, frames(varint(0x18) + varint(1) + varint(0) + bytes([8]) + bytes(range(8)) + bytes(16),
                   varint(0x19) + varint(0), varint(0x1a) + bytes(8), varint(0x1e))),
        (1, frames(varint(0x03) + varint(9) + varint(0) + varint(0) + varint(2) + varint(1) + varint(1) + varint(1) * 3,
                   varint(0x1c) + varint(0) + varint(0) + varint(2) + b"ok")),
    ]))


def h3(frame_type, payload):
    return varint(frame_type) + varint(len(payload)) + payload


def record(direction, stream_index, data, fin=False, reset=False):
    control = direction | (stream_index << 1) | (0x20 if fin else 0) | (0x40 if reset else 0)
    out = b""
    while True:
        piece, data = data[:255], data[255:]
        out += bytes([control if not data else control & ~0x20, len(piece)]) + piece
        if not data:
            return out


# kIds of http3_stream_fuzzer.cpp: 0-5 client bidirectional 0..20, 6-9 client unidirectional 2..14,
# 10-13 server unidirectional 3..15.
REQUEST = bytes([0x00, 0x00, 0xd1, 0xd7, 0x50, 0x0e]) + b"videohost.test" + bytes([0xc1])
BLOCKED_REQUEST = bytes([0x02, 0x00, 0xd1, 0xd7, 0x50, 0x0e]) + b"videohost.test" + bytes([0x80])
ENCODER = bytes([0x3f, 0xbd, 0x01, 0xc1, 0x09]) + b"/clip.mp4"
ANSWER = bytes([0x00, 0x00, 0xd9, 0x5f, 0x1d, 0x09]) + b"video/mp4"
MP4 = b"\x00\x00\x00\x18ftypisom\x00\x00\x02\x00isomiso2" + bytes(64)


def http3_seeds():
    write("http3_stream", "request-answer", b"".join([
        record(0, 6, varint(0) + h3(0x04, varint(1) + varint(0) + varint(7) + varint(0))),
        record(0, 0, h3(0x01, REQUEST), fin=True),
        record(1, 10, varint(0) + h3(0x04, b"")),
        record(1, 0, h3(0x01, ANSWER) + h3(0x00, MP4), fin=True),
    ]))
    write("http3_stream", "blocked", b"".join([
        record(0, 0, h3(0x01, BLOCKED_REQUEST), fin=True),
        record(0, 7, varint(2) + ENCODER),
        record(1, 0, h3(0x01, ANSWER) + h3(0x00, MP4[:10])),
        record(1, 0, MP4[10:], fin=True),
    ]))
    write("http3_stream", "push", b"".join([
        record(0, 1, h3(0x01, REQUEST)),
        record(1, 1, h3(0x05, varint(0) + REQUEST) + h3(0x01, ANSWER)),
        record(1, 11, varint(1) + varint(0) + h3(0x01, ANSWER) + h3(0x00, MP4), fin=True),
        record(1, 1, b"", reset=True),
        record(0, 2, h3(0x21, b"grease") + h3(0x01, REQUEST)),
    ]))


def qpack_seeds():
    def item(kind, stream_index, data):
        return bytes([kind | (stream_index << 2), len(data)]) + data
    write("qpack", "blocked-then-ready", b"".join([
        item(1, 1, BLOCKED_REQUEST), item(0, 0, ENCODER), item(1, 2, BLOCKED_REQUEST), item(2, 2, b""),
    ]))
    write("qpack", "static-only", item(1, 0, REQUEST) + item(1, 3, ANSWER))


packet_seeds()
frame_seeds()
http3_seeds()
qpack_seeds()
