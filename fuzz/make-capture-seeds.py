#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes seeds for the readers of capture files: Decryption Secrets Blocks for the pcapng target (after
its byte that picks the piece size), and gzip and zstd captures for the compressed_capture target (after
its byte that picks the piece size, the output room and the decoder). Needs the zstd program."""
import gzip
import os
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data")


def block(kind, body, order="<"):
    body += b"\0" * (-len(body) % 4)
    length = 12 + len(body)
    return struct.pack(order + "II", kind, length) + body + struct.pack(order + "I", length)


def section(order="<"):
    return block(0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, 0, -1), order)


def interface(link_type, order="<"):
    return block(1, struct.pack(order + "HHI", link_type, 0, 65535), order)


def packet(interface_id, payload, order="<"):
    return block(6, struct.pack(order + "IIIII", interface_id, 0, 1000, len(payload), len(payload)) + payload, order)


def secrets(kind, text, claimed=None, order="<"):
    return block(0x0A, struct.pack(order + "II", kind, len(text) if claimed is None else claimed) + text, order)


KEY_LINES = (b"CLIENT_RANDOM " + b"ab" * 32 + b" " + b"cd" * 48 + b"\n"
             b"CLIENT_HANDSHAKE_TRAFFIC_SECRET " + b"01" * 32 + b" " + b"02" * 32 + b"\n"
             b"SERVER_TRAFFIC_SECRET_0 " + b"01" * 32 + b" " + b"03" * 48)


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def pcapng_seeds():
    folder = os.path.join(HERE, "corpus", "pcapng")
    frame = bytes(12) + b"\x08\x00" + bytes(40)
    stream = (section() + secrets(0x544C534B, KEY_LINES) + interface(1) + interface(101) + packet(0, frame) +
              secrets(0x57474B4C, b"wireguard") + packet(1, frame[14:]) + secrets(0x544C534B, b""))
    write(folder, "secrets-whole", bytes([0xBF]) + stream)
    write(folder, "secrets-pieces", bytes([3]) + stream)
    write(folder, "secrets-past-block", bytes([0xBF]) + section() + secrets(0x544C534B, KEY_LINES, 4096))
    # A big-endian writer's blocks; a block per packet, as a capture written with its secrets has them.
    big = (section(">") + interface(1, ">") + secrets(0x544C534B, KEY_LINES, order=">") + packet(0, frame, ">") +
           secrets(0x544C534B, KEY_LINES.replace(b"ab", b"ef"), order=">") + packet(0, frame, ">"))
    write(folder, "secrets-big-endian", bytes([0x85]) + big)
    # Lines a key log reader must pass over: CR line ends, a line far too long, a label alone, no last line end.
    odd = (b"CLIENT_RANDOM " + b"ab" * 32 + b" " + b"cd" * 48 + b"\r\n" + b"CLIENT_RANDOM " + b"ab" * 600 + b"\n" +
           b"SERVER_HANDSHAKE_TRAFFIC_SECRET\n# comment\n\nCLIENT_TRAFFIC_SECRET_0 " + b"01" * 32 + b" " + b"04" * 32)
    write(folder, "secrets-odd-lines", bytes([0x81]) + section() + interface(1) + secrets(0x544C534B, odd) +
          packet(0, frame))


def zstd(data):
    return subprocess.run(["zstd", "-q", "-c", "-3"], input=data, stdout=subprocess.PIPE, check=True).stdout


def compressed_seeds():
    folder = os.path.join(HERE, "corpus", "compressed_capture")
    with open(os.path.join(DATA, "link-raw.pcap"), "rb") as capture:
        pcap = capture.read()[:6000]
    with open(os.path.join(DATA, "videos-keepalive-ng.pcapng"), "rb") as capture:
        pcapng = capture.read()[:6000]
    gz = gzip.compress(pcap, mtime=0)
    write(folder, "gzip-pcap-whole", bytes([0x3F]) + gz)
    write(folder, "gzip-two-members-pieces", bytes([0x05]) + gz + gzip.compress(pcapng, mtime=0))
    write(folder, "gzip-cut", bytes([0x10]) + gz[: len(gz) // 2])
    write(folder, "gzip-trailing-bytes", bytes([0x3F]) + gz + b"\0\0\0\0")
    zs = zstd(pcapng)
    write(folder, "zstd-pcapng-whole", bytes([0x3F]) + zs)
    write(folder, "zstd-two-frames-small-room", bytes([0x47]) + zs + zstd(pcap))
    write(folder, "zstd-cut", bytes([0x20]) + zs[: len(zs) // 3])


if __name__ == "__main__":
    pcapng_seeds()
    compressed_seeds()
    sys.exit(0)
