// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: a sequence of frames of one link type through a capture thread's whole pipeline and the
// video list.
#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "capture/session/CapturePipeline.h"
#include "sniffer/SniffedVideoList.h"

// Input: one byte choosing the link type (its index in kLinkTypes, modulo their count; the next bit
// whether this host's addresses are to be found), then records of a 2-byte little-endian length and that
// many frame bytes (cut at the input's end).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    static constexpr int kLinkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW,
                                         DLT_IPV4,   DLT_IPV6,      DLT_NULL,       DLT_LOOP};
    if (size < 1) return 0;
    const auto decoder = FrameDecoder::ForLinkType(kLinkTypes[data[0] % std::size(kLinkTypes)]);
    if (!decoder) return 0;
    SniffedVideoList list(nullptr, nullptr);
    CapturePipeline::Options options;
    options.sourceName = "fuzz";
    options.inferOwnAddresses = (data[0] & 0x80) != 0;
    if (!options.inferOwnAddresses)
        options.ownAddresses = OwnAddresses{IpAddress(192, 168, 1, 5), *IpAddress::Parse("2001:db8::5")};
    // Small bounds, so that inputs of a few kilobytes reach them.
    options.limits.Set(Limit::Connections, 8);
    options.limits.Set(Limit::ConnectionHeldBytes, 8192);
    options.limits.Set(Limit::HeldBytes, 16384);
    options.limits.Set(Limit::HeadBytes, 4096);
    options.limits.Set(Limit::MessageBytes, 32768);
    CapturePipeline pipeline(options, [&list](DetectedVideo video) {
        video.url = video.scheme + "://" + video.url;
        list.AddDetectedVideo(video);
        return true;
    });
    size_t offset = 1;
    int64_t time = 1000000;
    while (offset + 2 <= size) {
        size_t length = static_cast<size_t>(data[offset]) | (static_cast<size_t>(data[offset + 1]) << 8);
        offset += 2;
        if (length > size - offset) length = size - offset;
        // A copy of exactly the frame's bytes, so a read past it is caught by the sanitizers.
        std::vector<uint8_t> frame(data + offset, data + offset + length);
        pipeline.Frame(*decoder, PacketView(frame.data(), frame.size()), time);
        time += static_cast<int64_t>(length % 50) * 1000;
        offset += length;
    }
    pipeline.End(StreamEnd::Closed);
    return 0;
}
