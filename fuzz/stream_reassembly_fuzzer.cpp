// Fuzz target: segments in any order, with any flags, through the reassembler, checking every byte delivered.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "capture/stream/TcpReassembler.h"

namespace {

using namespace tarnwick;

// The byte at a stream offset: every copy of a segment carries the same bytes, so what arrives in
// order must be exactly this sequence, whatever the order, overlaps and duplicates.
uint8_t ByteAt(int direction, uint32_t offset) { return static_cast<uint8_t>(offset * 131u + (offset >> 9) + direction * 7u); }

struct CheckingReader final : StreamReader {
    uint32_t received[2] = {0, 0};
    bool ended = false;
    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t) override {
        if (ended) std::abort();
        const int side = IndexOf(direction);
        for (uint8_t byte : bytes)
            if (byte != ByteAt(side, received[side]++)) std::abort();
    }
    void OnEnd(StreamEnd) override {
        if (ended) std::abort();
        ended = true;
    }
    bool Done() const override { return received[0] + received[1] > 60000; }
};

}  // namespace

// Input: 6-byte records: flags and direction, connection (0-3), sequence offset (2 bytes), length (2 bytes).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TcpReassembler::Limits limits;
    limits.maxConnections = 3;
    limits.maxBufferedPerConnection = 8192;
    limits.maxBufferedInAll = 12000;
    limits.idleSeconds = 30;
    TcpReassembler reassembler(limits);
    constexpr uint32_t kClientStart = 0xFFFFFF00u, kServerStart = 0x7FFFFFF0u;
    std::vector<uint8_t> payload;
    int64_t time = 0;
    for (size_t at = 0; at + 6 <= size; at += 6) {
        const uint8_t control = data[at];
        const int side = control & 1;
        const uint8_t port = data[at + 1] & 3;
        const uint32_t offset = static_cast<uint32_t>(data[at + 2] | data[at + 3] << 8);
        const size_t length = static_cast<size_t>(data[at + 4] | data[at + 5] << 8) % 3000;
        const uint32_t start = side ? kServerStart : kClientStart;
        payload.resize(length);
        for (size_t i = 0; i < length; ++i) payload[i] = ByteAt(side, offset + static_cast<uint32_t>(i));

        const uint8_t client[4] = {10, 0, 0, 1}, server[4] = {10, 0, 0, 2};
        StreamSegment segment;
        const FlowEndpoint clientEnd = FlowEndpoint::FromBytes(client, 4, port);
        const FlowEndpoint serverEnd = FlowEndpoint::FromBytes(server, 4, 443);
        segment.source = side ? serverEnd : clientEnd;
        segment.destination = side ? clientEnd : serverEnd;
        segment.sequence = start + offset;
        segment.acknowledgement = kServerStart;
        segment.flags = static_cast<uint8_t>((control >> 1) & (StreamSegment::kFin | StreamSegment::kRst)) | StreamSegment::kAck;
        segment.payload = payload.data();
        segment.payloadLength = payload.size();
        time += control >> 5;
        // A connection is followed from a client segment at offset 0, as a ClientHello would start it.
        if (!reassembler.Process(segment, time) && side == 0 && offset == 0 && (control & 0x10))
            reassembler.Follow(segment, std::make_unique<CheckingReader>(), time);
        if (reassembler.Connections() > limits.maxConnections) std::abort();
    }
    return 0;
}
