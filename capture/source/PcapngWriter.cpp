// SPDX-License-Identifier: GPL-3.0-or-later
// Builds a pcapng stream in this machine's byte order.
#include "capture/source/PcapngWriter.h"

#include <cstring>

#include "capture/source/PcapngBlocks.h"

namespace tarnwick {

namespace {

constexpr size_t kInitialBytes = 1u << 20;

size_t Padded(size_t length) {
    return (length + 3) & ~size_t{3};
}

}  // namespace

PcapngWriter::PcapngWriter() : buffer_(new uint8_t[kInitialBytes]), capacity_(kInitialBytes) {}

uint8_t* PcapngWriter::Reserve(size_t bytes) {
    if (used_ + bytes > capacity_) {
        size_t capacity = capacity_ * 2;
        while (capacity < used_ + bytes) capacity *= 2;
        std::unique_ptr<uint8_t[]> larger(new uint8_t[capacity]);
        std::memcpy(larger.get(), buffer_.get(), used_);
        explicit_bzero(buffer_.get(), used_);  // it may have held secrets
        buffer_ = std::move(larger);
        capacity_ = capacity;
    }
    uint8_t* at = buffer_.get() + used_;
    used_ += bytes;
    return at;
}

void PcapngWriter::PutBytes(const void* bytes, size_t count) {
    if (count == 0) return;  // the end-of-options mark has no value (and no pointer to one)
    uint8_t* at = Reserve(Padded(count));
    std::memcpy(at, bytes, count);
    std::memset(at + count, 0, Padded(count) - count);
}

void PcapngWriter::Put32(uint32_t value) {
    std::memcpy(Reserve(4), &value, 4);
}
void PcapngWriter::Put16(uint16_t value) {
    std::memcpy(Reserve(2), &value, 2);
}
void PcapngWriter::Put64(uint64_t value) {
    std::memcpy(Reserve(8), &value, 8);
}

void PcapngWriter::PutOption(uint16_t code, const void* value, uint16_t length) {
    Put16(code);
    Put16(length);
    PutBytes(value, length);
}

size_t PcapngWriter::BeginBlock(uint32_t type) {
    const size_t start = used_;
    Put32(type);
    Put32(0);  // the length, once known
    return start;
}

void PcapngWriter::EndBlock(size_t start) {
    const uint32_t length = static_cast<uint32_t>(used_ - start + 4);
    std::memcpy(buffer_.get() + start + 4, &length, 4);
    Put32(length);
}

void PcapngWriter::AddSectionHeader(const std::string& application) {
    const size_t start = BeginBlock(pcapng::kSectionHeader);
    Put32(pcapng::kByteOrderMagic);
    Put16(1);  // version 1.0
    Put16(0);
    Put64(~uint64_t{0});  // section length not given: a stream
    PutOption(pcapng::kSectionUserApplication, application.data(), static_cast<uint16_t>(application.size()));
    PutOption(pcapng::kEndOfOptions, nullptr, 0);
    EndBlock(start);
}

void PcapngWriter::AddInterface(int linkType, uint32_t snapLength, const std::string& name) {
    const size_t start = BeginBlock(pcapng::kInterfaceDescription);
    Put16(static_cast<uint16_t>(linkType));
    Put16(0);
    Put32(snapLength);
    PutOption(pcapng::kInterfaceName, name.data(), static_cast<uint16_t>(name.size()));
    PutOption(pcapng::kEndOfOptions, nullptr, 0);
    EndBlock(start);
}

void PcapngWriter::AddPacket(uint32_t interface, const pcap_pkthdr& header, const uint8_t* bytes) {
    // One reservation per packet: this runs for every frame of a busy adapter.
    PutPacket(Reserve(PacketBlockBytes(header.caplen)), interface, header, bytes);
}

size_t PcapngWriter::PacketBlockBytes(uint32_t capturedLength) {
    return pcapng::kBlockFrameBytes + pcapng::kEnhancedPacketFixedBytes + Padded(capturedLength);
}

void PcapngWriter::PutPacket(uint8_t* at, uint32_t interface, const pcap_pkthdr& header, const uint8_t* bytes) {
    const uint32_t length = static_cast<uint32_t>(PacketBlockBytes(header.caplen));
    const size_t padding = Padded(header.caplen) - header.caplen;
    const uint64_t micros =
        static_cast<uint64_t>(header.ts.tv_sec) * 1000000u + static_cast<uint64_t>(header.ts.tv_usec);
    const uint32_t fields[7] = {
        pcapng::kEnhancedPacket,       length,        interface, static_cast<uint32_t>(micros >> 32),
        static_cast<uint32_t>(micros), header.caplen, header.len};
    std::memcpy(at, fields, sizeof fields);
    std::memcpy(at + sizeof fields, bytes, header.caplen);
    std::memset(at + sizeof fields + header.caplen, 0, padding);
    std::memcpy(at + length - 4, &length, 4);
}

void PcapngWriter::AddStatistics(uint32_t interface, const CaptureStatistics& figures,
                                 uint64_t microsecondsSinceEpoch) {
    const size_t start = BeginBlock(pcapng::kInterfaceStatistics);
    Put32(interface);
    Put32(static_cast<uint32_t>(microsecondsSinceEpoch >> 32));
    Put32(static_cast<uint32_t>(microsecondsSinceEpoch));
    PutOption(pcapng::kStatisticsFilterAccepted, &figures.received, 8);
    PutOption(pcapng::kStatisticsSystemDropped, &figures.dropped, 8);
    PutOption(pcapng::kStatisticsInterfaceDropped, &figures.interfaceDropped, 8);
    PutOption(pcapng::kEndOfOptions, nullptr, 0);
    EndBlock(start);
}

void PcapngWriter::AddSecrets(uint32_t type, std::span<const uint8_t> secrets) {
    const size_t start = BeginBlock(pcapng::kDecryptionSecrets);
    Put32(type);
    Put32(static_cast<uint32_t>(secrets.size()));
    PutBytes(secrets.data(), secrets.size());
    EndBlock(start);
}

void PcapngWriter::WipeAndClear() {
    // The buffer only ever grows: every byte that ever held a block lies below capacity_.
    explicit_bzero(buffer_.get(), capacity_);
    used_ = 0;
}

}  // namespace tarnwick
