#!/usr/bin/env python3
"""Serves generated video-like files on a loopback address for recording the test captures."""
import http.server
import socket
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
}


def body_of(size, flv):
    start = b"FLV\x01\x05\x00\x00\x00\x09" if flv else b"\x00\x00\x00\x18ftypmp42"
    filler = bytes((i * 7) & 0xFF for i in range(size - len(start)))
    return start + filler


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        path = self.path.split("?")[0]
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
    (Server6 if ":" in address else Server)((address, port), Handler).serve_forever()
