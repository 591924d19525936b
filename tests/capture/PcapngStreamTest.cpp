// SPDX-License-Identifier: GPL-3.0-or-later
// The capture helper's stream: what the writer puts out, the reader gives back, however the bytes
// arrive; and a damaged stream is named, not misread.
#include <byteswap.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "capture/source/PcapReader.h"
#include "capture/source/PcapngReader.h"
#include "capture/source/PcapngWriter.h"

namespace tarnwick {
namespace {

struct Seen {
    timeval time;
    std::string bytes;
    uint32_t length;
    int linkType;
};

class Collect final : public PacketHandler {
public:
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int linkType) override {
        packets.push_back(
            {header.ts, std::string(reinterpret_cast<const char*>(bytes), header.caplen), header.len, linkType});
        order += "p";
    }
    void HandleSecrets(std::span<const uint8_t> lines) override {
        secrets.emplace_back(reinterpret_cast<const char*>(lines.data()), lines.size());
        order += "s";
    }
    std::vector<Seen> packets;
    std::vector<std::string> secrets;
    std::string order;  // "p" per packet, "s" per secrets block, as they came
};

pcap_pkthdr Header(time_t seconds, suseconds_t micros, uint32_t captured, uint32_t length) {
    pcap_pkthdr header{};
    header.ts.tv_sec = seconds;
    header.ts.tv_usec = micros;
    header.caplen = captured;
    header.len = length;
    return header;
}

// Two adapters, packets of odd lengths (padding), statistics in between and at the end.
std::vector<uint8_t> SampleStream() {
    PcapngWriter writer;
    writer.AddSectionHeader("test");
    writer.AddInterface(DLT_EN10MB, 65535, "eth0");
    writer.AddInterface(DLT_EN10MB, 65535, "lo");
    const std::string first = "frame-one", second(1501, 'x'), third = "3";
    writer.AddPacket(0, Header(1700000000, 123456, 9, 60), reinterpret_cast<const uint8_t*>(first.data()));
    writer.AddPacket(1, Header(1700000001, 999999, 1501, 1501), reinterpret_cast<const uint8_t*>(second.data()));
    writer.AddStatistics(1, CaptureStatistics{10, 2, 1}, 1);
    writer.AddPacket(1, Header(1700000002, 0, 1, 1), reinterpret_cast<const uint8_t*>(third.data()));
    writer.AddStatistics(1, CaptureStatistics{uint64_t{1} << 40, 7, 0}, 2);
    return std::vector<uint8_t>(writer.Data(), writer.Data() + writer.Size());
}

// Feeds the stream in pieces of the given size, parsing after each.
PcapngReader::Result Feed(PcapngReader& reader, const std::vector<uint8_t>& stream, size_t piece,
                          PacketHandler& handler) {
    for (size_t at = 0; at < stream.size();) {
        size_t room = 0;
        uint8_t* into = reader.Room(room);
        const size_t count = std::min({room, piece, stream.size() - at});
        std::memcpy(into, stream.data() + at, count);
        reader.Commit(count);
        at += count;
        if (reader.Parse(handler) == PcapngReader::Result::Damaged) return PcapngReader::Result::Damaged;
    }
    return PcapngReader::Result::Ok;
}

TEST(PcapngStream, PacketsInterfacesAndStatisticsComeBackInAnyPieces) {
    const std::vector<uint8_t> stream = SampleStream();
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, stream.size()}) {
        PcapngReader reader;
        Collect all;
        ASSERT_EQ(Feed(reader, stream, piece, all), PcapngReader::Result::Ok) << reader.Error();
        EXPECT_TRUE(reader.AtBlockBoundary());
        ASSERT_EQ(all.packets.size(), 3u) << "piece " << piece;
        EXPECT_EQ(all.packets[0].bytes, "frame-one");
        EXPECT_EQ(all.packets[0].length, 60u);
        EXPECT_EQ(all.packets[0].time.tv_sec, 1700000000);
        EXPECT_EQ(all.packets[0].time.tv_usec, 123456);
        EXPECT_EQ(all.packets[1].bytes, std::string(1501, 'x'));
        EXPECT_EQ(all.packets[1].time.tv_usec, 999999);
        ASSERT_EQ(reader.Interfaces().size(), 2u);
        EXPECT_EQ(reader.Interfaces()[1].name, "lo");
        EXPECT_EQ(reader.Interfaces()[1].linkType, DLT_EN10MB);
        EXPECT_FALSE(reader.Interfaces()[0].statistics);
        EXPECT_EQ(reader.Interfaces()[1].statistics, (CaptureStatistics{uint64_t{1} << 40, 7, 0}));
    }
    // Only the chosen interface's packets are handed over.
    PcapngReader reader;
    Collect lo;
    reader.DeliverOnly(1);
    ASSERT_EQ(Feed(reader, stream, 100, lo), PcapngReader::Result::Ok);
    EXPECT_EQ(lo.packets.size(), 2u);
}

