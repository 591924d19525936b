// SPDX-License-Identifier: GPL-3.0-or-later
// Finds the QUIC connection of each captured UDP datagram by its connection IDs, and starts following a
// connection at its client's first Initial packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "capture/decode/TcpSegment.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/message/HttpExchangeSink.h"
#include "capture/quic/QuicConnection.h"
#include "capture/quic/QuicStatistics.h"
#include "capture/stream/FlowKey.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

// A connection is known by every connection ID its sides use: the client's first Destination ID, the
// Source IDs of both sides' long headers and the IDs NEW_CONNECTION_ID frames hand out, so it is followed
// when its addresses change. A short header does not say how long its ID is: the lengths in use are
// tried. Packets with an empty ID (browsers often give none for their own side) are found by their
// address pair. Without a key log a connection is counted, with its server name, and not read.
class QuicTracker {
public:
    struct Context {
        HttpExchangeSink& sink;
        const CaptureLimits& limits;
        QuicStatistics& statistics;
        ByteBudget& budget;
        LimitHits* hits = nullptr;
        TlsKeyLog* keyLog = nullptr;
        // A connection that cannot be read for want of a key log: the server name its ClientHello gave.
        std::function<void(const std::string& serverName)> unread;
    };

    explicit QuicTracker(Context context);
    ~QuicTracker();
    QuicTracker(const QuicTracker&) = delete;
    QuicTracker& operator=(const QuicTracker&) = delete;

    // One UDP datagram's payload with its ends and the link layer's word on its direction.
    void Datagram(const FlowEndpoint& source, const FlowEndpoint& destination, PacketDirection linkDirection,
                  std::span<const uint8_t> payload, int64_t timeMs);
    // Time passes: waiting packets are looked at again, idle connections let go.
    void Tick(int64_t nowMs);
    void EndAll();
    void SetKeyLog(TlsKeyLog* keyLog) { context_.keyLog = keyLog; }
    size_t Connections() const { return connections_.size(); }

private:
    struct Followed {
        std::unique_ptr<QuicConnection> connection;
        FlowKey key;
        std::vector<std::string> ids;  // registered for it
        bool counted = false;          // told as unread
    };
    struct Route {
        Followed* followed;
        StreamDirection direction;
    };

    Followed* Start(const FlowEndpoint& source, const FlowEndpoint& destination, PacketDirection linkDirection,
                    const QuicPacketHeader& header, int64_t timeMs);
    void Register(Followed& followed, std::span<const uint8_t> id, StreamDirection direction);
    void Forget(Followed* followed);
    bool FindRoute(std::span<const uint8_t> datagram, const FlowEndpoint& source, const FlowEndpoint& destination,
                   Route& out, size_t& idLength);
    void TakeIds(Followed& followed);
    static std::string_view IdOf(std::span<const uint8_t> bytes) {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }

    static constexpr int64_t kTickMs = 250;
    // Each connection registers this many IDs at most: a side hands out a few at a time.
    static constexpr size_t kMaxIdsPerConnection = 32;

    Context context_;
    std::vector<std::unique_ptr<Followed>> connections_;
    // By the ID's bytes; looked up without a copy (a short header's ID is looked up for every packet).
    std::map<std::string, struct Route, std::less<>> ids_;
    std::map<size_t, size_t> idLengths_;  // length -> IDs of that length registered
    std::unordered_map<FlowKey, Followed*, FlowKeyHash> byAddresses_;
    std::set<std::vector<uint8_t>> refused_;  // first IDs of connections not followed, counted once
    std::vector<uint8_t> scratch_;
    int64_t lastTickMs_ = INT64_MIN / 2;
};

}  // namespace tarnwick
