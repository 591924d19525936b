// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: both directions of a connection through the HTTP/1 reader, met at its start or in its
// middle, into the sink that judges every answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/FuzzChunks.h"
#include "fuzz/FuzzSink.h"

// Input: one byte (its low bit: the connection is met in its middle), then chunks (see FuzzChunks.h); a
// chunk whose length field's top bit is set stands for that many lost bytes instead.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    if (size < 1) return 0;
    fuzz::FuzzSink sink;
    auto reader = sink.router.Http1(sink.facts, (data[0] & 1) == 0);
    for (const auto& chunk : fuzz::SplitChunks({data + 1, size - 1})) {
        if (reader->Done()) break;
        if (chunk.bytes.size() > 0 && chunk.bytes[0] == 0xFF) {
            reader->OnGap(chunk.direction, chunk.bytes.size());
        } else {
            reader->OnData(chunk.direction, chunk.bytes, 1);
            // What the reader passes over is taken as read.
            if (!reader->Done()) static_cast<void>(reader->TakeSkip(chunk.direction));
        }
        if (sink.messages.Used() > sink.messages.Bound()) std::abort();
    }
    if (!reader->Done()) reader->OnEnd(StreamEnd::Closed);
    reader.reset();
    // Every byte taken for a head or a request was given back.
    if (sink.messages.Used() != 0) std::abort();
    return 0;
}
