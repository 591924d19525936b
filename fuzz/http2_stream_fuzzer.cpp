// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: both directions of a connection through the HTTP/2 reader, and through the router's
// choice at a connection's start (the preface, a request that asks to switch to h2c, anything else).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz/FuzzChunks.h"
#include "fuzz/FuzzSink.h"

// Input: chunks (see FuzzChunks.h).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    fuzz::FuzzSink sink;
    auto direct = sink.router.Http2(sink.facts);
    ConnectionStart start;
    start.openingSeen = true;
    start.clientLinkDirection = PacketDirection::Loopback;
    auto routed = sink.router.Open(start);
    for (const auto& chunk : fuzz::SplitChunks({data, size})) {
        if (!direct->Done()) direct->OnData(chunk.direction, chunk.bytes, 1);
        if (!routed->Done()) {
            routed->OnData(chunk.direction, chunk.bytes, 1);
            if (!routed->Done()) static_cast<void>(routed->TakeSkip(chunk.direction));
        }
    }
    direct->OnEnd(StreamEnd::Closed);
    routed->OnEnd(StreamEnd::Closed);
    direct.reset();
    routed.reset();
    if (sink.http2.Used() != 0 || sink.messages.Used() != 0) std::abort();
    return 0;
}
