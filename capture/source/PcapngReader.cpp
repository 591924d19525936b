// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a pcapng stream block by block as its bytes arrive, in either byte order.
#include "capture/source/PcapngReader.h"

#include <byteswap.h>

#include <cstring>

#include "capture/source/LinkTypes.h"
#include "capture/source/PcapngBlocks.h"

namespace tarnwick {

namespace {

constexpr size_t kReadBytes = 1u << 20;
constexpr uint32_t kSectionFixedBytes = 16;     // magic, version, section length
constexpr uint32_t kInterfaceFixedBytes = 8;    // link type, reserved, snapshot length
constexpr uint32_t kStatisticsFixedBytes = 12;  // interface, time
constexpr uint32_t kObsoletePacketFixedBytes = 20;

}  // namespace

PcapngReader::PcapngReader() : buffer_(new uint8_t[kReadBytes]), capacity_(kReadBytes) {}

uint32_t PcapngReader::Word(const uint8_t* at) const {
    uint32_t value;
    std::memcpy(&value, at, 4);
    return swapped_ ? bswap_32(value) : value;
}

uint16_t PcapngReader::Half(const uint8_t* at) const {
    uint16_t value;
    std::memcpy(&value, at, 2);
    return swapped_ ? bswap_16(value) : value;
}

uint64_t PcapngReader::Double(const uint8_t* at) const {
    uint64_t value;
    std::memcpy(&value, at, 8);
    return swapped_ ? bswap_64(value) : value;
}

uint8_t* PcapngReader::Room(size_t& size) {
    // The unread rest moves to the front once it is small, or once the room behind it runs out.
    if (start_ > 0 && (start_ == end_ || capacity_ - end_ < kReadBytes / 4)) {
        std::memmove(buffer_.get(), buffer_.get() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    // A block longer than the buffer needs a larger one; the length was checked when it was seen.
    size_t wanted = end_ + kReadBytes / 4;
    if (end_ - start_ >= 8)
        wanted = std::max<size_t>(wanted, start_ + std::min(Word(buffer_.get() + start_ + 4), kMaxBlockBytes));
    if (wanted > capacity_) {
        size_t capacity = capacity_;
        while (capacity < wanted) capacity *= 2;
        std::unique_ptr<uint8_t[]> larger(new uint8_t[capacity]);
        std::memcpy(larger.get(), buffer_.get() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
        buffer_ = std::move(larger);
        capacity_ = capacity;
    }
    size = capacity_ - end_;
    return buffer_.get() + end_;
}

void PcapngReader::Commit(size_t count) {
    end_ += count;
}

bool PcapngReader::Fail(const std::string& why) {
    damage_ = {why, packets_ + 1, offset_};
    error_ = why + " (packet " + std::to_string(packets_ + 1) + ", byte offset " + std::to_string(offset_) + ")";
    return false;
}

PcapngReader::Result PcapngReader::ParseBlocks(PacketHandler* handler) {
    while (end_ - start_ >= 12) {
        uint8_t* block = buffer_.get() + start_;
        uint32_t type;
        std::memcpy(&type, block, 4);  // the section header's type reads the same in both byte orders
        if (type == pcapng::kSectionHeader) {
            uint32_t magic;
            std::memcpy(&magic, block + 8, 4);
            if (magic == pcapng::kByteOrderMagic)
                swapped_ = false;
            else if (magic == bswap_32(pcapng::kByteOrderMagic))
                swapped_ = true;
            else
                return Fail("not a pcapng stream: the section header has no byte-order mark"), Result::Damaged;
        } else if (!inSection_) {
            return Fail("not a pcapng stream: it does not begin with a section header"), Result::Damaged;
        } else {
            type = Word(block);
        }
        const uint32_t length = Word(block + 4);
        if (length < pcapng::kBlockFrameBytes || length % 4 != 0 || length > kMaxBlockBytes)
            return Fail("block of impossible length " + std::to_string(length)), Result::Damaged;
        if (end_ - start_ < length) break;  // the rest of the block has not arrived yet
        if (!handler && type != pcapng::kSectionHeader && type != pcapng::kInterfaceDescription) break;
        if (Word(block + length - 4) != length)
            return Fail("block length " + std::to_string(length) + " is not repeated at its end"), Result::Damaged;
        bool taken = true;
        switch (type) {
            case pcapng::kSectionHeader:
                taken = TakeSectionHeader(block, length);
                break;
            case pcapng::kInterfaceDescription:
                taken = TakeInterface(block, length);
                break;
            case pcapng::kInterfaceStatistics:
                taken = TakeStatistics(block, length);
                break;
            case pcapng::kEnhancedPacket:
            case pcapng::kSimplePacket:
            case pcapng::kObsoletePacket:
                taken = TakePacket(block, length, type, *handler);
                break;
            case pcapng::kRingBlock:
                taken = TakeRingBlock(block, length, *handler);
                break;
            case pcapng::kDecryptionSecrets:
                taken = TakeSecrets(block, length, *handler);
                break;
            default:
                break;  // name resolution, comments, custom blocks: nothing for us
        }
        if (!taken) return Result::Damaged;
        start_ += length;
        offset_ += length;
    }
    return Result::Ok;
}

bool PcapngReader::TakeSectionHeader(const uint8_t* block, uint32_t length) {
    if (length < pcapng::kBlockFrameBytes + kSectionFixedBytes) return Fail("section header too short");
    if (Half(block + 12) != 1) return Fail("pcapng version " + std::to_string(Half(block + 12)) + " is not supported");
    inSection_ = true;
    interfaces_.clear();  // a new section numbers its interfaces anew
    return true;
}

bool PcapngReader::TakeInterface(const uint8_t* block, uint32_t length) {
    if (length < pcapng::kBlockFrameBytes + kInterfaceFixedBytes) return Fail("interface description too short");
    Interface interface;
    interface.linkType = DltOfLinkType(Half(block + 8));
    interface.snapLength = Word(block + 12);
    const uint8_t* option = block + 16;
    const uint8_t* end = block + length - 4;
    while (end - option >= 4) {
        const uint16_t code = Half(option);
        const uint16_t size = Half(option + 2);
        const uint8_t* value = option + 4;
        if (code == pcapng::kEndOfOptions) break;
        if (size > end - value) return Fail("interface option runs past its block");
        if (code == pcapng::kInterfaceName) {
            interface.name.assign(reinterpret_cast<const char*>(value), size);
            interface.name.resize(std::strlen(interface.name.c_str()));  // a writer may count a closing NUL
        } else if (code == pcapng::kInterfaceTimeResolution && size >= 1) {
            const uint8_t exponent = value[0] & 0x7F;
            const bool binary = value[0] & 0x80;
            if (binary ? exponent > 63 : exponent > 19) return Fail("impossible time resolution");
            uint64_t units = 1;
            for (int i = 0; i < exponent; ++i) units *= binary ? 2 : 10;
            interface.unitsPerSecond = units;
        } else if (code == pcapng::kInterfaceTimeOffset && size >= 8) {
            interface.offsetSeconds = static_cast<int64_t>(Double(value));
        }
        option = value + ((size + 3u) & ~3u);
    }
    interfaces_.push_back(std::move(interface));
    return true;
}

bool PcapngReader::TakeStatistics(const uint8_t* block, uint32_t length) {
    if (length < pcapng::kBlockFrameBytes + kStatisticsFixedBytes) return Fail("interface statistics too short");
    const uint32_t index = Word(block + 8);
    if (index >= interfaces_.size())
        return Fail("statistics for interface " + std::to_string(index) + ", which is not described");
    CaptureStatistics figures;
    std::optional<uint64_t> received;
    const uint8_t* option = block + 20;
    const uint8_t* end = block + length - 4;
    while (end - option >= 4) {
        const uint16_t code = Half(option);
        const uint16_t size = Half(option + 2);
        const uint8_t* value = option + 4;
        if (code == pcapng::kEndOfOptions) break;
        if (size > end - value) return Fail("statistics option runs past its block");
        if (size == 8) {
            const uint64_t count = Double(value);
            if (code == pcapng::kStatisticsFilterAccepted)
                figures.received = count;
            else if (code == pcapng::kStatisticsInterfaceReceived)
                received = count;
            else if (code == pcapng::kStatisticsSystemDropped)
                figures.dropped = count;
            else if (code == pcapng::kStatisticsInterfaceDropped)
                figures.interfaceDropped = count;
        }
        option = value + ((size + 3u) & ~3u);
    }
    // Writers that count only what the adapter received give that as the total.
    if (figures.received == 0 && received) figures.received = *received;
    interfaces_[index].statistics = figures;
    return true;
}

bool PcapngReader::SetTime(const Interface& interface, uint64_t units, timeval& time) {
    const uint64_t seconds = units / interface.unitsPerSecond;
    const uint64_t rest = units % interface.unitsPerSecond;
    time.tv_sec = static_cast<time_t>(seconds + static_cast<uint64_t>(interface.offsetSeconds));
    // A long double holds the 64-bit remainder exactly; the product would overflow 64 bits.
    time.tv_usec = static_cast<suseconds_t>(static_cast<long double>(rest) * 1000000.0L / interface.unitsPerSecond);
    return true;
}

bool PcapngReader::TakePacket(const uint8_t* block, uint32_t length, uint32_t type, PacketHandler& handler) {
    const uint32_t body = length - pcapng::kBlockFrameBytes;
    uint32_t index = 0;
    uint64_t units = 0;
    uint32_t captured = 0;
    uint32_t original = 0;
    const uint8_t* data = nullptr;
    if (type == pcapng::kSimplePacket) {
        if (body < 4) return Fail("simple packet block too short");
        if (interfaces_.empty()) return Fail("packet before any interface description");
        original = Word(block + 8);
        captured = std::min(original, body - 4);
        if (interfaces_[0].snapLength != 0) captured = std::min(captured, interfaces_[0].snapLength);
        data = block + 12;
    } else {
        const uint32_t fixed =
            type == pcapng::kEnhancedPacket ? pcapng::kEnhancedPacketFixedBytes : kObsoletePacketFixedBytes;
        if (body < fixed) return Fail("packet block too short");
        index = type == pcapng::kEnhancedPacket ? Word(block + 8) : Half(block + 8);
        units = (uint64_t{Word(block + 12)} << 32) | Word(block + 16);
        captured = Word(block + 20);
        original = Word(block + 24);
        if (captured > body - fixed)
            return Fail("packet of " + std::to_string(captured) + " bytes runs past its block");
        data = block + 8 + fixed;
    }
    if (index >= interfaces_.size())
        return Fail("packet on interface " + std::to_string(index) + ", which is not described");
    ++packets_;
    if (onlyInterface_ && *onlyInterface_ != index) return true;
    pcap_pkthdr header{};
    SetTime(interfaces_[index], units, header.ts);
    header.caplen = captured;
    header.len = std::max(original, captured);
    handler.HandlePacket(header, data, interfaces_[index].linkType);
    return true;
}

bool PcapngReader::TakeSecrets(uint8_t* block, uint32_t length, PacketHandler& handler) {
    const uint32_t body = length - pcapng::kBlockFrameBytes;
    if (body < pcapng::kDecryptionSecretsFixedBytes) return Fail("decryption secrets block too short");
    const uint32_t type = Word(block + 8);
    const uint32_t size = Word(block + 12);
    if (size > body - pcapng::kDecryptionSecretsFixedBytes)
        return Fail("decryption secrets of " + std::to_string(size) + " bytes run past their block");
    uint8_t* secrets = block + 8 + pcapng::kDecryptionSecretsFixedBytes;
    // Other kinds (WireGuard, ZigBee...) decrypt nothing read here; every kind is wiped all the same.
    if (type == pcapng::kTlsKeyLogSecrets) handler.HandleSecrets({secrets, size});
    explicit_bzero(secrets, size);
    return true;
}

bool PcapngReader::TakeRingBlock(uint8_t* block, uint32_t length, PacketHandler& handler) {
    if (length < pcapng::kBlockFrameBytes + pcapng::kRingBlockFixedBytes) return Fail("ring block too short");
    // The kernel's records are in the byte order of the machine that captured them.
    if (swapped_) return Fail("ring block from a machine of the other byte order");
    const uint32_t index = Word(block + 8);
    const auto loopback = static_cast<int32_t>(Word(block + 12));
    if (index >= interfaces_.size())
        return Fail("ring block of interface " + std::to_string(index) + ", which is not described");
    uint8_t* ring = block + 8 + pcapng::kRingBlockFixedBytes;
    const size_t ringBytes = length - pcapng::kBlockFrameBytes - pcapng::kRingBlockFixedBytes;
    if (!walker_.Read(ring, ringBytes, interfaces_[index].linkType, loopback))
        return Fail("damaged ring block: " + walker_.Error());
    for (const auto& frame : walker_.Frames()) {
        if (frame.skip) continue;
        ++packets_;
        if (onlyInterface_ && *onlyInterface_ != index) continue;
        const uint32_t prefix = walker_.PrefixBytes(frame);
        uint8_t* bytes = ring + frame.data - prefix;
        walker_.PutFrame(bytes, frame, ring);
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(frame.microseconds / 1000000);
        header.ts.tv_usec = static_cast<suseconds_t>(frame.microseconds % 1000000);
        header.caplen = frame.captured + prefix;
        header.len = std::max(frame.original + prefix, header.caplen);
        handler.HandlePacket(header, bytes, interfaces_[index].linkType);
    }
    return true;
}

}  // namespace tarnwick