TEST(PcapngStream, DescriptionsAreReadWithoutTakingPackets) {
    const std::vector<uint8_t> stream = SampleStream();
    PcapngReader reader;
    size_t room = 0;
    std::memcpy(reader.Room(room), stream.data(), stream.size());
    reader.Commit(stream.size());
    ASSERT_EQ(reader.ParseDescriptions(), PcapngReader::Result::Ok);
    EXPECT_EQ(reader.Interfaces().size(), 2u);
    Collect all;
    ASSERT_EQ(reader.Parse(all), PcapngReader::Result::Ok);
    EXPECT_EQ(all.packets.size(), 3u);
}

// The same stream as another machine's writer puts it: every field in the other byte order, times in
// nanoseconds.
TEST(PcapngStream, OtherByteOrderAndTimeResolution) {
    auto word = [](std::vector<uint8_t>& out, uint32_t value) {
        value = bswap_32(value);
        out.insert(out.end(), reinterpret_cast<uint8_t*>(&value), reinterpret_cast<uint8_t*>(&value) + 4);
    };
    auto half = [](std::vector<uint8_t>& out, uint16_t value) {
        value = bswap_16(value);
        out.insert(out.end(), reinterpret_cast<uint8_t*>(&value), reinterpret_cast<uint8_t*>(&value) + 2);
    };
    std::vector<uint8_t> stream;
    word(stream, 0x0A0D0D0A), word(stream, 28), word(stream, 0x1A2B3C4D), half(stream, 1), half(stream, 0);
    word(stream, 0xFFFFFFFF), word(stream, 0xFFFFFFFF), word(stream, 28);
    // Interface: link type 1, snapshot 65535, if_tsresol 9, end of options.
    word(stream, 1), word(stream, 32), half(stream, 1), half(stream, 0), word(stream, 65535);
    half(stream, 9), half(stream, 1), stream.insert(stream.end(), {9, 0, 0, 0});
    half(stream, 0), half(stream, 0), word(stream, 32);
    const uint64_t nanos = 1700000000123456789ull;
    word(stream, 6), word(stream, 36), word(stream, 0), word(stream, static_cast<uint32_t>(nanos >> 32));
    word(stream, static_cast<uint32_t>(nanos)), word(stream, 3), word(stream, 3);
    stream.insert(stream.end(), {'a', 'b', 'c', 0}), word(stream, 36);

    PcapngReader reader;
    Collect all;
    ASSERT_EQ(Feed(reader, stream, 5, all), PcapngReader::Result::Ok) << reader.Error();
    ASSERT_EQ(all.packets.size(), 1u);
    EXPECT_EQ(all.packets[0].bytes, "abc");
    EXPECT_EQ(all.packets[0].time.tv_sec, 1700000000);
    EXPECT_EQ(all.packets[0].time.tv_usec, 123456);
}

