#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks the browser captures against tshark, which decodes them on its own.

For each capture (all of this folder's by default), tshark decrypts it with the capture's key log and
lists every answer with the request it belongs to; a segment is every 2xx answer for a file of the
stream's folder (/hls/ or /dash/) that is not a playlist. Distinct segment addresses are counted once
each, and their Content-Lengths (the DATA or body bytes where an answer has none) are summed. The
expected file must hold exactly one stream, whose last line has that count and that sum. With
--tarnwick, the program's output for the capture is compared with the expected file as well.

Usage: check-browser-captures.py [--tarnwick path/to/tarnwick] [capture.pcap ...]
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PLAYLISTS = ('.m3u8', '.mpd')


def as_list(value):
    if value is None:
        return []
    return value if isinstance(value, list) else [value]


def find(tree, key):
    """The first value of key anywhere in a tshark JSON tree (HTTP/1 puts the status line's fields
    one level down, under the line itself)."""
    if isinstance(tree, dict):
        if key in tree:
            return tree[key]
        for value in tree.values():
            found = find(value, key)
            if found is not None:
                return found
    elif isinstance(tree, list):
        for value in tree:
            found = find(value, key)
            if found is not None:
                return found
    return None


def tshark_layers(capture, keylog):
    command = ['tshark', '-r', capture, '-T', 'json', '--no-duplicate-keys', '-J', 'tcp http http2',
               '-Y', 'http or http2', '-o', 'tcp.desegment_tcp_streams:TRUE',
               # The clear-text HTTP/2 captures run on port 8080, which tshark reads as HTTP: the
               # preface switches it over for prior knowledge, the 101 answer for the Upgrade.
               '-o', 'http.desegment_body:TRUE']
    if keylog:
        command += ['-o', 'tls.keylog_file:' + keylog]
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    for packet in json.loads(output or '[]'):
        yield packet['_source']['layers']


class Exchange:
    def __init__(self):
        self.path = None
        self.status = None
        self.length = None  # Content-Length
        self.body = 0       # DATA bytes seen (HTTP/2)


def answers(capture, keylog):
    """(path, status, length) of every answer tshark pairs with a request."""
    found = []
    h2 = {}
    for layers in tshark_layers(capture, keylog):
        connection = layers.get('tcp', {}).get('tcp.stream')
        for http in as_list(layers.get('http')):
            code, uri = find(http, 'http.response.code'), find(http, 'http.response_for.uri')
            if code is not None and uri is not None:
                path = '/' + uri.split('://', 1)[-1].split('/', 1)[-1] if '://' in uri else uri
                length = find(http, 'http.content_length_header')
                if length is None:
                    length = find(http, 'http.content_length')
                found.append((path, int(code), int(length) if length is not None else None))
        for layer in as_list(layers.get('http2')):
            for frame in as_list(layer.get('http2.stream')):
                stream = frame.get('http2.streamid')
                kind = frame.get('http2.type')
                exchange = h2.setdefault((connection, stream), Exchange())
                if kind == '0':
                    exchange.body += int(frame.get('http2.length', '0')) - int(frame.get('http2.pad_length', '0'))
                for header in as_list(frame.get('http2.header')):
                    name, value = header.get('http2.header.name'), header.get('http2.header.value')
                    if name == ':path':
                        exchange.path = value
                    elif name == ':status':
                        exchange.status = int(value)
                    elif name == 'content-length':
                        exchange.length = int(value)
    for exchange in h2.values():
        if exchange.path is not None and exchange.status is not None:
            found.append((exchange.path, exchange.status,
                          exchange.length if exchange.length is not None else exchange.body))
    return found


def segments_fetched(capture, keylog):
    sizes = {}
    for path, status, length in answers(capture, keylog):
        path = path.split('?', 1)[0]
        if not (path.startswith('/hls/') or path.startswith('/dash/')) or path.endswith(PLAYLISTS):
            continue
        if 200 <= status < 300 and path not in sizes:
            sizes[path] = length or 0
    return len(sizes), sum(sizes.values())


def last_line(expected):
    with open(expected) as lines:
        entries = [json.loads(line) for line in lines if line.strip()]
    serials = {entry['serial'] for entry in entries}
    return entries[-1] if entries else None, len(serials)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--tarnwick')
    parser.add_argument('captures', nargs='*')
    options = parser.parse_args()
    captures = options.captures or sorted(os.path.join(HERE, name) for name in os.listdir(HERE)
                                          if name.endswith('.pcap'))
    failures = 0
    for capture in captures:
        base = capture[:-len('.pcap')]
        keylog = base + '.keylog' if os.path.exists(base + '.keylog') else None
        count, size = segments_fetched(capture, keylog)
        entry, streams = last_line(base + '.expected.jsonl')
        agreed = entry is not None and streams == 1 and entry['segments'] == count and entry['size'] == size
        verdict = 'agrees' if agreed else 'DISAGREES'
        written = f"{entry['segments']} segments, {entry['size']} bytes, {streams} stream(s)" if entry else 'nothing'
        print(f'{os.path.basename(capture)}: tshark {count} segments, {size} bytes; expected file {written}: {verdict}')
        failures += not agreed
        if options.tarnwick:
            command = [options.tarnwick, '--headless', '--json', '--read', capture]
            if keylog:
                command += ['--keylog', keylog]
            output = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ, TZ='GMT0')).stdout
            with open(base + '.expected.jsonl') as expected:
                same = output == expected.read()
            lines = [json.loads(line) for line in output.splitlines() if line.strip()]
            said = f"{lines[-1]['segments']} segments, {lines[-1]['size']} bytes" if lines else 'nothing'
            print(f"  tarnwick prints {len(lines)} line(s), last {said}: {'same as' if same else 'DIFFERS from'} "
                  'the expected file')
            failures += not same
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
