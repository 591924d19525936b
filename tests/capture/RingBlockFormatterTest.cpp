// SPDX-License-Identifier: GPL-3.0-or-later
// Kernel ring blocks as the capture helper hands them on: the stream they become must read back to the
// frames the library would have delivered, and a block whose records lie must be refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/source/PcapngReader.h"
#include "capture/source/PcapngWriter.h"
#include "capture/source/RingBlockFormatter.h"

namespace tarnwick {
namespace {

constexpr int kLoopback = 1;

struct RingPacket {
    std::string bytes;
    uint32_t originalExtra = 0;  // tp_len beyond the captured bytes
    uint16_t mac = 114;          // where the kernel put the bytes: header room as the ring asks for
    uint16_t vlanTci = 0;
    bool vlan = false;
    uint8_t pkttype = PACKET_HOST;
    int ifindex = 2;
    uint16_t protocol = ETH_P_IP;
};

// A block laid out as the kernel fills one: its header, then each packet's record, address record
// and bytes, 8-byte aligned.
std::vector<uint8_t> Block(const std::vector<RingPacket>& packets, size_t size = 8192) {
    std::vector<uint8_t> block(size, 0xEE);
    auto put = [&](size_t at, const void* value, size_t length) { std::memcpy(block.data() + at, value, length); };
    tpacket_block_desc header{};
    header.hdr.bh1.block_status = TP_STATUS_USER;
    header.hdr.bh1.num_pkts = static_cast<uint32_t>(packets.size());
    header.hdr.bh1.offset_to_first_pkt = sizeof header;
    put(0, &header, sizeof header);
    size_t at = sizeof header;
    for (size_t i = 0; i < packets.size(); ++i) {
        const RingPacket& packet = packets[i];
        tpacket3_hdr record{};
        record.tp_sec = 1700000000 + static_cast<uint32_t>(i);
        record.tp_nsec = 123456789;
        record.tp_snaplen = static_cast<uint32_t>(packet.bytes.size());
        record.tp_len = record.tp_snaplen + packet.originalExtra;
        record.tp_mac = packet.mac;
        record.tp_status = TP_STATUS_USER | (packet.vlan ? TP_STATUS_VLAN_VALID : 0);
        record.hv1.tp_vlan_tci = packet.vlanTci;
        const size_t end = at + packet.mac + packet.bytes.size();
        record.tp_next_offset = i + 1 < packets.size() ? static_cast<uint32_t>(((end + 7) & ~size_t{7}) - at) : 0;
        put(at, &record, sizeof record);
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(packet.protocol);
        address.sll_ifindex = packet.ifindex;
        address.sll_hatype = 1;
        address.sll_pkttype = packet.pkttype;
        address.sll_halen = 6;
        std::memcpy(address.sll_addr, "\x02\x00\x00\x00\x00\x07", 6);
        put(at + TPACKET_ALIGN(sizeof record), &address, sizeof address);
        put(at + packet.mac, packet.bytes.data(), packet.bytes.size());
        at += record.tp_next_offset;
    }
    return block;
}

struct Read {
    std::string bytes;
    uint32_t length;
    timeval time;
};

class Collect final : public PacketHandler {
public:
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int) override {
        packets.push_back({std::string(reinterpret_cast<const char*>(bytes), header.caplen), header.len, header.ts});
    }
    std::vector<Read> packets;
};

// The pieces after a section and interface header, read back as Tarnwick reads the helper's stream.
std::vector<Read> ReadBack(int linkType, const std::vector<RingBlockFormatter::Piece>& pieces) {
    PcapngWriter head;
    head.AddSectionHeader("test");
    head.AddInterface(linkType, 65535, "adapter");
    std::vector<uint8_t> stream(head.Data(), head.Data() + head.Size());
    for (const auto& piece : pieces) stream.insert(stream.end(), piece.data, piece.data + piece.size);
    PcapngReader reader;
    size_t room = 0;
    uint8_t* into = reader.Room(room);
    EXPECT_LE(stream.size(), room);
    std::memcpy(into, stream.data(), stream.size());
    reader.Commit(stream.size());
    Collect collect;
    EXPECT_EQ(reader.Parse(collect), PcapngReader::Result::Ok) << reader.Error();
    EXPECT_TRUE(reader.AtBlockBoundary());
    return collect.packets;
}

std::string Ethernet(const std::string& payload) {
    return std::string("\x02\x00\x00\x00\x00\x01\x02\x00\x00\x00\x00\x02\x08\x00", 14) + payload;
}

TEST(RingBlockFormatter, EthernetBlockBecomesOnePieceWithTagsRestoredAndLoopbackEchoesLeftOut) {
    RingPacket plain{Ethernet("first, odd length"), 100};
    RingPacket tagged{Ethernet("tagged")};
    tagged.vlan = true;
    tagged.vlanTci = 0x0123;
    RingPacket echo{Ethernet("sent on loopback")};
    echo.pkttype = PACKET_OUTGOING;
    echo.ifindex = kLoopback;
    RingPacket last{Ethernet(std::string(1500, 'z'))};
    auto block = Block({plain, tagged, echo, last});
    RingBlockFormatter formatter(DLT_EN10MB, 0, kLoopback);
    std::vector<RingBlockFormatter::Piece> pieces;
    ASSERT_TRUE(formatter.Format(block.data(), block.size(), pieces)) << formatter.Error();
    // Handed on without a copy: one piece, in the block.
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_TRUE(pieces[0].inBlock);

    const auto read = ReadBack(DLT_EN10MB, pieces);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].bytes, plain.bytes);
    EXPECT_EQ(read[0].length, plain.bytes.size() + 100);
    EXPECT_EQ(read[0].time.tv_sec, 1700000000);
    EXPECT_EQ(read[0].time.tv_usec, 123456);
    const std::string withTag =
        tagged.bytes.substr(0, 12) + std::string("\x81\x00\x01\x23", 4) + tagged.bytes.substr(12);
    EXPECT_EQ(read[1].bytes, withTag);
    EXPECT_EQ(read[1].length, withTag.size());
    EXPECT_EQ(read[2].bytes, last.bytes);
    EXPECT_EQ(formatter.Packets(), 3u);
}

