// Fuzz target: a sequence of frames through the detector and the video list, as one capture thread sees them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/detect/HttpVideoDetector.h"
#include "sniffer/SniffedVideoList.h"

// Input: records of a 2-byte little-endian length and that many frame bytes (cut at the input's end).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    PendingRequestTable table(64, 1u << 20);
    IgnoreList ignored;
    ignored.IgnoreUrl("videohost/v/clip.flv", 1);
    SniffedVideoList list(nullptr, nullptr);
    HttpVideoDetector detector(
        Ipv4Address{192, 168, 1, 5}, table, ignored,
        [&list](DetectedVideo video) {
            video.url = "http://" + video.url;
            list.AddDetectedVideo(video);
        },
        "fuzz");
    size_t offset = 0;
    int64_t time = 1000;
    while (offset + 2 <= size) {
        size_t length = static_cast<size_t>(data[offset]) | (static_cast<size_t>(data[offset + 1]) << 8);
        offset += 2;
        if (length > size - offset) length = size - offset;
        // A copy of exactly the frame's bytes, so a read past it is caught by the sanitizers.
        std::vector<uint8_t> frame(data + offset, data + offset + length);
        detector.ProcessPacket(frame.data(), frame.size(), time);
        time += static_cast<int64_t>(length % 50);
        offset += length;
    }
    return 0;
}
