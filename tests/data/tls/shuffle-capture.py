#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Copies a pcap file with its TCP data segments reordered and some sent twice, as a congested path
delivers them: usage shuffle-capture.py IN.pcap OUT.pcap.

Each frame carrying TCP data changes place with the next one (when that carries data too) with
probability 1/3, and one such frame in six is repeated one to four frames later. The order is fixed by
a seed."""
import random
import struct
import sys


def frames(data):
    header, rest = data[:24], data[24:]
    out = []
    while len(rest) >= 16:
        length = struct.unpack("<I", rest[8:12])[0]
        out.append(rest[:16 + length])
        rest = rest[16 + length:]
    return header, out


def has_tcp_data(frame):
    packet = frame[16:]
    # Loopback captures on Linux are Ethernet with zero addresses; IPv4 follows at 14.
    if len(packet) < 34 or packet[12:14] != b"\x08\x00" or packet[23] != 6:
        return False
    ip_length = (packet[14] & 0x0F) * 4
    total = struct.unpack(">H", packet[16:18])[0]
    tcp = 14 + ip_length
    return total - ip_length - (packet[tcp + 12] >> 4) * 4 > 0


def main():
    with open(sys.argv[1], "rb") as f:
        header, packets = frames(f.read())
    rng = random.Random(1515)
    order = list(packets)
    # Up to the ClientHello the frames keep their places: a connection is followed from its hello on.
    i = next(index for index, frame in enumerate(order) if has_tcp_data(frame)) + 1
    while i + 1 < len(order):
        if has_tcp_data(order[i]) and has_tcp_data(order[i + 1]) and rng.random() < 1 / 3:
            order[i], order[i + 1] = order[i + 1], order[i]
            i += 2
        else:
            i += 1
    # Repeats are placed a few frames after their first copy.
    result, pending = [], []
    for index, frame in enumerate(order):
        result.append(frame)
        pending = [(due - 1, f) for due, f in pending]
        result.extend(f for due, f in pending if due <= 0)
        pending = [(due, f) for due, f in pending if due > 0]
        if has_tcp_data(frame) and rng.random() < 1 / 6:
            pending.append((rng.randint(1, 4), frame))
    result.extend(f for _, f in pending)
    with open(sys.argv[2], "wb") as f:
        f.write(header + b"".join(result))


if __name__ == "__main__":
    main()
