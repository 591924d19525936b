// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: segments in any order, with any flags and acknowledgements, through the reassembler,
// checking every byte delivered, every stretch lost and passed over, and the bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "capture/stream/TcpReassembler.h"

namespace {

using namespace tarnwick;

// The byte at a stream offset: every copy of a segment carries the same bytes, so what arrives in
// order must be exactly this sequence, whatever the order, overlaps, duplicates, losses and skips.
uint8_t ByteAt(int direction, uint32_t offset) {
    return static_cast<uint8_t>(offset * 131u + (offset >> 9) + direction * 7u);
}

// The segment being handed over: a new connection's reader starts where it starts.
struct Current {
    int side = 0;         // 0: sent by the client's end
    uint32_t offset = 0;  // of its data
    uint32_t acknowledged = 0;
} current;

struct CheckingReader final : StreamReader {
    // flipped: the reassembler took the server's end for the client (the first segment was the server's).
    CheckingReader(uint8_t skipStyle, bool flipped) : skipStyle(skipStyle), flipped(flipped) {
        position[current.side] = current.offset;
        position[1 - current.side] = current.acknowledged;
    }
    uint32_t position[2] = {0, 0};  // by the sender's end: 0 the client's, 1 the server's
    bool ended = false;
    uint8_t skipStyle;
    bool flipped;
    int SideOf(StreamDirection direction) const { return IndexOf(direction) ^ (flipped ? 1 : 0); }
    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t) override {
        if (ended) std::abort();
        const int side = SideOf(direction);
        for (uint8_t byte : bytes)
            if (byte != ByteAt(side, position[side]++)) std::abort();
    }
    void OnGap(StreamDirection direction, uint64_t count) override {
        if (ended || count == 0) std::abort();
        position[SideOf(direction)] += static_cast<uint32_t>(count);
    }
    void OnEnd(StreamEnd) override {
        if (ended) std::abort();
        ended = true;
    }
    bool Done() const override { return position[0] + position[1] > 60000; }
    uint64_t TakeSkip(StreamDirection direction) override {
        // Now and then the reader passes over a stretch, as a reader of bodies does.
        const int side = SideOf(direction);
        const uint32_t skip = (position[side] * skipStyle) % 7 == 0 ? skipStyle * 16u : 0;
        position[side] += skip;
        return skip;
    }
};

struct Opener final : ConnectionOpener {
    uint8_t skipStyle = 0;
    std::unique_ptr<StreamReader> Open(const ConnectionStart& start) override {
        return std::make_unique<CheckingReader>(skipStyle, start.key.client.port == 443);
    }
};

}  // namespace

// Input: 8-byte records: flags and direction, connection (0-3) and skip style, sequence offset (2 bytes),
// length (2 bytes), acknowledged offset (2 bytes).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TcpReassembler::Limits limits;
    limits.maxConnections = 3;
    limits.maxHeldPerConnection = 8192;
    limits.maxHeldInAll = 12000;
    limits.idleMs = 30000;
    Opener opener;
    TcpReassembler reassembler(opener, limits);
    constexpr uint32_t kClientStart = 0xFFFFFF00u, kServerStart = 0x7FFFFFF0u;
    std::vector<uint8_t> payload;
    int64_t time = 0;
    for (size_t at = 0; at + 8 <= size; at += 8) {
        const uint8_t control = data[at];
        const int side = control & 1;
        const uint8_t port = data[at + 1] & 3;
        opener.skipStyle = data[at + 1] >> 2;
        const uint32_t offset = static_cast<uint32_t>(data[at + 2] | data[at + 3] << 8);
        const size_t length = static_cast<size_t>(data[at + 4] | data[at + 5] << 8) % 3000;
        const uint32_t acknowledged = static_cast<uint32_t>(data[at + 6] | data[at + 7] << 8);
        const uint32_t start = side ? kServerStart : kClientStart;
        payload.resize(length);
        for (size_t i = 0; i < length; ++i) payload[i] = ByteAt(side, offset + static_cast<uint32_t>(i));

        const uint8_t client[4] = {10, 0, 0, 1}, server[4] = {10, 0, 0, 2};
        StreamSegment segment;
        const FlowEndpoint clientEnd = FlowEndpoint::FromBytes(client, 4, port);
        const FlowEndpoint serverEnd = FlowEndpoint::FromBytes(server, 4, 443);
        segment.source = side ? serverEnd : clientEnd;
        segment.destination = side ? clientEnd : serverEnd;
        // A connection's first segment starts each side at offset 0 (a SYN when the input says so).
        segment.sequence = start + offset - ((control & 0x40) && offset == 0 ? 1 : 0);
        segment.acknowledgement = (side ? kClientStart : kServerStart) + acknowledged;
        segment.flags = static_cast<uint8_t>((control >> 1) & (StreamSegment::kFin | StreamSegment::kRst)) |
                        ((control & 0x40) && offset == 0 ? StreamSegment::kSyn : 0) | StreamSegment::kAck;
        segment.payload = payload.data();
        segment.payloadLength = length - ((control & 0x20) ? length / 2 : 0);  // cut by the capture
        segment.wireLength = length;
        time += (control >> 3) & 3;
        current = {side, offset, acknowledged};
        reassembler.Process(segment, time * 1000);
        if (reassembler.Connections() > limits.maxConnections) std::abort();
        if (reassembler.HeldBytes() > limits.maxHeldInAll + limits.maxHeldPerConnection) std::abort();
    }
    reassembler.EndAll(StreamEnd::Closed);
    if (reassembler.HeldBytes() != 0) std::abort();
    return 0;
}
