#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Rewrites a classic pcap file as pcapng (one section, one interface, enhanced packet blocks)."""
import struct
import sys


def block(kind, body):
    body += b"\0" * (-len(body) % 4)
    length = 12 + len(body)
    return struct.pack("<II", kind, length) + body + struct.pack("<I", length)


def main(source, target):
    data = open(source, "rb").read()
    magic, _, _, _, _, snaplen, linktype = struct.unpack("<IHHiIII", data[:24])
    if magic not in (0xA1B2C3D4, 0xA1B23C4D):
        sys.exit("only little-endian pcap files are handled")
    nanoseconds = magic == 0xA1B23C4D
    out = [block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))]
    options = b""
    if nanoseconds:  # if_tsresol = 9: timestamps in nanoseconds
        options = struct.pack("<HHB3x", 9, 1, 9) + struct.pack("<HH", 0, 0)
    out.append(block(0x00000001, struct.pack("<HHI", linktype, 0, snaplen) + options))
    position = 24
    while position + 16 <= len(data):
        seconds, fraction, captured, original = struct.unpack("<IIII", data[position:position + 16])
        frame = data[position + 16:position + 16 + captured]
        position += 16 + captured
        units = seconds * (10**9 if nanoseconds else 10**6) + fraction
        out.append(block(0x00000006, struct.pack("<IIIII", 0, units >> 32, units & 0xFFFFFFFF, captured, original)
                         + frame))
    open(target, "wb").write(b"".join(out))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