TEST(RingBlockFormatter, CookedHeadersAreBuiltFromTheAddressRecord) {
    RingPacket packet{"\x45 an IP packet"};
    packet.mac = 128;
    packet.pkttype = PACKET_OUTGOING;
    packet.ifindex = 7;
    auto block = Block({packet});
    RingBlockFormatter formatter(DLT_LINUX_SLL2, 0, kLoopback);
    std::vector<RingBlockFormatter::Piece> pieces;
    ASSERT_TRUE(formatter.Format(block.data(), block.size(), pieces));
    const auto read = ReadBack(DLT_LINUX_SLL2, pieces);
    ASSERT_EQ(read.size(), 1u);
    const std::string header("\x08\x00\x00\x00\x00\x00\x00\x07\x00\x01\x04\x06\x02\x00\x00\x00\x00\x07\x00\x00", 20);
    EXPECT_EQ(read[0].bytes, header + packet.bytes);
    EXPECT_EQ(read[0].length, 20 + packet.bytes.size());
}

TEST(RingBlockFormatter, PacketsWithoutRoomAroundThemAreCopiedAndLyingRecordsRefused) {
    // A packet whose block would not end on a word boundary before the next one starts a new piece;
    // one that ends the block leaves no room for its trailer and goes out as a copy.
    RingPacket roomy{Ethernet("roomy")};
    RingPacket odd{Ethernet("odd")};
    odd.mac = 115;
    const std::string tail = Ethernet("at the very end");
    auto block = Block({roomy, odd, roomy});
    RingBlockFormatter formatter(DLT_EN10MB, 0, kLoopback);
    std::vector<RingBlockFormatter::Piece> pieces;
    ASSERT_TRUE(formatter.Format(block.data(), block.size(), pieces));
    ASSERT_GE(pieces.size(), 2u);
    auto read = ReadBack(DLT_EN10MB, pieces);
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[1].bytes, odd.bytes);
    EXPECT_EQ(read[2].bytes, roomy.bytes);

    RingPacket ending{tail};
    auto full = Block({ending}, 114 + 48 + tail.size());  // the bytes end exactly at the block's end
    ASSERT_TRUE(formatter.Format(full.data(), full.size(), pieces));
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_FALSE(pieces[0].inBlock);
    read = ReadBack(DLT_EN10MB, pieces);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].bytes, tail);

    // Records that point outside the block or make packets overlap.
    auto lying = Block({roomy, roomy});
    uint32_t past = 1u << 20;
    std::memcpy(lying.data() + 48 + offsetof(tpacket3_hdr, tp_snaplen), &past, sizeof past);
    EXPECT_FALSE(formatter.Format(lying.data(), lying.size(), pieces));
    EXPECT_NE(formatter.Error().find("damaged"), std::string::npos);
    auto overlapping = Block({roomy, roomy});
    uint32_t back = 8;
    std::memcpy(overlapping.data() + 48 + offsetof(tpacket3_hdr, tp_next_offset), &back, sizeof back);
    EXPECT_FALSE(formatter.Format(overlapping.data(), overlapping.size(), pieces));
}

}  // namespace
}  // namespace tarnwick
