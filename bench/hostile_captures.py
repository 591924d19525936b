#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes crafted captures that try to make the capture pipeline spend CPU or memory out of proportion to
their size, one per kind of attack, plus plain captures of similar sizes to compare against.

    python3 bench/hostile_captures.py OUTPUT_FOLDER [--only NAME ...] [--list]

Every capture is an Ethernet pcap (or pcapng) of TCP connections between a client on 192.168.1.23 and
servers in the documentation ranges, with real handshakes, consistent sequence and acknowledgement
numbers and TCP/IP checksums. What a capture needs to be followed is written beside it: NAME.keylog for
the TLS ones. Nothing here needs more than the standard library.
"""
import argparse
import os
import struct
import sys

CLIENT_MAC = bytes.fromhex("3c22fb4a91d0")
GATEWAY_MAC = bytes.fromhex("f09fc2118e42")
CLIENT_IP = (192, 168, 1, 23)
START_SECONDS = 1796040000  # 2026-12-01, a plausible capture time
MSS = 1448


def ip_bytes(address):
    return bytes(address)


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


FIN, SYN, RST, PSH, ACK = 0x01, 0x02, 0x04, 0x08, 0x10


def tcp_frame(source, destination, sequence, acknowledgement, flags, payload, ip_id, window=64240):
    """An Ethernet / IPv4 / TCP frame; source and destination are (address, port)."""
    (src_ip, src_port), (dst_ip, dst_port) = source, destination
    options = b""
    if flags & SYN:
        options = struct.pack("!BBH", 2, 4, MSS) + b"\x01\x01\x04\x02"  # MSS, NOP, NOP, SACK permitted
    header_length = 20 + len(options)
    tcp = struct.pack("!HHIIBBHHH", src_port, dst_port, sequence & 0xFFFFFFFF, acknowledgement & 0xFFFFFFFF,
                      (header_length // 4) << 4, flags, window, 0, 0) + options
    pseudo = ip_bytes(src_ip) + ip_bytes(dst_ip) + struct.pack("!BBH", 0, 6, len(tcp) + len(payload))
    tcp_sum = checksum(pseudo + tcp + payload)
    tcp = tcp[:16] + struct.pack("!H", tcp_sum) + tcp[18:]
    total = 20 + len(tcp) + len(payload)
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, total, ip_id & 0xFFFF, 0x4000, 64, 6, 0, ip_bytes(src_ip),
                     ip_bytes(dst_ip))
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    from_client = src_ip == CLIENT_IP
    macs = (GATEWAY_MAC + CLIENT_MAC) if from_client else (CLIENT_MAC + GATEWAY_MAC)
    return macs + b"\x08\x00" + ip + tcp + payload


class Capture:
    """Frames with capture times in microseconds, written as pcap or pcapng."""

    def __init__(self, start_seconds=START_SECONDS):
        self.frames = []  # (microseconds, bytes, wire length, interface)
        self.now = start_seconds * 1000000
        self.bytes = 0  # as a pcap file

    def add(self, frame, gap_us=40, interface=0, time_us=None):
        self.now += gap_us
        self.frames.append((self.now if time_us is None else time_us, frame, len(frame), interface))
        self.bytes += 16 + len(frame)

    def write_pcap(self, path, nanoseconds=False, raw_times=None):
        """raw_times: (seconds, fraction) per frame, written as they are (extreme values included)."""
        magic = 0xA1B23C4D if nanoseconds else 0xA1B2C3D4
        out = [struct.pack("<IHHiIII", magic, 2, 4, 0, 0, 262144, 1)]
        for i, (micros, frame, wire, _) in enumerate(self.frames):
            if raw_times:
                seconds, fraction = raw_times[i % len(raw_times)]
            else:
                seconds, fraction = divmod(micros, 1000000)
                if nanoseconds:
                    fraction *= 1000
            out.append(struct.pack("<IIII", seconds & 0xFFFFFFFF, fraction & 0xFFFFFFFF, len(frame), wire) + frame)
        with open(path, "wb") as handle:
            handle.write(b"".join(out))

    def write_pcapng(self, path, interfaces, units_of=None):
        """interfaces: list of option bytes per interface; units_of(frame index, micros) -> 64-bit time."""
        def block(kind, body):
            body += b"\0" * (-len(body) % 4)
            return struct.pack("<II", kind, 12 + len(body)) + body + struct.pack("<I", 12 + len(body))

        out = [block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1))]
        for options in interfaces:
            out.append(block(0x00000001, struct.pack("<HHI", 1, 0, 262144) + options + struct.pack("<HH", 0, 0)))
        for i, (micros, frame, wire, interface) in enumerate(self.frames):
            units = units_of(i, micros) if units_of else micros
            units &= 0xFFFFFFFFFFFFFFFF
            out.append(block(0x00000006, struct.pack("<IIIII", interface, units >> 32, units & 0xFFFFFFFF,
                                                     len(frame), wire) + frame))
        with open(path, "wb") as handle:
            handle.write(b"".join(out))

    def size(self):
        return self.bytes


class Connection:
    """One TCP connection: sequence numbers of both sides, relative to their initial ones."""

    next_port = 40000

    def __init__(self, capture, server_ip, server_port=80, interface=0):
        self.capture = capture
        self.interface = interface
        Connection.next_port = 40000 + (Connection.next_port - 40000 + 1) % 25000
        self.client = (CLIENT_IP, Connection.next_port)
        self.server = (tuple(server_ip), server_port)
        seed = (Connection.next_port * 2654435761) & 0xFFFFFFFF
        self.isn = [seed, (seed * 40503 + 12345) & 0xFFFFFFFF]  # client, server
        self.sent = [0, 0]       # data bytes each side has sent (sequence positions after the SYN)
        self.ip_id = [seed & 0xFFFF, (seed >> 16) & 0xFFFF]

    def _frame(self, side, offset, flags, payload=b"", acknowledge=None, gap_us=40):
        """side 0: the client sends; offset: sequence position relative to the side's first data byte."""
        source, destination = (self.client, self.server) if side == 0 else (self.server, self.client)
        sequence = self.isn[side] + 1 + offset
        other = 1 - side
        if acknowledge is None:
            acknowledge = self.sent[other]
        ack_number = self.isn[other] + 1 + acknowledge if flags & ACK else 0
        if flags & SYN:
            sequence = self.isn[side]
        self.ip_id[side] += 1
        self.capture.add(tcp_frame(source, destination, sequence, ack_number, flags, payload, self.ip_id[side]),
                         gap_us, self.interface)

    def open(self):
        self._frame(0, -1, SYN, gap_us=200)
        self._frame(1, -1, SYN | ACK, acknowledge=0, gap_us=900)
        self._frame(0, 0, ACK, gap_us=60)

    def send(self, side, data, segment=MSS, ack_every=2, gap_us=40):
        """data in order in segments; the receiver acknowledges every ack_every segments."""
        count = 0
        for at in range(0, len(data), segment):
            piece = data[at:at + segment]
            self._frame(side, self.sent[side], PSH | ACK, piece, gap_us=gap_us)
            self.sent[side] += len(piece)
            count += 1
            if ack_every and count % ack_every == 0:
                self._frame(1 - side, self.sent[1 - side], ACK, gap_us=10)
        if ack_every and count % ack_every:
            self._frame(1 - side, self.sent[1 - side], ACK, gap_us=10)

    def segment_at(self, side, offset, payload, acknowledge=None, gap_us=40):
        """A segment at any position (ahead of a hole), without moving the side's position."""
        self._frame(side, offset, PSH | ACK, payload, acknowledge=acknowledge, gap_us=gap_us)

    def ack(self, side, upto=None, gap_us=10):
        """side acknowledges what the other side sent (or upto)."""
        self._frame(side, self.sent[side], ACK, acknowledge=upto, gap_us=gap_us)

    def close(self):
        self._frame(0, self.sent[0], FIN | ACK, gap_us=100)
        self._frame(1, self.sent[1], FIN | ACK, acknowledge=self.sent[0] + 1, gap_us=200)
        self._frame(0, self.sent[0] + 1, ACK, acknowledge=self.sent[1] + 1, gap_us=50)

    def exchange(self, request, answer, body_segment=MSS):
        self.send(0, request, ack_every=1)
        self.send(1, answer, segment=body_segment)


