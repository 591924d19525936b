// Fuzz target: a key log and both directions of a connection through the TLS decryption and the HTTP/1 reader.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "capture/http1/Http1StreamReader.h"
#include "capture/tls/TlsConnection.h"
#include "fuzz/FuzzChunks.h"

// Input: a 2-byte little-endian length and that much key log text, then chunks (see FuzzChunks.h).
// Seeds are real conversations with their own key logs, so mutations reach the decryption.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    if (size < 2) return 0;
    size_t keyLogSize = static_cast<size_t>(data[0] | data[1] << 8);
    if (keyLogSize > size - 2) keyLogSize = size - 2;
    TlsKeyLog keyLog("");
    keyLog.AddText(std::string_view(reinterpret_cast<const char*>(data + 2), keyLogSize));

    IgnoreList ignored;
    VideoReporter reporter(ignored, [](DetectedVideo) {}, "fuzz");
    TlsStatistics tlsStatistics;
    Http1Statistics httpStatistics;
    TlsConnection connection(
        FlowKey{}, keyLog,
        [&](const TlsConnectionFacts& facts) -> std::unique_ptr<StreamReader> {
            if (facts.alpn == "h2") return nullptr;
            return std::make_unique<Http1StreamReader>(Http1StreamReader::Context{facts.key, facts.serverName},
                                                       reporter, httpStatistics);
        },
        tlsStatistics);
    int64_t time = 0;
    for (const auto& chunk : fuzz::SplitChunks({data + 2 + keyLogSize, size - 2 - keyLogSize})) {
        if (connection.Done()) break;
        connection.OnData(chunk.direction, chunk.bytes, time++);
    }
    if (!connection.Done()) connection.OnEnd(StreamEnd::Closed);
    return 0;
}
