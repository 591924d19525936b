// Fuzz target: both directions of a decrypted connection through the HTTP/1 reader.
#include <cstddef>
#include <cstdint>

#include "capture/http1/Http1StreamReader.h"
#include "fuzz/FuzzChunks.h"

// Input: chunks (see FuzzChunks.h).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    IgnoreList ignored;
    ignored.IgnoreUrl("https://videohost/a.mp4", 1);
    VideoReporter reporter(ignored, [](DetectedVideo) {}, "fuzz");
    Http1Statistics statistics;
    Http1StreamReader reader(Http1StreamReader::Context{FlowKey{}, "sni.test"}, reporter, statistics);
    for (const auto& chunk : fuzz::SplitChunks({data, size})) {
        if (reader.Done()) break;
        reader.OnData(chunk.direction, chunk.bytes, 1);
    }
    if (!reader.Done()) reader.OnEnd(StreamEnd::Closed);
    return 0;
}
