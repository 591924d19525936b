// SPDX-License-Identifier: GPL-3.0-or-later
// One QUIC connection: its packet keys (Initial from the client's first connection ID, the rest from the
// key log), its packets opened in order of arrival, and its streams handed to the HTTP/3 reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "capture/limits/CaptureLimits.h"
#include "capture/message/HttpExchangeSink.h"
#include "capture/quic/Http3Connection.h"
#include "capture/quic/QuicFrameReader.h"
#include "capture/quic/QuicPacketHeader.h"
#include "capture/quic/QuicPacketProtection.h"
#include "capture/quic/QuicStatistics.h"
#include "capture/quic/QuicStreamAssembler.h"
#include "capture/tls/TlsCipherSuite.h"
#include "capture/tls/TlsHandshakeReader.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

struct QuicConnectionLimits {
    size_t maxHeldBytes = 4u << 20;  // stream data ahead of holes and packets waiting for keys
    int64_t keyWaitMs = 10'000;
    size_t maxStreams = 256;
    size_t maxHeaderList = 64 * 1024;
    size_t maxTableBytes = 64 * 1024;
    ByteBudget* budget = nullptr;  // all QUIC connections of the thread
    LimitHits* hits = nullptr;
};

// Packets are opened as they come: a packet whose keys the key log does not hold yet waits (within the
// bound of held bytes and the key wait) and is opened once they appear. A packet that fails
// authentication is dropped, as a receiver would drop it: it may be forged, or a stray of another
// connection. Without a key log only the Initial packets are opened, for the server name.
class QuicConnection final : private QuicFrameReader::Handler {
public:
    struct Start {
        ConnectionFacts facts;  // the client's and server's addresses; scheme and transport are set here
        uint32_t version = 0;
        std::span<const uint8_t> originalDestinationId;
    };

    QuicConnection(const Start& start, TlsKeyLog* keyLog, HttpExchangeSink& sink, QuicStatistics& statistics,
                   QuicConnectionLimits limits);
    ~QuicConnection();
    QuicConnection(const QuicConnection&) = delete;
    QuicConnection& operator=(const QuicConnection&) = delete;

    // One packet of this connection, cut from its datagram with its header read; packet may be changed.
    void OnPacket(StreamDirection direction, const QuicPacketHeader& header, std::span<uint8_t> packet, int64_t timeMs);
    // Looks into the key log again for waiting packets; gives them up after the key wait.
    void Retry(int64_t nowMs);
    // The capture or the connection ended: waiting packets get one last look.
    void End();

    // Connection IDs the sides handed out since the last call, with the direction of the packets that
    // will carry them.
    std::vector<std::pair<std::vector<uint8_t>, StreamDirection>> TakeNewIds() { return std::move(newIds_); }
    // The ClientHello was read (its server name is known).
    bool HelloRead() const { return helloRead_; }
    const std::string& ServerName() const { return facts_.serverName; }
    bool Closed() const { return closed_; }
    bool Waiting() const { return !waiting_.empty(); }
    int64_t LastSeenMs() const { return lastSeenMs_; }
    size_t HeldBytes() const { return held_; }

private:
    // The packet number spaces, and the keys of each; early (0-RTT) packets have keys of their own but
    // number their packets in the application space, and carry what 1-RTT packets carry.
    enum Space : uint8_t { kInitial = 0, kHandshake = 1, kApplication = 2, kEarly = 3 };
    static Space NumberSpace(Space keys) { return keys == kEarly ? kApplication : keys; }

    struct Keys {
        std::unique_ptr<QuicPacketProtection> current = std::make_unique<QuicPacketProtection>();
        QuicPacketKeys currentKeys;
        // 1-RTT only: the next key phase's keys (made when first needed), and the phase before this one,
        // for packets sent before the update that arrive after it.
        std::unique_ptr<QuicPacketProtection> next;
        QuicPacketKeys nextKeys;
        std::unique_ptr<QuicPacketProtection> previous;
        bool phase = false;
        uint64_t firstOfPhase = 0;
        uint32_t version = 0;
    };
    struct Side {
        Keys keys[4];
        std::optional<uint64_t> largest[3];
        QuicStreamAssembler crypto;  // the Initial space's handshake bytes
        TlsHandshakeReader handshake;
    };
    struct WaitingPacket {
        StreamDirection direction;
        std::vector<uint8_t> bytes;
        size_t destinationIdLength;
    };

    // Opens a packet; false when its keys are not known yet (it may wait).
    bool Open(StreamDirection direction, const QuicPacketHeader& header, std::span<uint8_t> packet);
    bool InstallKeys(StreamDirection direction, Space space);
    bool InstallInitialKeys(uint32_t version);
    std::optional<size_t> OpenApplication(Side& side, const QuicUnprotectedHeader& unprotected, uint64_t number,
                                          std::span<const uint8_t> header, std::span<const uint8_t> payload);
    void Hold(StreamDirection direction, const QuicPacketHeader& header, std::span<const uint8_t> packet);
    bool Take(size_t bytes);
    void Give(size_t bytes);
    void LookUpSecrets(bool force);

    void OnCrypto(uint64_t offset, std::span<const uint8_t> bytes) override;
    void OnStream(uint64_t streamId, uint64_t offset, std::span<const uint8_t> bytes, bool fin) override;
    void OnResetStream(uint64_t streamId) override;
    void OnNewConnectionId(std::span<const uint8_t> connectionId) override;
    void OnConnectionClose() override { closed_ = true; }
    bool OnHandshakeMessage(StreamDirection direction, uint8_t type, std::span<const uint8_t> body);

    ConnectionFacts facts_;
    TlsKeyLog* keyLog_;
    HttpExchangeSink& sink_;
    QuicStatistics& statistics_;
    QuicConnectionLimits limits_;
    std::vector<uint8_t> originalDestinationId_;
    uint32_t version_ = 0;  // the server's, once it answered
    std::vector<uint8_t> plaintext_;
    Side sides_[2];
    TlsClientRandom clientRandom_{};
    bool helloRead_ = false;
    std::optional<TlsCipherSuite> suite_;
    bool unsupported_ = false;
    TlsSessionSecrets secrets_;
    bool secretsComplete_ = false;
    int64_t lastLookupMs_ = INT64_MIN / 2;
    std::unique_ptr<Http3Connection> http3_;
    std::map<std::pair<uint64_t, int>, QuicStreamAssembler> streams_;
    uint64_t forgottenBelow_[4] = {0, 0, 0, 0};  // per stream type: IDs below were let go
    std::deque<WaitingPacket> waiting_;
    int64_t waitingSince_ = 0;
    std::vector<std::pair<std::vector<uint8_t>, StreamDirection>> newIds_;
    // Set while a packet's frames are read.
    StreamDirection frameDirection_ = StreamDirection::ClientToServer;
    Space frameSpace_ = kInitial;
    bool decryptedAny_ = false;
    bool missingCounted_ = false;
    bool waitGivenUp_ = false;  // packets that cannot be opened are no longer kept
    bool closed_ = false;
    size_t held_ = 0;
    int64_t nowMs_ = 0;
    int64_t lastSeenMs_ = 0;
};

}  // namespace tarnwick