TEST(PcapngStream, DamageIsNamedWithItsPacketAndOffset) {
    const std::vector<uint8_t> good = SampleStream();
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> spoil;
        const char* said;
    };
    // Offsets into the sample: section header 40 bytes, interfaces 32 bytes each, first packet 44.
    const size_t firstPacket = 40 + 32 + 32;
    const std::vector<Case> cases = {
        {"no section header", [](auto& s) { s.erase(s.begin(), s.begin() + 40); },
         "does not begin with a section header"},
        {"trailing length differs", [&](auto& s) { s[firstPacket + 43] ^= 1; },
         "not repeated at its end (packet 1, byte offset 104)"},
        {"captured length past the block", [&](auto& s) { s[firstPacket + 20] = 200; }, "runs past its block"},
        {"undescribed interface", [&](auto& s) { s[firstPacket + 8] = 5; }, "interface 5, which is not described"},
        {"impossible length", [&](auto& s) { s[firstPacket + 7] = 0x7F; }, "impossible length"},
    };
    for (const auto& damage : cases) {
        std::vector<uint8_t> stream = good;
        damage.spoil(stream);
        PcapngReader reader;
        Collect all;
        EXPECT_EQ(Feed(reader, stream, 64, all), PcapngReader::Result::Damaged) << damage.what;
        EXPECT_NE(reader.Error().find(damage.said), std::string::npos) << damage.what << ": " << reader.Error();
        EXPECT_TRUE(all.packets.empty()) << damage.what;
    }
    // A stream cut inside a block is whole up to there, and says it is not at a block's end.
    std::vector<uint8_t> cut(good.begin(), good.end() - 10);
    PcapngReader reader;
    Collect all;
    EXPECT_EQ(Feed(reader, cut, 1000, all), PcapngReader::Result::Ok);
    EXPECT_FALSE(reader.AtBlockBoundary());
    EXPECT_EQ(all.packets.size(), 3u);
}

// A Decryption Secrets Block as Wireshark writes it: secrets type, length, the secrets padded to words.
void AppendSecrets(std::vector<uint8_t>& stream, uint32_t type, const std::string& secrets,
                   uint32_t claimedLength = UINT32_MAX) {
    const uint32_t padded = (static_cast<uint32_t>(secrets.size()) + 3u) & ~3u;
    const uint32_t length = 12 + 8 + padded;
    auto word = [&stream](uint32_t value) {
        stream.insert(stream.end(), reinterpret_cast<uint8_t*>(&value), reinterpret_cast<uint8_t*>(&value) + 4);
    };
    word(0x0000000A), word(length), word(type);
    word(claimedLength == UINT32_MAX ? static_cast<uint32_t>(secrets.size()) : claimedLength);
    stream.insert(stream.end(), secrets.begin(), secrets.end());
    stream.insert(stream.end(), padded - secrets.size(), 0);
    word(length);
}

std::vector<uint8_t> Bytes(const PcapngWriter& writer) {
    return std::vector<uint8_t>(writer.Data(), writer.Data() + writer.Size());
}

// As dumpcap -i eth0 -i tun0 writes: each packet carries its own interface's link type, a file's
// LINKTYPE_RAW (101) read as libpcap's DLT_RAW.
TEST(PcapngStream, EachPacketCarriesItsInterfacesLinkType) {
    PcapngWriter writer;
    writer.AddSectionHeader("test");
    writer.AddInterface(DLT_EN10MB, 65535, "eth0");
    writer.AddInterface(101, 65535, "tun0");
    writer.AddInterface(DLT_IEEE802_11, 65535, "wlan0");
    const std::string bytes = "abcd";
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    writer.AddPacket(1, Header(1, 0, 4, 4), data);
    writer.AddPacket(0, Header(2, 0, 4, 4), data);
    writer.AddPacket(2, Header(3, 0, 4, 4), data);
    writer.AddPacket(1, Header(4, 0, 4, 4), data);
    PcapngReader reader;
    Collect all;
    ASSERT_EQ(Feed(reader, Bytes(writer), 3, all), PcapngReader::Result::Ok) << reader.Error();
    ASSERT_EQ(all.packets.size(), 4u);
    EXPECT_EQ(all.packets[0].linkType, DLT_RAW);
    EXPECT_EQ(all.packets[1].linkType, DLT_EN10MB);
    EXPECT_EQ(all.packets[2].linkType, DLT_IEEE802_11);
    EXPECT_EQ(all.packets[3].linkType, DLT_RAW);
}

