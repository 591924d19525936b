#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Rewrites a capture for a link that no adapter here has.
From bare IP packets (link type RAW):
  ipv4 / ipv6  only the packets of that IP version, link type IPV4 (228) / IPV6 (229)
  null         every packet behind a BSD loopback header: the address family in little-endian
               (the capturing host's order; 2 for IPv4, 30 for IPv6 as on macOS), link type NULL (0)
  loop         the same in network byte order (24 for IPv6 as on OpenBSD), link type LOOP (108)
From Ethernet frames (link type EN10MB), which stay Ethernet:
  vlan         every frame tagged 802.1Q with VLAN 10
  qinq         every frame tagged 802.1ad with service VLAN 100, then 802.1Q with VLAN 20
Usage: convert-link-type.py ipv4|ipv6|null|loop|vlan|qinq SOURCE.pcap TARGET.pcap"""
import struct
import sys

RAW_LINK_TYPES = (12, 14, 101)  # DLT_RAW as written on various systems, LINKTYPE_RAW
ETHERNET = 1
KINDS = ("ipv4", "ipv6", "null", "loop", "vlan", "qinq")
TAGS = {"vlan": struct.pack(">HH", 0x8100, 10), "qinq": struct.pack(">HHHH", 0x88A8, 100, 0x8100, 20)}


def convert(kind, source, target):
    data = open(source, "rb").read()
    magic, major, minor, zone, figs, snaplen, linktype = struct.unpack("<IHHiIII", data[:24])
    tagging = kind in TAGS
    if magic not in (0xA1B2C3D4, 0xA1B23C4D) or linktype not in ((ETHERNET,) if tagging else RAW_LINK_TYPES):
        sys.exit("only little-endian pcap files of " + ("Ethernet frames" if tagging else "bare IP packets"))
    new_linktype = {"ipv4": 228, "ipv6": 229, "null": 0, "loop": 108, "vlan": ETHERNET, "qinq": ETHERNET}[kind]
    out = [struct.pack("<IHHiIII", magic, major, minor, zone, figs, snaplen + 8, new_linktype)]
    position = 24
    while position + 16 <= len(data):
        seconds, fraction, captured, original = struct.unpack("<IIII", data[position:position + 16])
        packet = data[position + 16:position + 16 + captured]
        position += 16 + captured
        version = packet[0] >> 4 if packet else 0
        if tagging:
            # The tags go between the addresses and the type, as a switch port would put them.
            frame = packet[:12] + TAGS[kind] + packet[12:]
            out.append(struct.pack("<IIII", seconds, fraction, len(frame), original + len(TAGS[kind])) + frame)
            continue
        if kind in ("ipv4", "ipv6"):
            if version != int(kind[-1]):
                continue
            header = b""
        elif kind == "null":
            header = struct.pack("<I", 2 if version == 4 else 30)
        else:
            header = struct.pack(">I", 2 if version == 4 else 24)
        frame = header + packet
        out.append(struct.pack("<IIII", seconds, fraction, len(frame), original + len(header)) + frame)
    open(target, "wb").write(b"".join(out))


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in KINDS:
        sys.exit(__doc__)
    convert(*sys.argv[1:4])
