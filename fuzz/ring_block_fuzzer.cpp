// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: blocks of the kernel's capture ring as the capture helper rewrites them. Whatever the
// block's records say, nothing is read or written outside it, and a block it accepts becomes a
// stream that reads back whole, with every packet it counted.
#include <pcap/dlt.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture/source/PcapngReader.h"
#include "capture/source/PcapngWriter.h"
#include "capture/source/RingBlockFormatter.h"

namespace {

class Count final : public tarnwick::PacketHandler {
public:
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int) override {
        for (uint32_t i = 0; i < header.caplen; ++i) sum += bytes[i];
        ++packets;
    }
    unsigned sum = 0;
    uint64_t packets = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the link type and the loopback adapter's index.
    static constexpr int kLinkTypes[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW};
    const int linkType = kLinkTypes[data[0] % 4];
    const int loopback = data[0] >> 2;
    // The block in memory of its own size, so that the sanitizer sees every step past its end.
    std::vector<uint8_t> block(data + 1, data + size);
    tarnwick::RingBlockFormatter formatter(linkType, 0, loopback);
    std::vector<tarnwick::RingBlockFormatter::Piece> pieces;
    if (!formatter.Format(block.data(), block.size(), pieces)) return 0;

    tarnwick::PcapngWriter head;
    head.AddSectionHeader("fuzz");
    head.AddInterface(linkType, 65535, "ring");
    std::vector<uint8_t> stream(head.Data(), head.Data() + head.Size());
    for (const auto& piece : pieces) stream.insert(stream.end(), piece.data, piece.data + piece.size);
    tarnwick::PcapngReader reader;
    Count count;
    for (size_t at = 0; at < stream.size();) {
        size_t room = 0;
        uint8_t* into = reader.Room(room);
        const size_t taken = std::min(room, stream.size() - at);
        std::memcpy(into, stream.data() + at, taken);
        reader.Commit(taken);
        at += taken;
        if (reader.Parse(count) != tarnwick::PcapngReader::Result::Ok) std::abort();
    }
    if (!reader.AtBlockBoundary() || count.packets != formatter.Packets()) std::abort();
    return static_cast<int>(count.sum & 0);
}
