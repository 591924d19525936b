#!/usr/bin/env python3
"""Writes seeds for the readers of capture files: gzip and zstd captures for the compressed_capture target
(after its byte that picks the piece size, the output room and the decoder). Needs the zstd program."""
import gzip
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "tests", "data")


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


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
    compressed_seeds()
    sys.exit(0)
