#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Writes the seed inputs of the reassembly, TLS, key log and HTTP/1 fuzz targets into corpus/<target>/.

The TLS seeds are real conversations between Python's ssl client and server in memory, each with the
key log its client wrote (throw-away secrets of a throw-away certificate made with openssl)."""
import os
import random
import ssl
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def chunks(parts):
    """parts: (direction 0 client / 1 server, bytes) -> the chunk format of FuzzChunks.h"""
    return b"".join(bytes([d]) + struct.pack("<H", len(b)) + b for d, b in parts)


def reassembly_seeds():
    rng = random.Random(15)
    for name, count in (("in-order", 20), ("shuffled", 60), ("many", 200)):
        ops = []
        for side in (0, 1):
            offset = 0
            for _ in range(count // 2):
                length = rng.randint(1, 1400)
                ops.append((side, offset, length))
                offset += length
        first = ops.pop(0)
        if name != "in-order":
            rng.shuffle(ops)
            ops += [ops[rng.randrange(len(ops))] for _ in range(count // 5)]
        data = struct.pack("<BBHH", 0x10, 0, first[1], first[2])
        for side, offset, length in ops:
            control = side | (rng.choice([0, 0, 0, 2, 4]) if name == "many" else 0)
            data += struct.pack("<BBHH", control, 0, offset & 0xFFFF, length)
        write("stream_reassembly", name, data)


def get(path, host=b"videohost"):
    return b"GET " + path + b" HTTP/1.1\r\nHost: " + host + b"\r\nAccept: */*\r\n\r\n"


def http1_seeds():
    flv = b"FLV\x01\x05" + bytes(200)
    write("http1_stream", "keepalive", chunks([
        (0, get(b"/a.mp4") + get(b"/b.flv") + get(b"/c.bin")),
        (1, b"HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 10\r\n\r\n0123456789"),
        (1, b"HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 205\r\n\r\n" + flv),
        (1, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nFLV\r\n2;x=y\r\nab\r\n0\r\n\r\n")]))
    write("http1_stream", "response-first", chunks([
        (1, b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Type: video/webm\r\n\r\nwebm"),
        (0, b"GET /late HTTP/1.1\r\n\r\n"), (1, b"more body")]))
    write("http1_stream", "head-and-204", chunks([
        (0, b"HEAD /x HTTP/1.1\r\nHost: h\r\n\r\n" + get(b"/y") + b"POST /z HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"),
        (1, b"HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n"),
        (1, b"HTTP/1.1 101 Switching Protocols\r\n\r\n")]))


def keylog_seeds():
    r = "ab" * 32
    write("tls_keylog", "labels", b"\x00" + (
        "# comment\nCLIENT_RANDOM %s %s\nCLIENT_HANDSHAKE_TRAFFIC_SECRET %s %s\r\n"
        "SERVER_TRAFFIC_SECRET_0 %s %s\nEXPORTER_SECRET %s %s\nCLIENT_RANDOM %s zz\n"
        % (r, "11" * 48, r, "22" * 32, r, "33" * 48, r, "44" * 32, r)).encode() + bytes.fromhex(r))
    write("tls_keylog", "pieces", b"\x07" + ("CLIENT_RANDOM %s %s\nCLIENT_RANDOM %s" % (r, "55" * 48, r)).encode())


def make_certificate(folder):
    key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=videohost"],
                   check=True, capture_output=True)
    return cert, key


def conversation(folder, cert, key, version, cipher, alpn, exchanges):
    """Runs a TLS conversation in memory; returns (key log text, [(direction, bytes)])."""
    keylog = os.path.join(folder, "keys-%s.log" % cipher)
    client_context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    client_context.check_hostname = False
    client_context.verify_mode = ssl.CERT_NONE
    client_context.keylog_filename = keylog
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(cert, key)
    for context in (client_context, server_context):
        context.minimum_version = context.maximum_version = version
        if version == ssl.TLSVersion.TLSv1_2:
            context.set_ciphers(cipher)
    if alpn:
        client_context.set_alpn_protocols(alpn)
        server_context.set_alpn_protocols(alpn)
    bios = [ssl.MemoryBIO() for _ in range(4)]  # client in/out, server in/out
    client = client_context.wrap_bio(bios[0], bios[1], server_hostname="videohost")
    server = server_context.wrap_bio(bios[2], bios[3], server_side=True)
    wire = []

    def pump():
        for source, sink, direction in ((bios[1], bios[2], 0), (bios[3], bios[0], 1)):
            data = source.read()
            if data:
                wire.append((direction, data))
                sink.write(data)

    for _ in range(10):
        for side in (client, server):
            try:
                side.do_handshake()
            except ssl.SSLWantReadError:
                pass
        pump()
    for direction, text in exchanges:
        (client if direction == 0 else server).write(text)
        pump()
        try:
            (server if direction == 0 else client).read(1 << 20)
        except ssl.SSLWantReadError:
            pass
        pump()
    with open(keylog) as f:
        return f.read().encode(), wire


def tls_seeds():
    response = b"HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 40\r\n\r\n" + bytes(40)
    exchanges = [(0, get(b"/clip.mp4")), (1, response), (0, get(b"/next.flv")),
                 (1, b"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nFLV")]
    cases = [(ssl.TLSVersion.TLSv1_3, "TLS_AES_128_GCM_SHA256", None),
             (ssl.TLSVersion.TLSv1_2, "ECDHE-ECDSA-AES256-GCM-SHA384", ["http/1.1"]),
             (ssl.TLSVersion.TLSv1_2, "ECDHE-ECDSA-CHACHA20-POLY1305", None),
             (ssl.TLSVersion.TLSv1_3, "TLS_AES_256_GCM_SHA384", ["h2", "http/1.1"])]
    with tempfile.TemporaryDirectory() as folder:
        cert, key = make_certificate(folder)
        for version, cipher, alpn in cases:
            keylog, wire = conversation(folder, cert, key, version, cipher, alpn, exchanges)
            write("tls", cipher, struct.pack("<H", len(keylog)) + keylog + chunks(wire))
            # The hello bodies and the server's first flight, for the handshake reader.
            client_hello, server_flight = wire[0][1], wire[1][1]
            write("tls_handshake", "client-hello-" + cipher, b"\x00" + client_hello[9:])
            server_hello_length = struct.unpack(">I", b"\x00" + server_flight[6:9])[0]
            write("tls_handshake", "server-hello-" + cipher, b"\x01" + server_flight[9:9 + server_hello_length])
            write("tls_handshake", "messages-" + cipher, b"\x05" + client_hello[5:])


if __name__ == "__main__":
    reassembly_seeds()
    http1_seeds()
    keylog_seeds()
    tls_seeds()
