// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the streams of one HTTP/3 connection (requests, answers, push, control and QPACK streams)
// through the reader, its frame parser and the QPACK decoders, into the capture thread's sink.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "capture/quic/Http3Connection.h"
#include "fuzz/FuzzSink.h"

// Input: records of one byte (bit 0: the direction, 0 = from the client; bits 1-4: which of sixteen
// stream IDs; bit 5: the stream ends after the record; bit 6: the stream is reset instead), a one-byte
// length and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    fuzz::FuzzSink sink;
    QuicStatistics statistics;
    {
        Http3Connection::Context context{sink.facts, sink.finder, statistics};
        context.maxStreams = 8;
        context.maxHeaderList = 4096;
        context.maxTableBytes = 4096;
        context.maxStreamHeld = 4096;
        context.hits = &sink.totals.limitsReached;
        Http3Connection connection(std::move(context));
        // Client bidirectional streams, the client's and the server's unidirectional ones.
        static constexpr uint64_t kIds[16] = {0, 4, 8, 12, 16, 20, 2, 6, 10, 14, 3, 7, 11, 15, 1, 5};
        size_t offset = 0;
        while (offset + 2 <= size) {
            const uint8_t control = data[offset];
            size_t length = data[offset + 1];
            offset += 2;
            if (length > size - offset) length = size - offset;
            const auto direction = (control & 1) ? StreamDirection::ServerToClient : StreamDirection::ClientToServer;
            const uint64_t id = kIds[(control >> 1) & 0x0F];
            std::vector<uint8_t> bytes(data + offset, data + offset + length);
            offset += length;
            if (control & 0x40) {
                connection.OnStreamReset(id);
                continue;
            }
            connection.OnStreamData(id, direction, bytes, 1);
            if (control & 0x20) connection.OnStreamEnd(id, direction);
        }
    }
    if (sink.messages.Used() != 0) std::abort();
    return 0;
}
