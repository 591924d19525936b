// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the handshake message reader and the hello parsers, each on raw bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/tls/TlsHandshakeReader.h"
#include "capture/tls/TlsHello.h"

// Input: one byte choosing the reader (0: ClientHello body, 1: ServerHello body, 2: EncryptedExtensions
// body, else: handshake messages cut into pieces of that byte's size), then its bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    if (size < 1) return 0;
    const std::span<const uint8_t> bytes(data + 1, size - 1);
    switch (data[0]) {
        case 0: {
            TlsClientHello hello;
            TlsClientHello::Parse(bytes, hello);
            break;
        }
        case 1: {
            TlsServerHello hello;
            TlsServerHello::Parse(bytes, hello);
            break;
        }
        case 2: {
            TlsEncryptedExtensions extensions;
            TlsEncryptedExtensions::Parse(bytes, extensions);
            break;
        }
        default: {
            TlsHandshakeReader reader;
            std::span<const uint8_t> rest = bytes;
            while (!rest.empty()) {
                const auto piece = rest.first(std::min<size_t>(data[0], rest.size()));
                rest = rest.subspan(piece.size());
                const bool more = reader.Feed(piece, [](uint8_t type, std::span<const uint8_t> body) {
                    TlsClientHello client;
                    TlsServerHello server;
                    if (type == TlsHandshakeReader::kClientHello) TlsClientHello::Parse(body, client);
                    if (type == TlsHandshakeReader::kServerHello) TlsServerHello::Parse(body, server);
                    return true;
                });
                if (!more) break;
            }
        }
    }
    return 0;
}