def server(n, net=(198, 51, 100)):
    return net + (n % 250 + 2,)


def get(host, path, extra=""):
    return ("GET %s HTTP/1.1\r\nHost: %s\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 "
            "Firefox/128.0\r\nAccept: */*\r\nAccept-Language: en-GB,en;q=0.5\r\nConnection: keep-alive\r\n%s\r\n"
            % (path, host, extra)).encode()


def answer(body, content_type, status="200 OK", extra=""):
    head = ("HTTP/1.1 %s\r\nServer: nginx\r\nDate: Tue, 01 Dec 2026 09:20:00 GMT\r\nContent-Type: %s\r\n"
            "Content-Length: %d\r\nCache-Control: max-age=3600\r\n%s\r\n" % (status, content_type, len(body), extra))
    return head.encode() + body


def mp4_body(size, seed=0):
    head = struct.pack("!I", 32) + b"ftypisom" + b"\0\0\x02\0isomiso2avc1mp41"
    fill = bytes((i * 131 + seed) & 0xFF for i in range(4096))
    body = bytearray(head + struct.pack("!I", size - 32) + b"mdat")
    while len(body) < size:
        body += fill
    return bytes(body[:size])


# --- Plain captures: the yardstick ---------------------------------------------------------------------

def plain(target_bytes):
    """Ordinary browsing: video files, pages, pictures, an HLS and a DASH stream, in MSS segments."""
    cap = Capture()
    n = 0
    while cap.size() < target_bytes:
        conn = Connection(cap, server(n))
        conn.open()
        host = "media%d.example.net" % (n % 7)
        kind = n % 4
        if kind == 0:
            conn.exchange(get(host, "/videos/clip%d.mp4" % n), answer(mp4_body(120000 + n * 37 % 9000, n), "video/mp4"))
        elif kind == 1:
            page = (b"<!doctype html><html><head><title>News</title></head><body>" + b"<p>Lorem ipsum dolor</p>" * 900
                    + b"</body></html>")
            conn.exchange(get(host, "/news/%d.html" % n), answer(page, "text/html; charset=utf-8"))
            conn.exchange(get(host, "/img/%d.jpg" % n), answer(bytes(range(256)) * 120, "image/jpeg"))
        elif kind == 2:
            segments = ["seg-%05d.ts" % i for i in range(8)]
            playlist = ("#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:4\n#EXT-X-MEDIA-SEQUENCE:0\n" +
                        "".join("#EXTINF:4.000,\n%s\n" % s for s in segments) + "#EXT-X-ENDLIST\n").encode()
            conn.exchange(get(host, "/hls/%d/index.m3u8" % n), answer(playlist, "application/vnd.apple.mpegurl"))
            for s in segments[:4]:
                conn.exchange(get(host, "/hls/%d/%s" % (n, s)), answer(mp4_body(40000, n), "video/mp2t"))
        else:
            manifest = ('<?xml version="1.0"?><MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="static">'
                        '<Period><AdaptationSet mimeType="video/mp4"><SegmentTemplate media="v-$Number$.m4s" '
                        'initialization="v-init.mp4" startNumber="1"/><Representation id="v1" bandwidth="800000"/>'
                        '</AdaptationSet></Period></MPD>').encode()
            conn.exchange(get(host, "/dash/%d/stream.mpd" % n), answer(manifest, "application/dash+xml"))
            for i in range(1, 5):
                conn.exchange(get(host, "/dash/%d/v-%d.m4s" % (n, i)), answer(mp4_body(30000, i), "video/mp4"))
        conn.close()
        n += 1
    return cap


