// SPDX-License-Identifier: GPL-3.0-or-later
// The packets of a kernel ring block, read and delivered as the library delivers them.
#include "capture/source/RingBlockWalker.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <pcap/dlt.h>

#include <cstddef>
#include <cstring>

namespace tarnwick {

namespace {

// The kernel's records, read by offset so that no alignment or layout of the block is assumed.
constexpr size_t kBlockHeaderBytes = sizeof(tpacket_block_desc);
constexpr size_t kPacketHeaderBytes = TPACKET_ALIGN(sizeof(tpacket3_hdr));
constexpr size_t kAddressBytes = sizeof(sockaddr_ll);
constexpr uint32_t kCookedBytes = 16;   // Linux cooked header
constexpr uint32_t kCooked2Bytes = 20;  // its second version
constexpr uint32_t kVlanTagBytes = 4;
constexpr uint32_t kEthernetAddressesBytes = 12;

template <typename T>
T Load(const uint8_t* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
void Store(uint8_t* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

void StoreBig16(uint8_t* at, uint16_t value) {
    Store<uint16_t>(at, htons(value));
}

}  // namespace

bool RingBlockWalker::Fail(const std::string& why) {
    error_ = why;
    return false;
}

bool RingBlockWalker::Read(const uint8_t* block, size_t blockSize, int linkType, int loopbackIndex) {
    linkType_ = linkType;
    frames_.clear();
    if (blockSize < kBlockHeaderBytes) return Fail("shorter than its header");
    const uint32_t count = Load<uint32_t>(block + offsetof(tpacket_block_desc, hdr.bh1.num_pkts));
    uint64_t at = Load<uint32_t>(block + offsetof(tpacket_block_desc, hdr.bh1.offset_to_first_pkt));
    // Each packet takes at least its records, which bounds the count before anything is reserved.
    if (count > blockSize / (kPacketHeaderBytes + kAddressBytes)) return Fail("more packets than fit");
    frames_.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (at < kBlockHeaderBytes || at + kPacketHeaderBytes + kAddressBytes > blockSize)
            return Fail("a packet record outside the block");
        const uint8_t* packet = block + at;
        const uint8_t* address = packet + kPacketHeaderBytes;
        const uint32_t mac = Load<uint16_t>(packet + offsetof(tpacket3_hdr, tp_mac));
        Frame frame;
        frame.captured = Load<uint32_t>(packet + offsetof(tpacket3_hdr, tp_snaplen));
        frame.original = Load<uint32_t>(packet + offsetof(tpacket3_hdr, tp_len));
        frame.data = at + mac;
        if (mac < kPacketHeaderBytes + kAddressBytes || frame.data + frame.captured > blockSize)
            return Fail("packet bytes outside the block");
        const uint64_t seconds = Load<uint32_t>(packet + offsetof(tpacket3_hdr, tp_sec));
        const uint32_t nanoseconds = Load<uint32_t>(packet + offsetof(tpacket3_hdr, tp_nsec));
        frame.microseconds = seconds * 1000000 + nanoseconds / 1000;
        const uint32_t status = Load<uint32_t>(packet + offsetof(tpacket3_hdr, tp_status));
        frame.vlanTci = Load<uint16_t>(packet + offsetof(tpacket3_hdr, hv1.tp_vlan_tci));
        const uint16_t tpid = Load<uint16_t>(packet + offsetof(tpacket3_hdr, hv1.tp_vlan_tpid));
        frame.vlanTpid = (tpid != 0 || (status & TP_STATUS_VLAN_TPID_VALID)) ? tpid : ETH_P_8021Q;
        const bool tagged = frame.vlanTci != 0 || (status & TP_STATUS_VLAN_VALID);
        frame.vlan = tagged && ((linkType_ == DLT_EN10MB && frame.captured >= kEthernetAddressesBytes) ||
                                linkType_ == DLT_LINUX_SLL);
        frame.protocol = Load<uint16_t>(address + offsetof(sockaddr_ll, sll_protocol));
        frame.ifindex = Load<int32_t>(address + offsetof(sockaddr_ll, sll_ifindex));
        frame.hatype = Load<uint16_t>(address + offsetof(sockaddr_ll, sll_hatype));
        frame.pkttype = address[offsetof(sockaddr_ll, sll_pkttype)];
        frame.halen = address[offsetof(sockaddr_ll, sll_halen)];
        std::memcpy(frame.address, address + offsetof(sockaddr_ll, sll_addr), sizeof frame.address);
        frame.skip = frame.pkttype == PACKET_OUTGOING && frame.ifindex == loopbackIndex;
        frames_.push_back(frame);
        if (i + 1 < count) {
            // Packets follow each other: the next one's records start after this one's bytes.
            const uint32_t next = Load<uint32_t>(packet + offsetof(tpacket3_hdr, tp_next_offset));
            if (at + next < frame.data + frame.captured) return Fail("packets that overlap");
            at += next;
        }
    }
    return true;
}

uint32_t RingBlockWalker::PrefixBytes(const Frame& frame) const {
    const uint32_t tag = frame.vlan ? kVlanTagBytes : 0;
    if (linkType_ == DLT_LINUX_SLL2) return kCooked2Bytes;
    if (linkType_ == DLT_LINUX_SLL) return kCookedBytes + tag;
    return tag;
}

void RingBlockWalker::PutFrame(uint8_t* out, const Frame& frame, const uint8_t* block) const {
    const uint8_t* bytes = block + frame.data;
    const uint32_t prefix = PrefixBytes(frame);
    const bool inPlace = out + prefix == bytes;
    if (linkType_ == DLT_LINUX_SLL2) {
        Store<uint16_t>(out, frame.protocol);
        Store<uint16_t>(out + 2, 0);
        Store<uint32_t>(out + 4, htonl(static_cast<uint32_t>(frame.ifindex)));
        StoreBig16(out + 8, frame.hatype);
        out[10] = frame.pkttype;
        out[11] = frame.halen;
        std::memcpy(out + 12, frame.address, sizeof frame.address);
    } else if (linkType_ == DLT_LINUX_SLL) {
        StoreBig16(out, frame.pkttype);
        StoreBig16(out + 2, frame.hatype);
        StoreBig16(out + 4, frame.halen);
        std::memcpy(out + 6, frame.address, sizeof frame.address);
        if (frame.vlan) {
            StoreBig16(out + 14, frame.vlanTpid);
            StoreBig16(out + 16, frame.vlanTci);
            Store<uint16_t>(out + 18, frame.protocol);
        } else {
            Store<uint16_t>(out + 14, frame.protocol);
        }
    } else if (frame.vlan) {
        // The tag goes back between the addresses and the type, where the adapter took it from.
        std::memmove(out, bytes, kEthernetAddressesBytes);
        StoreBig16(out + kEthernetAddressesBytes, frame.vlanTpid);
        StoreBig16(out + kEthernetAddressesBytes + 2, frame.vlanTci);
        if (!inPlace)
            std::memcpy(out + prefix + kEthernetAddressesBytes, bytes + kEthernetAddressesBytes,
                        frame.captured - kEthernetAddressesBytes);
        return;
    }
    if (!inPlace) std::memcpy(out + prefix, bytes, frame.captured);
}

}  // namespace tarnwick
