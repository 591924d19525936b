// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: UDP datagrams of one address pair through the QUIC tracker: long and short headers,
// coalesced packets, header protection, Initial keys and the hellos in their CRYPTO frames, and packets
// that wait for secrets the key log never gets.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "capture/quic/QuicTracker.h"
#include "fuzz/FuzzChunks.h"
#include "fuzz/FuzzSink.h"

// Input: chunks (see FuzzChunks.h), each one datagram; the direction picks which end sent it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    // Knows no secrets: packets past the Initial ones wait for it, and are given up.
    static TlsKeyLog keyLog("");
    fuzz::FuzzSink sink;
    ByteBudget budget{256 * 1024, Limit::QuicBytes, &sink.totals.limitsReached};
    CaptureLimits limits = sink.limits;
    limits.Set(Limit::QuicConnections, 4);
    limits.Set(Limit::QuicStreams, 8);
    limits.Set(Limit::QuicConnectionBytes, 64 * 1024);
    limits.Set(Limit::QpackTableBytes, 4096);
    QuicStatistics statistics;
    {
        QuicTracker tracker(QuicTracker::Context{sink.finder, limits, statistics, budget, &sink.totals.limitsReached,
                                                 &keyLog, [](const std::string&) {}});
        const auto client = FlowEndpoint::FromBytes(reinterpret_cast<const uint8_t*>("\x7f\x00\x00\x01"), 4, 1000);
        const auto server = FlowEndpoint::FromBytes(reinterpret_cast<const uint8_t*>("\x7f\x00\x00\x02"), 4, 443);
        int64_t time = 0;
        for (const auto& chunk : fuzz::SplitChunks({data, size})) {
            const bool fromClient = chunk.direction == StreamDirection::ClientToServer;
            tracker.Datagram(fromClient ? client : server, fromClient ? server : client, PacketDirection::Loopback,
                             chunk.bytes, time += 100);
        }
    }
    if (budget.Used() != 0 || sink.messages.Used() != 0) std::abort();
    return 0;
}