// TLS key log secrets are handed over in their place among the packets, whole however the bytes come;
// other kinds of secrets are passed over; secrets longer than their block are damage.
TEST(PcapngStream, TlsSecretsComeInTheirPlaceAmongThePackets) {
    PcapngWriter writer;
    writer.AddSectionHeader("test");
    writer.AddInterface(DLT_EN10MB, 65535, "eth0");
    const std::string bytes = "frame";
    writer.AddPacket(0, Header(1, 0, 5, 5), reinterpret_cast<const uint8_t*>(bytes.data()));
    std::vector<uint8_t> stream = Bytes(writer);
    const std::string lines = "CLIENT_RANDOM " + std::string(64, 'a') + " " + std::string(96, 'b') + "\n# odd length";
    AppendSecrets(stream, 0x544C534B, lines);
    AppendSecrets(stream, 0x57474B4C, "WireGuard keys");  // another kind: passed over
    writer.Clear();
    writer.AddPacket(0, Header(2, 0, 5, 5), reinterpret_cast<const uint8_t*>(bytes.data()));
    stream.insert(stream.end(), writer.Data(), writer.Data() + writer.Size());
    AppendSecrets(stream, 0x544C534B, "");

    for (size_t piece : {size_t{1}, size_t{5}, stream.size()}) {
        PcapngReader reader;
        Collect all;
        ASSERT_EQ(Feed(reader, stream, piece, all), PcapngReader::Result::Ok) << reader.Error();
        EXPECT_EQ(all.order, "psps") << "piece " << piece;
        ASSERT_EQ(all.secrets.size(), 2u);
        EXPECT_EQ(all.secrets[0], lines);
        EXPECT_EQ(all.secrets[1], "");
    }

    writer.Clear();
    writer.AddSectionHeader("test");
    std::vector<uint8_t> damaged = Bytes(writer);
    AppendSecrets(damaged, 0x544C534B, lines, static_cast<uint32_t>(lines.size() + 4));
    PcapngReader reader;
    Collect all;
    EXPECT_EQ(Feed(reader, damaged, 64, all), PcapngReader::Result::Damaged);
    EXPECT_NE(reader.Error().find("run past their block"), std::string::npos) << reader.Error();
    EXPECT_TRUE(all.secrets.empty());
}

// Classic pcap files as other tools write them: either byte order, micro- or nanosecond times, records
// longer than the snapshot length (cut to it, as libpcap cuts them), bytes arriving one at a time.
TEST(PcapReader, ReadsEitherByteOrderAndTimeUnitAndCutsAtTheSnapshot) {
    const auto file = [](bool bigEndian, bool nanoseconds) {
        std::string bytes;
        const auto word = [&](uint32_t value) {
            if (bigEndian) value = bswap_32(value);
            bytes.append(reinterpret_cast<const char*>(&value), 4);
        };
        word(nanoseconds ? 0xa1b23c4d : 0xa1b2c3d4);
        const uint16_t version[2] = {static_cast<uint16_t>(bigEndian ? bswap_16(2) : 2),
                                     static_cast<uint16_t>(bigEndian ? bswap_16(4) : 4)};
        bytes.append(reinterpret_cast<const char*>(version), 4);
        for (uint32_t value : {0u, 0u, 6u, 0x04000000u | 101u}) word(value);  // snapshot 6; raw IP, with FCS bits
        for (const std::string packet : {"abcdefgh", "xyz"}) {
            word(1700000000);
            word(nanoseconds ? 123456789 : 123456);
            word(static_cast<uint32_t>(packet.size()));
            word(1500);
            bytes += packet;
        }
        return bytes;
    };
    for (bool bigEndian : {false, true})
        for (bool nanoseconds : {false, true}) {
            const std::string bytes = file(bigEndian, nanoseconds);
            ASSERT_TRUE(PcapReader::Takes({reinterpret_cast<const uint8_t*>(bytes.data()), 8}));
            PcapReader reader;
            Collect collect;
            for (char byte : bytes) {
                size_t room = 0;
                *reader.Room(room) = static_cast<uint8_t>(byte);
                reader.Commit(1);
                ASSERT_EQ(reader.Parse(collect), PcapReader::Result::Ok);
            }
            EXPECT_TRUE(reader.AtRecordBoundary());
            ASSERT_EQ(collect.packets.size(), 2u) << bigEndian << nanoseconds;
            EXPECT_EQ(collect.packets[0].bytes, "abcdef");
            EXPECT_EQ(collect.packets[1].bytes, "xyz");
            EXPECT_EQ(collect.packets[0].time.tv_sec, 1700000000);
            EXPECT_EQ(collect.packets[0].time.tv_usec, 123456);
            EXPECT_EQ(collect.packets[0].length, 1500u);
            EXPECT_EQ(collect.packets[0].linkType, DLT_RAW);
        }
}

}  // namespace
}  // namespace tarnwick
