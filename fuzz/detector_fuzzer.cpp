// Fuzz target: a sequence of frames of one link type through the decoder, the detector and the video
// list, as one capture thread sees them.
#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "capture/detect/HttpVideoDetector.h"
#include "sniffer/SniffedVideoList.h"

// Input: one byte choosing the link type (its index in kLinkTypes, modulo their count), then records of
// a 2-byte little-endian length and that many frame bytes (cut at the input's end).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    static constexpr int kLinkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                                         DLT_IPV4,   DLT_IPV6,      DLT_NULL,       DLT_LOOP};
    if (size < 1) return 0;
    const auto decoder = FrameDecoder::ForLinkType(kLinkTypes[data[0] % std::size(kLinkTypes)]);
    if (!decoder) return 0;
    PendingRequestTable table(64, 1u << 20);
    IgnoreList ignored;
    ignored.IgnoreUrl("videohost/v/clip.flv", 1);
    SniffedVideoList list(nullptr, nullptr);
    HttpVideoDetector detector(
        OwnAddresses{IpAddress(192, 168, 1, 5), *IpAddress::Parse("2001:db8::5")}, table, ignored,
        [&list](DetectedVideo video) {
            video.url = "http://" + video.url;
            list.AddDetectedVideo(video);
        },
        "fuzz", *decoder);
    size_t offset = 1;
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
