// SPDX-License-Identifier: GPL-3.0-or-later
// A packet handler for the capture readers' fuzz targets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "capture/source/PacketSource.h"

namespace tarnwick::fuzz {

// Reads every byte a capture reader hands over, so a length past its input shows under the sanitizer.
class PacketTouch final : public PacketHandler {
public:
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int linkType) override {
        for (uint32_t i = 0; i < header.caplen; ++i) sum += bytes[i];
        sum += static_cast<unsigned>(linkType);
    }
    void HandleSecrets(std::span<const uint8_t> keyLogLines) override {
        for (uint8_t byte : keyLogLines) sum += byte;
    }
    unsigned sum = 0;
};

// Feeds a capture reader (Room, Commit, Parse) the input after its first byte, which picks the piece size,
// so both whole records and records split anywhere are read.
template <class Reader>
int FeedInPieces(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 64 * (data[0] & 0x80 ? 1024 : 1);
    ++data;
    --size;
    Reader reader;
    PacketTouch touch;
    for (size_t at = 0; at < size;) {
        size_t room = 0;
        uint8_t* into = reader.Room(room);
        const size_t count = std::min({room, piece, size - at});
        std::memcpy(into, data + at, count);
        reader.Commit(count);
        at += count;
        if (reader.Parse(touch) == Reader::Result::Damaged) break;
    }
    return static_cast<int>(touch.sum & 0);
}

}  // namespace tarnwick::fuzz
