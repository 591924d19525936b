// SPDX-License-Identifier: GPL-3.0-or-later
// Builds the datagrams of a QUIC connection carrying HTTP/3, protected as a real peer protects them,
// for feeding the QUIC reader: Initial packets with the hellos, then 1-RTT packets with key updates.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/quic/QuicPacketProtection.h"
#include "capture/quic/QuicVersion.h"
#include "capture/stream/StreamDirection.h"

namespace tarnwick::testing {

// The secrets are made up here at random, and kept in the NSS key log format for the reader.
class QuicTestConnection {
public:
    struct Datagram {
        StreamDirection direction;
        std::vector<uint8_t> bytes;
    };

    explicit QuicTestConnection(uint32_t version = QuicVersion::kVersion1);
    ~QuicTestConnection();

    // The client's Initial (a ClientHello naming serverName) and the server's (a ServerHello choosing
    // TLS_AES_128_GCM_SHA256), each in its own datagram.
    void Handshake(const std::string& serverName = "videohost.test");
    // A 1-RTT packet of one side with these frames.
    void Send(StreamDirection from, const std::vector<uint8_t>& frames);
    // A 0-RTT packet of the client, sent right after its Initial (call after Handshake()).
    void SendEarly(const std::vector<uint8_t>& frames);
    // One side moves to its next key phase from its next packet on.
    void UpdateKeys(StreamDirection side);
    // The same packet again (as a peer resends, or as a capture sees it twice), or held back: the next
    // call of Release() sends the packets held in the order given.
    void HoldNext() { holding_ = true; }
    void Release();
    // The server hands out another connection ID (a NEW_CONNECTION_ID frame), and the client sends to
    // it from then on.
    void NewServerId();
    // What the next datagrams of the client come from is another port (the path changed).
    void MoveClient() { datagrams_.push_back({StreamDirection::ClientToServer, {}}); }

    // An empty datagram of the client marks where its port changes.
    const std::vector<Datagram>& Datagrams() const { return datagrams_; }
    const std::string& KeyLog() const { return keyLog_; }

    // Frames: a STREAM frame with offset and length; an HTTP/3 frame; a static-only QPACK header block.
    static std::vector<uint8_t> StreamFrame(uint64_t id, uint64_t offset, const std::vector<uint8_t>& data, bool fin);
    static std::vector<uint8_t> Http3Frame(uint64_t type, const std::vector<uint8_t>& payload);
    static std::vector<uint8_t> RequestBlock(const std::string& authority, const std::string& path);
    static std::vector<uint8_t> AnswerBlock(const std::string& contentType);

private:
    struct Side;
    std::vector<uint8_t> Protect(Side& side, bool initial, const std::vector<uint8_t>& frames);

    uint32_t version_;
    std::unique_ptr<Side> sides_[2];
    std::vector<Datagram> datagrams_;
    std::vector<Datagram> held_;
    bool holding_ = false;
    std::string keyLog_;
    std::vector<uint8_t> clientId_, serverId_;
    QuicPacketKeys earlyKeys_;
};

}  // namespace tarnwick::testing