def plain_small_segments(target_bytes):
    """The same number of frames per byte as the 1-byte floods, delivered in order: requests and chunked
    pages whose every segment carries one to eight bytes (a chatty client, a server flushing per line)."""
    cap = Capture()
    n = 0
    while cap.size() < target_bytes:
        conn = Connection(cap, server(n, (203, 0, 113)))
        conn.open()
        host = "chat%d.example.org" % (n % 5)
        conn.send(0, get(host, "/events?stream=%d" % n), segment=8, ack_every=16)
        body = b"".join(b"%x\r\n%s\r\n" % (len(line), line) for line in
                        (b"data: {\"seq\": %d}\n" % i for i in range(900))) + b"0\r\n\r\n"
        head = (b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n")
        conn.send(1, head + body, segment=1, ack_every=32, gap_us=15)
        conn.close()
        n += 1
    return cap


# --- 1. DASH SegmentTemplate matching ------------------------------------------------------------------

def dash_templates(target_bytes, style):
    """32 manifests of 64 representations each with a four-number SegmentTemplate, then answers whose
    addresses carry long digit runs. adjacent: the issue's $Number$$Number$$Number$$Number$; apart: the
    numbers stand apart and every template shares a long prefix with the answers, so that each answer
    is compared with every template as far as a template can be compared; shape: 2,048 short templates
    that differ only in digits (all of one shape), and short answers of that shape that none matches."""
    cap = Capture()
    host = "dash.example.com"
    adjacent = style == "adjacent"
    long_dir = "/v/" + "a" * 3800 + "/" if style == "apart" else "/v/"
    for m in range(32):
        conn = Connection(cap, server(m))
        conn.open()
        if adjacent:
            template = "seg-$RepresentationID$-$Number$$Number$$Number$$Number$.m4s"
        elif style == "apart":
            template = "$Number$.$Number$.$Number$.$Number$-$RepresentationID$.m4s"
        else:
            template = "$Number$.r$Bandwidth$.$Number$.$Number$.$Number$.m4s"
        reps = "".join('<Representation id="r%d" bandwidth="%d"/>' % (r, 100000 + r) for r in range(64))
        manifest = ('<?xml version="1.0" encoding="UTF-8"?>\n<MPD xmlns="urn:mpeg:dash:schema:mpd:2011" '
                    'type="static" mediaPresentationDuration="PT10M"><BaseURL>http://%s%s</BaseURL><Period>'
                    '<AdaptationSet mimeType="video/mp4"><SegmentTemplate media="%s" startNumber="1"/>%s'
                    '</AdaptationSet></Period></MPD>' % (host, long_dir, template, reps)).encode()
        conn.exchange(get(host, "/manifests/m%d.mpd" % m), answer(manifest, "application/dash+xml"))
        conn.close()
    n = 0
    conn = None
    while cap.size() < target_bytes:
        if n % 50 == 0:
            if conn:
                conn.close()
            conn = Connection(cap, server(100 + n))
            conn.open()
        if adjacent:
            path = "/v/seg-r%d-%s.m4s" % (n % 64, "1" * 200)
        elif style == "shape":
            path = "/v/%d.r7.1.1.1.m4s" % n
        else:
            # Too many digits for a number, and a representation no template names: every template is tried.
            path = long_dir + "%s.1.1.1-r99.m4s" % ("7" * 30)
        conn.exchange(get(host, path), answer(b"\0" * 16, "video/mp4"))
        n += 1
    conn.close()
    return cap


# --- 2. Stream names and eviction ----------------------------------------------------------------------

def hls_eviction(target_bytes, playlists):
    """Four large media playlists (100,000 short segment names each) fill the name bound; then
    `playlists` small ones, each a new stream, so that every one evicts another."""
    cap = Capture()
    host = "live.example.tv"
    for big in range(4):
        conn = Connection(cap, server(big))
        conn.open()
        # Segment lines without their #EXTINF tags: as many names as the bytes allow.
        lines = "".join("%c%06d.ts\n" % (97 + big, i) for i in range(100000))
        body = ("#EXTM3U\n#EXT-X-TARGETDURATION:2\n" + lines).encode()
        conn.exchange(get(host, "/vod/%d/index.m3u8" % big), answer(body, "application/vnd.apple.mpegurl"))
        conn.close()
    per = max(200, (target_bytes - cap.size()) // playlists - 900)
    conn = None
    for p in range(playlists):
        if p % 40 == 0:
            if conn:
                conn.close()
            conn = Connection(cap, server(10 + p // 40))
            conn.open()
        lines = []
        size = 0
        i = 0
        while size < per:
            line = "#EXTINF:4.0,\nchunk-%d-%d.ts\n" % (p, i)
            lines.append(line)
            size += len(line)
            i += 1
        body = ("#EXTM3U\n#EXT-X-TARGETDURATION:4\n" + "".join(lines)).encode()
        conn.exchange(get(host, "/live/ch%d/index.m3u8" % p), answer(body, "application/vnd.apple.mpegurl"))
    conn.close()
    return cap


def hls_long_base():
    """Playlists fetched from an 8,000-byte address, each naming 100,000 one-letter segments: every name
    resolves to an address of 8,000 bytes."""
    cap = Capture()
    host = "vod.example.tv"
    for p in range(3):
        conn = Connection(cap, server(p))
        conn.open()
        path = "/p/%d/" % p + "b" * 8000 + "/index.m3u8"
        body = ("#EXTM3U\n#EXT-X-TARGETDURATION:2\n" + "".join("%s\n" % chr(97 + i % 26)
                                                               for i in range(100000))).encode()
        conn.exchange(get(host, path), answer(body, "application/vnd.apple.mpegurl"))
        conn.close()
    return cap


# --- 3. Bytes held ahead of holes ----------------------------------------------------------------------

def client_hello(random, server_name, alpn=b"http/1.1"):
    sni = struct.pack("!HBH", len(server_name) + 3, 0, len(server_name)) + server_name
    protocols = struct.pack("!B", len(alpn)) + alpn
    extensions = (struct.pack("!HH", 0, len(sni)) + sni +
                  struct.pack("!HHH", 16, len(protocols) + 2, len(protocols)) + protocols +
                  struct.pack("!HH", 0xff01, 1) + b"\0")
    body = (b"\x03\x03" + random + b"\x20" + bytes(range(32)) + struct.pack("!H", 4) + b"\xc0\x2f\x00\x9c" +
            b"\x01\x00" + struct.pack("!H", len(extensions)) + extensions)
    message = b"\x01" + struct.pack("!I", len(body))[1:] + body
    return b"\x16\x03\x01" + struct.pack("!H", len(message)) + message


def server_hello(random):
    protocols = b"\x08http/1.1"
    extensions = struct.pack("!HHH", 16, len(protocols) + 2, len(protocols)) + protocols
    body = b"\x03\x03" + random + b"\x00" + b"\xc0\x2f" + b"\x00" + struct.pack("!H", len(extensions)) + extensions
    message = b"\x02" + struct.pack("!I", len(body))[1:] + body
    return b"\x16\x03\x03" + struct.pack("!H", len(message)) + message


def random_for(n):
    return bytes(((n * 2654435761 + i * 40503) >> 3) & 0xFF for i in range(32))


def held_ahead(target_bytes, kind, keylog_lines):
    """Connections that lose one byte, then send 1-byte segments each one byte apart (so that no two
    touch), all ahead of the hole, never acknowledged past it. kind: http, tls, h2c."""
    cap = Capture()
    n = 0
    while cap.size() < target_bytes:
        conn = Connection(cap, server(n, (203, 0, 113)), 443 if kind == "tls" else 80)
        conn.open()
        if kind == "http":
            host = "upload%d.example.com" % (n % 9)
            side = 0
            start = b""
        elif kind == "h2c":
            settings = struct.pack("!IHI", 0, 3, 100)  # MAX_CONCURRENT_STREAMS
            start = (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + struct.pack("!I", len(settings))[1:] + b"\x04\x00" +
                     struct.pack("!I", 0) + settings)
            conn.send(0, start, ack_every=1)
            conn.send(1, struct.pack("!I", 0)[1:] + b"\x04\x00" + struct.pack("!I", 0), ack_every=1)
            side = 0
        else:
            random = random_for(n)
            conn.send(0, client_hello(random, b"cdn%d.example.com" % (n % 9)), ack_every=1)
            conn.send(1, server_hello(random_for(n + 7)), ack_every=1)
            keylog_lines.append("CLIENT_RANDOM %s %s" % (random.hex(), bytes((n + i) & 0xFF for i in range(48)).hex()))
            side = 1
        # The byte at the side's next position is lost; every other byte after it comes alone.
        base = conn.sent[side]
        for i in range(21000):
            conn.segment_at(side, base + 1 + 2 * i, b"x", gap_us=12)
            if i % 64 == 63:
                conn.ack(1 - side, upto=base, gap_us=5)  # duplicate acknowledgements of the hole
            if cap.size() >= target_bytes:
                break
        n += 1
    return cap


def tls_waiting(target_bytes, keylog_lines, connections=40):
    """TLS connections whose clients send a ClientHello and then one-byte records that cannot be read
    before a ServerHello, which never comes; the connections take turns, so that all of them hold
    records at once (each stays below its own bound, all together pass the bound on all)."""
    cap = Capture()
    record = b"\x17\x03\x03\x00\x01\x00"
    open_connections = []
    for n in range(connections):
        conn = Connection(cap, server(n, (203, 0, 113)), 443)
        conn.open()
        random = random_for(1000 + n)
        keylog_lines.append("CLIENT_RANDOM %s %s" % (random.hex(), bytes((n * 3 + i) & 0xFF for i in range(48)).hex()))
        conn.send(0, client_hello(random, b"api%d.example.com" % (n % 9)), ack_every=1)
        open_connections.append(conn)
    burst = record * (MSS // len(record))
    while cap.size() < target_bytes:
        for conn in open_connections:
            conn.send(0, burst, ack_every=1)
    return cap


# --- 4. HPACK references after a cut header list -------------------------------------------------------

def hpack_integer(value, prefix_bits, first):
    limit = (1 << prefix_bits) - 1
    if value < limit:
        return bytes([first | value])
    out = bytearray([first | limit])
    value -= limit
    while value >= 128:
        out.append(value % 128 | 0x80)
        value //= 128
    out.append(value)
    return bytes(out)


def h2_frame(kind, flags, stream, payload):
    return struct.pack("!I", len(payload))[1:] + bytes([kind, flags]) + struct.pack("!I", stream) + payload


def hpack_continuation(target_bytes):
    """h2c by prior knowledge: one header block enters a 4,000-byte field into the table and then
    refers to it once per byte in CONTINUATION frames, first in a request, then in an answer."""
    cap = Capture()
    entry = hpack_integer(0, 6, 0x40) + hpack_integer(5, 7, 0) + b"x-pad" + hpack_integer(4000, 7, 0) + b"p" * 4000
    settings = h2_frame(4, 0, 0, b"")
    for turn in range(2):
        conn = Connection(cap, server(turn, (198, 51, 100)))
        conn.open()
        conn.send(0, b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + settings, ack_every=1)
        conn.send(1, settings + h2_frame(4, 1, 0, b""), ack_every=1)
        authority = b"h2.example.com"
        request = b"\x82\x86\x84" + hpack_integer(1, 6, 0x40) + hpack_integer(len(authority), 7, 0) + authority
        budget = (target_bytes // 2) - 4000
        if turn == 0:
            block = request + entry
            conn.send(0, h2_frame(1, 0x01, 1, block))
            side = 0
        else:
            conn.send(0, h2_frame(1, 0x05, 1, request), ack_every=1)
            conn.send(1, h2_frame(1, 0x00, 1, b"\x88" + entry))
            side = 1
        frames = []
        while budget > 0:
            size = min(16384, budget)
            budget -= size
            frames.append(h2_frame(9, 0x04 if budget <= 0 else 0, 1, b"\xbe" * size))
        conn.send(side, b"".join(frames))
        conn.close()
    return cap


def hpack_held(target_bytes):
    """Many h2c connections, each leaving a request's header block open: a 4,000-byte field entered into
    the table, then referred to until the header list reaches its bound. 4 KB sent hold 64 KB."""
    cap = Capture()
    entry = hpack_integer(0, 6, 0x40) + hpack_integer(5, 7, 0) + b"x-pad" + hpack_integer(4000, 7, 0) + b"p" * 4000
    settings = h2_frame(4, 0, 0, b"")
    authority = b"h2.example.com"
    request = b"\x82\x86\x84" + hpack_integer(1, 6, 0x40) + hpack_integer(len(authority), 7, 0) + authority
    n = 0
    while cap.size() < target_bytes:
        conn = Connection(cap, server(n, (198, 51, 100)))
        conn.open()
        conn.send(0, b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + settings, ack_every=1)
        conn.send(1, settings + h2_frame(4, 1, 0, b""), ack_every=1)
        conn.send(0, h2_frame(1, 0x01, 1, request + entry + b"\xbe" * 16))
        n += 1
    return cap


# --- 5. DASH manifests that expand ---------------------------------------------------------------------

def dash_manifest_capture(bodies, host="mpd.example.com"):
    cap = Capture()
    for i, body in enumerate(bodies):
        conn = Connection(cap, server(i))
        conn.open()
        conn.exchange(get(host, "/live/%d/manifest.mpd" % i), answer(body, "application/dash+xml"))
        conn.close()
    return cap


def entity_manifest():
    """A large comment, then a document type declaring nested entities: 10^9 bytes if expanded."""
    entities = '<!ENTITY e0 "%s">' % ("v" * 64)
    for i in range(1, 10):
        entities += '<!ENTITY e%d "%s">' % (i, ("&e%d;" % (i - 1)) * 10)
    tail = ('<!DOCTYPE MPD [%s]>\n<MPD xmlns="urn:mpeg:dash:schema:mpd:2011"><Period><AdaptationSet>'
            '<Representation id="&e9;"><BaseURL>&e9;</BaseURL></Representation></AdaptationSet></Period></MPD>'
            % entities)
    head = '<?xml version="1.0" encoding="UTF-8"?>\n<!--'
    comment = "c" * (2000000 - len(head) - len(tail) - 4)
    return (head + comment + "-->\n" + tail).encode()


def inherited_manifest(attribute_bytes, elements):
    """A SegmentTemplate with a very long media attribute, inherited by a great many representations."""
    head = ('<?xml version="1.0"?><MPD xmlns="urn:mpeg:dash:schema:mpd:2011"><Period><AdaptationSet>'
            '<SegmentTemplate media="s-$Number$-%s.m4s"/>' % ("m" * attribute_bytes))
    return (head + "<Representation/>" * elements + "</AdaptationSet></Period></MPD>").encode()


def base_manifest(base_bytes, elements):
    """A long BaseURL that tens of thousands of one-letter SegmentURLs resolve against."""
    head = ('<?xml version="1.0"?><MPD xmlns="urn:mpeg:dash:schema:mpd:2011"><Period><AdaptationSet>'
            '<BaseURL>http://cdn.example.com/%s/</BaseURL><Representation id="v"><SegmentList>' % ("d" * base_bytes))
    return (head + '<SegmentURL media="a"/>' * elements + "</SegmentList></Representation></AdaptationSet>"
            "</Period></MPD>").encode()


# --- 8. Extreme capture times --------------------------------------------------------------------------

def video_fetches(cap, count, interface=0):
    for n in range(count):
        conn = Connection(cap, server(n), interface=interface)
        conn.open()
        conn.exchange(get("clips%d.example.net" % n, "/v/clip%d.mp4" % n), answer(mp4_body(200000, n), "video/mp4"))
        conn.close()


def pcapng_times(path):
    """Interfaces whose if_tsoffset and if_tsresol push the 64-bit timestamps to the edges of every type."""
    def option(code, value):
        return struct.pack("<HH", code, len(value)) + value + b"\0" * (-len(value) % 4)

    interfaces = [
        option(14, struct.pack("<q", 0x7FFFFFFFFFFFFFFF)),                         # if_tsoffset: the largest
        option(14, struct.pack("<q", -0x8000000000000000)),                        # the smallest
        option(9, b"\x00") + option(14, struct.pack("<q", -0x7FFFFFFFFFFFFFFF)),  # 1 unit per second
        option(9, b"\xbf"),                                                        # 2^-63 s units
        option(9, b"\x13") + option(14, struct.pack("<q", 0x7FFFFFFF00000000)),   # 10^-19 s units
    ]
    cap = Capture()
    for interface in range(len(interfaces)):
        video_fetches(cap, 3, interface)
    extremes = [0xFFFFFFFFFFFFFFFF, 0, 0x8000000000000000, 0x7FFFFFFFFFFFFFFF, 1]

    def units(i, micros):
        # Times that jump between the extremes, and otherwise run on.
        return extremes[i % len(extremes)] if i % 3 == 0 else micros
    cap.write_pcapng(path, interfaces, units)
    return cap


def pcap_times(path, nanoseconds):
    cap = Capture()
    video_fetches(cap, 12)
    extremes = [(0xFFFFFFFF, 999999), (0x7FFFFFFF, 0), (0x80000000, 0), (0, 0), (0xFFFFFFFF, 0xFFFFFFFF),
                (START_SECONDS, 999999999 if nanoseconds else 999999), (0x80000000, 0xFFFFFFFF)]
    cap.write_pcap(path, nanoseconds=nanoseconds, raw_times=extremes)
    return cap


# --- The list --------------------------------------------------------------------------------------------

def build(name, folder):
    path = os.path.join(folder, name)
    keys = []
    if name == "plain-300k.pcap":
        cap = plain(300 * 1024)
    elif name == "plain-3m.pcap":
        cap = plain(3 * 1024 * 1024)
    elif name == "plain-small-segments.pcap":
        cap = plain_small_segments(3 * 1024 * 1024)
    elif name == "1-dash-templates-adjacent.pcap":
        cap = dash_templates(284 * 1024, "adjacent")
    elif name == "1-dash-templates-apart.pcap":
        cap = dash_templates(3 * 1024 * 1024, "apart")
    elif name == "1-dash-templates-shape.pcap":
        cap = dash_templates(3 * 1024 * 1024, "shape")
    elif name == "2-stream-eviction.pcap":
        cap = hls_eviction(int(7.3 * 1024 * 1024), 2000)
    elif name == "2-hls-long-base.pcap":
        cap = hls_long_base()
    elif name == "3a-held-http.pcap":
        cap = held_ahead(3 * 1024 * 1024, "http", keys)
    elif name == "3a-held-http-40m.pcap":
        cap = held_ahead(40 * 1024 * 1024, "http", keys)
    elif name == "3b-held-tls.pcap":
        cap = held_ahead(3 * 1024 * 1024, "tls", keys)
    elif name == "3c-held-h2c.pcap":
        cap = held_ahead(3 * 1024 * 1024, "h2c", keys)
    elif name == "3d-tls-waiting.pcap":
        cap = tls_waiting(3 * 1024 * 1024, keys)
    elif name == "4-hpack-continuation.pcap":
        cap = hpack_continuation(int(3.4 * 1024 * 1024))
    elif name == "4b-hpack-held.pcap":
        cap = hpack_held(int(3.4 * 1024 * 1024))
    elif name == "4b-hpack-held-20m.pcap":
        cap = hpack_held(20 * 1024 * 1024)
    elif name == "5a-dash-entities.pcap":
        cap = dash_manifest_capture([entity_manifest()])
    elif name == "5b-dash-inherited.pcap":
        cap = dash_manifest_capture([inherited_manifest(1000000, 55000)])
    elif name == "5c-dash-long-base.pcap":
        cap = dash_manifest_capture([base_manifest(8000, 85000)])
    elif name == "8a-pcapng-times.pcapng":
        pcapng_times(path)
        return
    elif name == "8b-pcap-times.pcap":
        pcap_times(path, False)
        return
    elif name == "8c-pcap-times-ns.pcap":
        pcap_times(path, True)
        return
    else:
        raise SystemExit("unknown capture " + name)
    cap.write_pcap(path)
    if keys:
        with open(path.rsplit(".", 1)[0] + ".keylog", "w") as handle:
            handle.write("# throw-away secrets of crafted connections\n" + "\n".join(keys) + "\n")


NAMES = [
    "plain-300k.pcap", "plain-3m.pcap", "plain-small-segments.pcap",
    "1-dash-templates-adjacent.pcap", "1-dash-templates-apart.pcap", "1-dash-templates-shape.pcap",
    "2-stream-eviction.pcap", "2-hls-long-base.pcap",
    "3a-held-http.pcap", "3a-held-http-40m.pcap", "3b-held-tls.pcap", "3c-held-h2c.pcap", "3d-tls-waiting.pcap",
    "4-hpack-continuation.pcap", "4b-hpack-held.pcap", "4b-hpack-held-20m.pcap",
    "5a-dash-entities.pcap", "5b-dash-inherited.pcap", "5c-dash-long-base.pcap",
    "8a-pcapng-times.pcapng", "8b-pcap-times.pcap", "8c-pcap-times-ns.pcap",
]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", nargs="?")
    parser.add_argument("--only", nargs="*", help="write only these captures")
    parser.add_argument("--list", action="store_true", help="print the names and stop")
    options = parser.parse_args()
    if options.list:
        print("\n".join(NAMES))
        return
    if not options.folder:
        parser.error("the folder to write the captures into is missing")
    os.makedirs(options.folder, exist_ok=True)
    for name in options.only or NAMES:
        build(name, options.folder)
        print("%-32s %9d bytes" % (name, os.path.getsize(os.path.join(options.folder, name))), file=sys.stderr)


if __name__ == "__main__":
    main()
