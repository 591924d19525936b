// SPDX-License-Identifier: GPL-3.0-or-later
// A real TLS conversation between an OpenSSL client and server in memory, for feeding the decryption.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/stream/StreamDirection.h"

namespace tarnwick::testing {

struct TlsTestOptions {
    bool tls13 = true;
    std::string suites;  // TLS 1.3 suite names, or a TLS 1.2 cipher list
    std::string serverName = "videohost.test";
    std::vector<std::string> clientAlpn;  // offered protocols; the server picks the first it knows
    bool helloRetry = false;              // make the server ask for another key share
};

// Each side's bytes are recorded in the order they were written, as a capture would see them, and
// every secret OpenSSL logs is kept in the NSS key log format.
class TlsTestSession {
public:
    struct Chunk {
        StreamDirection direction;
        std::vector<uint8_t> bytes;
    };

    explicit TlsTestSession(const TlsTestOptions& options);
    ~TlsTestSession();

    bool Handshake();
    void ClientSends(const std::string& text);
    void ServerSends(const std::string& text);
    // A TLS 1.3 key update by one side.
    void UpdateKey(StreamDirection by);

    const std::vector<Chunk>& Wire() const { return wire_; }
    const std::string& KeyLog() const;
    std::string NegotiatedCipher() const;

private:
    struct Impl;
    void Pump();
    std::unique_ptr<Impl> impl_;
    std::vector<Chunk> wire_;
};

}  // namespace tarnwick::testing
