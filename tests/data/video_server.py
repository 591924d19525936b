#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Serves generated video-like files on a loopback address for recording the test captures.

Usage: video_server.py ADDRESS PORT [--media FOLDER | --tls CERT KEY DHPARAMS]"""
import http.server
import os
import re
import socket
import ssl
import sys

# path -> (content type or None, size, body starts with FLV, header and body in one write)
FILES = {
    "/clip.mp4": ("video/mp4", 200000, False, False),
    "/movie.flv": ("video/x-flv", 150000, True, False),
    "/inline.flv": ("video/x-flv", 160000, True, True),
    "/small.mp4": ("video/mp4", 50000, False, False),
    "/page.html": ("text/html", 120000, False, False),
    "/untyped.bin": ("application/octet-stream", 130000, True, True),
    "/same-size.mp4": ("video/mp4", 200000, False, False),
    # Smaller files for the TLS captures, which keep every byte.
    "/tls-clip.mp4": ("video/mp4", 100100, False, False),
    "/tls-untyped.bin": ("application/octet-stream", 100200, True, True),
    "/tls-page.html": ("text/html", 3000, False, True),
}
# Sent with chunked transfer coding: path -> (content type, size)
CHUNKED = {"/tls-chunked.html": ("text/html", 5000)}


# Files that make-captures.sh made with ffmpeg, served from the media folder: /media/PATH with the type of
# its extension, /octet/PATH as a plain byte stream. Both answer a single byte range with 206.
MEDIA_TYPES = {
    ".m3u8": "application/vnd.apple.mpegurl",
    ".mpd": "application/dash+xml",
    ".ts": "video/mp2t",
    ".m4s": "video/iso.segment",
    ".mp4": "video/mp4",
    ".webm": "video/webm",
}
media_folder = None


def serve_media(handler, path):
    prefix, _, name = path.lstrip("/").partition("/")
    if prefix not in ("media", "octet") or media_folder is None or ".." in name.split("/"):
        return False
    file = os.path.join(media_folder, name)
    if not os.path.isfile(file):
        return False
    with open(file, "rb") as source:
        body = source.read()
    content_type = "application/octet-stream"
    if prefix == "media":
        content_type = MEDIA_TYPES.get(os.path.splitext(name)[1], "application/octet-stream")
    status, extra = "200 OK", ""
    wanted = re.fullmatch(r"bytes=(\d+)-(\d*)", handler.headers.get("Range", ""))
    if wanted:
        first = int(wanted.group(1))
        last = min(int(wanted.group(2)) if wanted.group(2) else len(body) - 1, len(body) - 1)
        status, extra = "206 Partial Content", "Content-Range: bytes %d-%d/%d\r\n" % (first, last, len(body))
        body = body[first:last + 1]
    header = ("HTTP/1.1 %s\r\nServer: test\r\nContent-Type: %s\r\n%sContent-Length: %d\r\n\r\n"
              % (status, content_type, extra, len(body))).encode()
    handler.wfile.write(header)
    handler.wfile.flush()
    handler.wfile.write(body)
    return True


def body_of(size, flv):
    start = b"FLV\x01\x05\x00\x00\x00\x09" if flv else b"\x00\x00\x00\x18ftypmp42"
    filler = bytes((i * 7) & 0xFF for i in range(size - len(start)))
    return start + filler


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        path = self.path.split("?")[0]
        if serve_media(self, path):
            return
        if path in CHUNKED:
            content_type, size = CHUNKED[path]
            body = body_of(size, False)
            self.wfile.write(("HTTP/1.1 200 OK\r\nContent-Type: %s\r\nTransfer-Encoding: chunked\r\n\r\n"
                              % content_type).encode())
            for at in range(0, size, 1500):
                piece = body[at:at + 1500]
                self.wfile.write(b"%x;piece\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
            return
        if path not in FILES:
            self.send_error(404)
            return
        content_type, size, flv, together = FILES[path]
        body = body_of(size, flv)
        header = ("HTTP/1.1 200 OK\r\nServer: test\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n"
                  % (content_type, size)).encode()
        if together:
            self.wfile.write(header + body)
        else:
            self.wfile.write(header)
            self.wfile.flush()
            self.wfile.write(body)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET


class Server6(http.server.ThreadingHTTPServer):
    address_family = socket.AF_INET6


if __name__ == "__main__":
    address, port = sys.argv[1], int(sys.argv[2])
    if len(sys.argv) == 5 and sys.argv[3] == "--media":
        media_folder = sys.argv[4]
    server = (Server6 if ":" in address else Server)((address, port), Handler)
    if len(sys.argv) == 7 and sys.argv[3] == "--tls":
        # Every suite the tests force from the client side, TLS 1.2 and 1.3, with http/1.1 chosen by ALPN.
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[4], sys.argv[5])
        context.load_dh_params(sys.argv[6])
        context.set_ciphers("ALL:@SECLEVEL=0")
        context.set_alpn_protocols(["http/1.1"])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    server.serve_forever()
