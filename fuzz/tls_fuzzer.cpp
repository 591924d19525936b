// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: a key log and both directions of a connection through the TLS decryption and the reader
// of the protocol it carries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz/FuzzChunks.h"
#include "fuzz/FuzzSink.h"

// Input: a 2-byte little-endian length and that much key log text, then chunks (see FuzzChunks.h).
// Seeds are real conversations with their own key logs, so mutations reach the decryption.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    if (size < 2) return 0;
    size_t keyLogSize = static_cast<size_t>(data[0] | data[1] << 8);
    if (keyLogSize > size - 2) keyLogSize = size - 2;
    TlsKeyLog keyLog("");
    keyLog.AddText(std::string_view(reinterpret_cast<const char*>(data + 2), keyLogSize));
    fuzz::FuzzSink sink(&keyLog);
    auto connection = sink.router.Tls(sink.facts, {});
    if (!connection) std::abort();
    int64_t time = 0;
    for (const auto& chunk : fuzz::SplitChunks({data + 2 + keyLogSize, size - 2 - keyLogSize})) {
        if (connection->Done()) break;
        connection->OnData(chunk.direction, chunk.bytes, time += 100);
        if (sink.tls.Used() > sink.tls.Bound()) std::abort();
    }
    if (!connection->Done()) connection->OnEnd(StreamEnd::Closed);
    connection.reset();
    if (sink.tls.Used() != 0) std::abort();
    return 0;
}
