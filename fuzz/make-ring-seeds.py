#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the seed corpus of the ring_block fuzz target: kernel ring blocks as TPACKET_V3 fills them
(block header, then per packet its record, address record and bytes, 8-byte aligned), each after a
byte that picks the link type (0 Ethernet, 1 cooked, 2 cooked v2, 3 raw) and the loopback index. The
corpus also holds lo-capture: a block the capture helper took on lo during a small HTTP fetch."""
import os
import struct
import sys

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "ring_block")
PACKET_HOST, PACKET_OUTGOING = 0, 4
TP_STATUS_USER, TP_STATUS_VLAN_VALID = 1, 0x10


def block(packets, size=4096):
    """packets: (bytes, mac, pkttype, ifindex, vlan_tci or None)"""
    data = bytearray(b"\xee" * size)
    struct.pack_into("<IIIIIIQ", data, 0, 3, 0, TP_STATUS_USER, len(packets), 48, 0, 1)
    at = 48
    for i, (payload, mac, pkttype, ifindex, tci) in enumerate(packets):
        end = at + mac + len(payload)
        following = ((end + 7) & ~7) - at if i + 1 < len(packets) else 0
        status = TP_STATUS_USER | (TP_STATUS_VLAN_VALID if tci is not None else 0)
        struct.pack_into("<IIIIIIHHIHH", data, at, following, 1700000000 + i, 5000, len(payload),
                         len(payload) + 4, status, mac, mac + 14, 0, tci or 0, 0)
        struct.pack_into(">HH", data, at + 48, 17, 0x0800)
        struct.pack_into("<iHBB8s", data, at + 52, ifindex, 1, pkttype, 6, b"\x02\0\0\0\0\x07\0\0")
        data[at + mac:end] = payload
        at += following
    return bytes(data)


def ethernet(payload):
    return b"\x02\0\0\0\0\x01\x02\0\0\0\0\x02\x08\x00" + payload


def main():
    os.makedirs(OUT, exist_ok=True)
    http = b"E\0\0\x28" + bytes(16) + b"GET /clip.mp4 HTTP/1.1\r\nHost: example\r\n\r\n"
    seeds = {
        "ethernet": bytes([4]) + block([(ethernet(http), 114, PACKET_HOST, 2, None),
                                        (ethernet(b"tagged"), 114, PACKET_HOST, 2, 0x123),
                                        (ethernet(b"echo"), 114, PACKET_OUTGOING, 1, None),
                                        (ethernet(bytes(700)), 115, PACKET_HOST, 2, None)]),
        "cooked": bytes([1]) + block([(http, 128, PACKET_OUTGOING, 3, 7), (http, 128, PACKET_HOST, 3, None)]),
        "cooked2": bytes([2]) + block([(http, 128, PACKET_HOST, 3, None)]),
        "raw-ending": bytes([3]) + block([(http, 114, PACKET_HOST, 5, None)], 48 + 114 + len(http)),
    }
    for name, seed in seeds.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(seed)
    print(f"wrote {len(seeds)} seeds to {OUT}", file=sys.stderr)


main()
