// SPDX-License-Identifier: GPL-3.0-or-later
// Link layers, IP versions and TCP headers: where the decoder finds the segment, and what it passes over.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include "capture/decode/FrameDecoder.h"
#include "tests/capture/FrameBuilder.h"

namespace tarnwick {
namespace {

using testing::BuildIpPacket;
using testing::Endpoint;
using testing::WithEthernet;

const Endpoint kV4Client{{192, 168, 1, 5}, 50000};
const Endpoint kV4Server{{10, 0, 0, 2}, 80};
const Endpoint kV6Client{*IpAddress::Parse("2001:db8::5"), 50000};
const Endpoint kV6Server{*IpAddress::Parse("2001:db8:1::2"), 8080};
const std::string kPayload = "GET / HTTP/1.1\r\n\r\n";

std::vector<uint8_t> Concat(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}
uint16_t EtherType(const std::vector<uint8_t>& packet) {
    return (packet[0] >> 4) == 6 ? 0x86DD : 0x0800;
}
// A first Linux cooked header; with a VLAN tag between it and the packet when tagged.
std::vector<uint8_t> Cooked(const std::vector<uint8_t>& packet, uint16_t packetType, bool tagged = false) {
    std::vector<uint8_t> header(16, 0);
    header[1] = static_cast<uint8_t>(packetType);
    const uint16_t type = EtherType(packet);
    if (tagged) {
        header[14] = 0x81, header[15] = 0x00;
        header.insert(header.end(), {0x00, 0x0A, uint8_t(type >> 8), uint8_t(type)});
    } else {
        header[14] = static_cast<uint8_t>(type >> 8), header[15] = static_cast<uint8_t>(type);
    }
    return Concat(header, packet);
}
std::vector<uint8_t> Cooked2(const std::vector<uint8_t>& packet, uint8_t packetType, uint16_t linkAddressType = 1) {
    std::vector<uint8_t> header(20, 0);
    header[0] = static_cast<uint8_t>(EtherType(packet) >> 8);
    header[1] = static_cast<uint8_t>(EtherType(packet));
    header[8] = static_cast<uint8_t>(linkAddressType >> 8);
    header[9] = static_cast<uint8_t>(linkAddressType);
    header[10] = packetType;
    return Concat(header, packet);
}
std::vector<uint8_t> Family(const std::vector<uint8_t>& packet, uint32_t family, bool bigEndian) {
    std::vector<uint8_t> header = {uint8_t(family), uint8_t(family >> 8), uint8_t(family >> 16), uint8_t(family >> 24)};
    if (bigEndian) std::reverse(header.begin(), header.end());
    return Concat(header, packet);
}

std::optional<TcpSegment> Decode(int linkType, const std::vector<uint8_t>& frame) {
    const auto decoder = FrameDecoder::ForLinkType(linkType);
    EXPECT_TRUE(decoder) << linkType;
    TcpSegment segment;
    if (!decoder || !decoder->Decode(PacketView(frame.data(), frame.size()), segment)) return std::nullopt;
    return segment;
}

struct LinkCase {
    const char* name;
    int linkType;
    std::vector<uint8_t> frame;
    PacketDirection direction;
    bool v6;
};

// Every readable link type around the same IPv4 and IPv6 segments.
std::vector<LinkCase> LinkCases() {
    std::vector<LinkCase> cases;
    for (const bool v6 : {false, true}) {
        const auto packet =
            v6 ? BuildIpPacket(kV6Client, kV6Server, kPayload) : BuildIpPacket(kV4Client, kV4Server, kPayload);
        const uint32_t bsdFamily = v6 ? 28 : 2;
        auto add = [&](const char* name, int linkType, std::vector<uint8_t> frame,
                       PacketDirection direction = PacketDirection::Unknown) {
            cases.push_back({name, linkType, std::move(frame), direction, v6});
        };
        add("ethernet", DLT_EN10MB, WithEthernet(packet));
        add("802.1Q", DLT_EN10MB, WithEthernet(packet, {0x8100}));
        add("802.1ad+802.1Q", DLT_EN10MB, WithEthernet(packet, {0x88A8, 0x8100}));
        add("three tags", DLT_EN10MB, WithEthernet(packet, {0x9100, 0x88A8, 0x8100}));
        add("sll outgoing", DLT_LINUX_SLL, Cooked(packet, 4), PacketDirection::Outgoing);
        add("sll to host", DLT_LINUX_SLL, Cooked(packet, 0), PacketDirection::Incoming);
        add("sll tagged", DLT_LINUX_SLL, Cooked(packet, 4, true), PacketDirection::Outgoing);
        add("sll2 outgoing", DLT_LINUX_SLL2, Cooked2(packet, 4), PacketDirection::Outgoing);
        add("sll2 broadcast", DLT_LINUX_SLL2, Cooked2(packet, 1), PacketDirection::Incoming);
        add("sll2 loopback", DLT_LINUX_SLL2, Cooked2(packet, 0, 772), PacketDirection::Loopback);
        add("raw", DLT_RAW, packet);
        add(v6 ? "ipv6" : "ipv4", v6 ? DLT_IPV6 : DLT_IPV4, packet);
        add("null little-endian", DLT_NULL, Family(packet, bsdFamily, false));
        add("null big-endian", DLT_NULL, Family(packet, v6 ? 30 : 2, true));
        add("loop", DLT_LOOP, Family(packet, v6 ? 24 : 2, true));
    }
    return cases;
}

TEST(FrameDecoder, EveryLinkTypeYieldsTheSameSegment) {
    for (const auto& c : LinkCases()) {
        const bool v6 = c.v6;
        const auto segment = Decode(c.linkType, c.frame);
        ASSERT_TRUE(segment) << c.name << (v6 ? " v6" : " v4");
        const Endpoint& client = v6 ? kV6Client : kV4Client;
        const Endpoint& server = v6 ? kV6Server : kV4Server;
        EXPECT_EQ(segment->ipVersion, v6 ? 6 : 4) << c.name;
        EXPECT_EQ(segment->SourceAddress(), client.address) << c.name;
        EXPECT_EQ(segment->DestinationAddress(), server.address) << c.name;
        EXPECT_EQ(ntohs(segment->sourcePort), client.port) << c.name;
        EXPECT_EQ(ntohs(segment->destinationPort), server.port) << c.name;
        EXPECT_EQ(segment->SequenceNumber(), 0x01020304u) << c.name;
        EXPECT_EQ(segment->Flags(), TcpSegment::kPsh) << c.name;
        EXPECT_EQ(segment->direction, c.direction) << c.name;
        EXPECT_EQ(segment->payloadStart + segment->payloadLength, c.frame.size()) << c.name;
        EXPECT_EQ(std::string(c.frame.begin() + static_cast<long>(segment->payloadStart), c.frame.end()), kPayload)
            << c.name;
    }
}

// Cut anywhere, a frame decodes to nothing or to a payload inside the captured bytes.
TEST(FrameDecoder, TruncatedFramesStayInsideTheCapturedBytes) {
    for (const auto& c : LinkCases()) {
        const size_t headers = c.frame.size() - kPayload.size();
        for (size_t length = 0; length < c.frame.size(); ++length) {
            const std::vector<uint8_t> cut(c.frame.begin(), c.frame.begin() + static_cast<long>(length));
            const auto segment = Decode(c.linkType, cut);
            EXPECT_EQ(segment.has_value(), length >= headers) << c.name << " cut at " << length;
            if (segment) {
                EXPECT_EQ(segment->payloadStart + segment->payloadLength, length) << c.name;
            }
        }
    }
}

// The same packet carrying a UDP datagram: an 8-byte header with the same ports in place of TCP's.
std::vector<uint8_t> AsUdp(std::vector<uint8_t> packet) {
    const bool v6 = (packet[0] >> 4) == 6;
    const size_t ipLength = v6 ? 40 : (packet[0] & 0x0Fu) * 4;
    packet.erase(packet.begin() + static_cast<ptrdiff_t>(ipLength + 8),
                 packet.begin() + static_cast<ptrdiff_t>(ipLength + 20));
    const size_t length = v6 ? packet.size() - 40 : packet.size();
    packet[v6 ? 4 : 2] = static_cast<uint8_t>(length >> 8);
    packet[v6 ? 5 : 3] = static_cast<uint8_t>(length);
    packet[v6 ? 6 : 9] = 17;
    return packet;
}

TEST(FrameDecoder, UdpDatagramsAreFoundOnlyWhenAsked) {
    for (const auto& [client, server] : {std::pair{kV4Client, kV4Server}, std::pair{kV6Client, kV6Server}}) {
        const auto frame = WithEthernet(AsUdp(BuildIpPacket(client, server, kPayload)));
        const auto decoder = FrameDecoder::ForLinkType(DLT_EN10MB);
        TcpSegment segment;
        const PacketView view(frame.data(), frame.size());
        EXPECT_FALSE(decoder->Decode(view, segment));
        ASSERT_TRUE(decoder->DecodeTransport(view, segment));
        EXPECT_EQ(segment.protocol, TcpSegment::kUdp);
        EXPECT_EQ(segment.tcpHeader, nullptr);
        EXPECT_EQ(segment.payloadStart + segment.payloadLength, frame.size());
        EXPECT_EQ(std::string(frame.begin() + static_cast<ptrdiff_t>(segment.payloadStart), frame.end()), kPayload);
        EXPECT_EQ(segment.SourceAddress(), client.address);
        EXPECT_EQ(ntohs(segment.destinationPort), server.port);
        // A UDP header cut short is passed over.
        const size_t headerStart = frame.size() - kPayload.size() - 8;
        const PacketView cut(frame.data(), headerStart + 6);
        EXPECT_FALSE(decoder->DecodeTransport(cut, segment));
    }
}

TEST(FrameDecoder, MismatchedLinkAndIpVersionsArePassedOver) {
    const auto v4 = BuildIpPacket(kV4Client, kV4Server, kPayload);
    const auto v6 = BuildIpPacket(kV6Client, kV6Server, kPayload);
    auto ipv6TypeOverIpv4 = WithEthernet(v4);
    ipv6TypeOverIpv4[12] = 0x86, ipv6TypeOverIpv4[13] = 0xDD;
    auto arp = WithEthernet(v4);
    arp[13] = 0x06;
    auto udp = v4;
    udp[9] = 17;
    EXPECT_FALSE(Decode(DLT_EN10MB, ipv6TypeOverIpv4));
    EXPECT_FALSE(Decode(DLT_EN10MB, arp));
    EXPECT_FALSE(Decode(DLT_RAW, udp));
    EXPECT_FALSE(Decode(DLT_IPV4, v6));
    EXPECT_FALSE(Decode(DLT_IPV6, v4));
    EXPECT_FALSE(Decode(DLT_NULL, Family(v4, 7, false)));
    EXPECT_FALSE(Decode(DLT_LOOP, Family(v4, 2, false)));       // LOOP is always in network byte order
    EXPECT_FALSE(Decode(DLT_NULL, Family(v6, 2, false)));       // says IPv4, holds IPv6
    EXPECT_FALSE(Decode(DLT_LINUX_SLL2, Cooked2(v4, 4, 772)));  // the outgoing copy of a loopback frame
    EXPECT_FALSE(FrameDecoder::ForLinkType(DLT_IEEE802_11));
    EXPECT_EQ(FrameDecoder::DescribeLinkType(DLT_LINUX_SLL2), "LINUX_SLL2 (Linux cooked v2)");
}

// An IPv6 packet whose TCP header follows the given extension headers (type, length in 8-byte units).
std::vector<uint8_t> WithExtensions(const std::vector<std::pair<uint8_t, uint8_t>>& extensions) {
    auto packet = BuildIpPacket(kV6Client, kV6Server, kPayload);
    std::vector<uint8_t> chain;
    uint8_t* nextField = &packet[6];
    std::vector<size_t> nextOffsets;
    for (const auto& [type, units] : extensions) {
        std::vector<uint8_t> header((units + 1u) * 8u, 0);
        header[1] = units;
        nextOffsets.push_back(chain.size());
        chain.insert(chain.end(), header.begin(), header.end());
    }
    // Each header names the one after it; the last names TCP.
    for (size_t i = 0; i < extensions.size(); ++i) {
        *nextField = extensions[i].first;
        if (i > 0) chain[nextOffsets[i - 1]] = extensions[i].first;
    }
    if (!extensions.empty()) chain[nextOffsets.back()] = 6;
    packet.insert(packet.begin() + 40, chain.begin(), chain.end());
    const size_t payloadLength = packet.size() - 40;
    packet[4] = static_cast<uint8_t>(payloadLength >> 8);
    packet[5] = static_cast<uint8_t>(payloadLength);
    return packet;
}

TEST(FrameDecoder, Ipv6ExtensionHeadersAreWalkedWithinBounds) {
    const auto options = Decode(DLT_RAW, WithExtensions({{0, 0}, {43, 2}, {60, 1}}));
    ASSERT_TRUE(options);
    EXPECT_EQ(options->payloadStart, 40u + 8 + 24 + 16 + 20);
    EXPECT_EQ(options->payloadLength, kPayload.size());

    // A fragment header means the segment is not whole here; other next headers are no TCP.
    EXPECT_FALSE(Decode(DLT_RAW, WithExtensions({{0, 0}, {44, 0}})));
    EXPECT_FALSE(Decode(DLT_RAW, WithExtensions({{51, 1}})));
    const std::vector<std::pair<uint8_t, uint8_t>> many(FrameDecoder::kMaxExtensionHeaders, {60, 0});
    EXPECT_TRUE(Decode(DLT_RAW, WithExtensions(many)));
    auto tooMany = many;
    tooMany.push_back({60, 0});
    EXPECT_FALSE(Decode(DLT_RAW, WithExtensions(tooMany)));
    // A length running past the frame.
    auto overlong = WithExtensions({{60, 0}});
    overlong[41] = 200;
    EXPECT_FALSE(Decode(DLT_RAW, overlong));
}

TEST(FrameDecoder, IpLengthsBoundThePayloadAndLaterFragmentsArePassedOver) {
    // Ethernet pads short frames; the padding is no payload.
    for (const auto& packet : {BuildIpPacket(kV4Client, kV4Server, "ab"), BuildIpPacket(kV6Client, kV6Server, "ab")}) {
        auto padded = WithEthernet(packet);
        padded.resize(padded.size() + 10, 0);
        const auto segment = Decode(DLT_EN10MB, padded);
        ASSERT_TRUE(segment);
        EXPECT_EQ(segment->payloadLength, 2u);
    }
    auto v4 = BuildIpPacket(kV4Client, kV4Server, kPayload);
    auto offloaded = v4;  // a segmentation offload's packet: no total length
    offloaded[2] = offloaded[3] = 0;
    EXPECT_EQ(Decode(DLT_RAW, offloaded)->payloadLength, kPayload.size());
    auto shorterThanHeaders = v4;
    shorterThanHeaders[2] = 0, shorterThanHeaders[3] = 30;
    EXPECT_FALSE(Decode(DLT_RAW, shorterThanHeaders));
    auto firstFragment = v4;
    firstFragment[6] = 0x20;  // more fragments, offset 0: the TCP header is here
    EXPECT_TRUE(Decode(DLT_RAW, firstFragment));
    auto laterFragment = v4;
    laterFragment[7] = 0x03;  // offset 24 bytes: what stands there is data
    EXPECT_FALSE(Decode(DLT_RAW, laterFragment));
}

}  // namespace
}  // namespace tarnwick
