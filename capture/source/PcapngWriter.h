// SPDX-License-Identifier: GPL-3.0-or-later
// Builds a pcapng stream in this machine's byte order: a section, its interfaces, their packets and
// statistics. The bytes collect in a buffer that the caller writes out and clears.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "capture/source/CaptureStatistics.h"

namespace tarnwick {

class PcapngWriter {
public:
    PcapngWriter();

    void AddSectionHeader(const std::string& application);
    // Interfaces are numbered in the order they are added, from 0; times are in microseconds.
    void AddInterface(int linkType, uint32_t snapLength, const std::string& name);
    void AddPacket(uint32_t interface, const pcap_pkthdr& header, const uint8_t* bytes);
    // The kernel's figures: passed by the filter, dropped for want of buffer room, dropped by the adapter.
    void AddStatistics(uint32_t interface, const CaptureStatistics& figures, uint64_t microsecondsSinceEpoch);
    // Decryption secrets for the packets after the block, of a secrets type such as pcapng::kTlsKeyLogSecrets.
    // The buffer then holds them: WipeAndClear() it once written.
    void AddSecrets(uint32_t type, std::span<const uint8_t> secrets);

    const uint8_t* Data() const { return buffer_.get(); }
    size_t Size() const { return used_; }
    void Clear() { used_ = 0; }
    // Clears the buffer and overwrites every byte it held.
    void WipeAndClear();

private:
    static size_t PacketBlockBytes(uint32_t capturedLength);
    static void PutPacket(uint8_t* at, uint32_t interface, const pcap_pkthdr& header, const uint8_t* bytes);
    uint8_t* Reserve(size_t bytes);
    void Put32(uint32_t value);
    void Put16(uint16_t value);
    void Put64(uint64_t value);
    void PutBytes(const void* bytes, size_t count);
    void PutOption(uint16_t code, const void* value, uint16_t length);
    size_t BeginBlock(uint32_t type);
    void EndBlock(size_t start);

    std::unique_ptr<uint8_t[]> buffer_;
    size_t capacity_ = 0;
    size_t used_ = 0;
};

}  // namespace tarnwick
