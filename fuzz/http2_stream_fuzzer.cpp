// Fuzz target: both directions of a connection through the HTTP/2 reader, and through the reader of
// connections that ask to switch to h2c; each chunk also through the look that picks such connections
// out of every packet.
#include <cstddef>
#include <cstdint>

#include "capture/http2/Http2CleartextTracker.h"
#include "capture/http2/Http2StreamReader.h"
#include "capture/http2/Http2UpgradeReader.h"
#include "fuzz/FuzzChunks.h"

// Input: chunks (see FuzzChunks.h).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    IgnoreList ignored;
    ignored.IgnoreUrl("https://videohost/a.mp4", 1);
    VideoReporter reporter(ignored, [](DetectedVideo) {}, "fuzz");
    Http2Statistics http2;
    Http1Statistics http1;
    // Small enough that the bound is reached by inputs of a few kilobytes.
    Http2MemoryBudget budget(16 * 1024);
    Http2StreamReader direct(Http2StreamReader::Context{FlowKey{}, "sni.test"}, reporter, http2, budget);
    Http2UpgradeReader upgraded(FlowKey{}, {reporter, http2, http1, budget});
    for (const auto& chunk : fuzz::SplitChunks({data, size})) {
        // Its answer is not checked here; only that it reads nothing outside the chunk.
        static_cast<void>(Http2CleartextTracker::Concerns(chunk.bytes));
        if (!direct.Done()) direct.OnData(chunk.direction, chunk.bytes, 1);
        if (!upgraded.Done()) upgraded.OnData(chunk.direction, chunk.bytes, 1);
    }
    direct.OnEnd(StreamEnd::Closed);
    upgraded.OnEnd(StreamEnd::Closed);
    return 0;
}
