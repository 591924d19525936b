// A packet handler for the capture readers' fuzz targets.
#pragma once

#include <cstdint>
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

}  // namespace tarnwick::fuzz
