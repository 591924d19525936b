#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Joins two network namespaces by a pair of tun devices (links that carry bare IP packets, as VPN
adapters do): creates NAME_A and NAME_B, moves each into its namespace and copies every packet from one
to the other until it is stopped. Usage: tun_pair.py NAME_A NAMESPACE_A NAME_B NAMESPACE_B"""
import errno
import fcntl
import os
import select
import signal
import struct
import subprocess
import sys
import time

TUNSETIFF = 0x400454CA
IFF_TUN, IFF_NO_PI = 0x0001, 0x1000


def open_tun(name):
    descriptor = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(descriptor, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    return descriptor


def main(name_a, namespace_a, name_b, namespace_b):
    # Created here, then moved: the open descriptors stay attached to the devices.
    ends = {open_tun(name_a): None, open_tun(name_b): None}
    a, b = list(ends)
    ends[a], ends[b] = b, a
    subprocess.run(["ip", "link", "set", name_a, "netns", namespace_a], check=True)
    subprocess.run(["ip", "link", "set", name_b, "netns", namespace_b], check=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    print("ready", flush=True)
    while True:
        readable, _, _ = select.select(list(ends), [], [])
        for descriptor in readable:
            try:
                os.write(ends[descriptor], os.read(descriptor, 65536))
            except OSError as error:
                # A device that is down (not configured yet) fails reads and writes: wait for it.
                if error.errno != errno.EIO:
                    raise
                time.sleep(0.05)


if __name__ == "__main__":
    main(*sys.argv[1:5])
