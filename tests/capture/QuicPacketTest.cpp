// SPDX-License-Identifier: GPL-3.0-or-later
// QUIC packet protection against the published example packets of versions 1 and 2, packet numbers,
// and stream data put back in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/quic/QuicPacketHeader.h"
#include "capture/quic/QuicPacketProtection.h"
#include "capture/quic/QuicStreamAssembler.h"

namespace tarnwick {
namespace {

std::vector<uint8_t> Hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}
std::vector<uint8_t> Of(const TlsSecret& secret) {
    return {secret.Bytes().begin(), secret.Bytes().end()};
}

TEST(QuicPacketProtection, InitialKeysOfBothVersionsFollowTheirSaltsAndLabels) {
    struct Case {
        uint32_t version;
        const char *clientKey, *clientIv, *clientHp, *serverKey, *serverIv, *serverHp;
    };
    const Case cases[] = {
        {QuicVersion::kVersion1, "1f369613dd76d5467730efcbe3b1a22d", "fa044b2f42a3fd3b46fb255c",
         "9f50449e04a0e810283a1e9933adedd2", "cf3a5331653c364c88f0f379b6067e37", "0ac1493ca1905853b0bba03e",
         "c206b8d9b9f0f37644430b490eeaa314"},
        {QuicVersion::kVersion2, "8b1a0bc121284290a29e0971b5cd045d", "91f73e2351d8fa91660e909f",
         "45b95e15235d6f45a6b19cbcb0294ba9", "82db637861d55e1d011f19ea71d5d2a7", "dd13c276499c0249d3310652",
         "edf6d05c83121201b436e16877593c3a"},
    };
    const auto connectionId = Hex("8394c8f03e515708");
    for (const Case& c : cases) {
        TlsSecret client, server;
        ASSERT_TRUE(QuicPacketProtection::InitialSecrets(c.version, connectionId, client, server));
        QuicPacketKeys clientKeys, serverKeys;
        ASSERT_TRUE(QuicPacketProtection::Derive(c.version, QuicPacketProtection::InitialSuite(), client, clientKeys));
        ASSERT_TRUE(QuicPacketProtection::Derive(c.version, QuicPacketProtection::InitialSuite(), server, serverKeys));
        EXPECT_EQ(Of(clientKeys.key), Hex(c.clientKey)) << c.version;
        EXPECT_EQ(Of(clientKeys.iv), Hex(c.clientIv)) << c.version;
        EXPECT_EQ(Of(clientKeys.headerProtection), Hex(c.clientHp)) << c.version;
        EXPECT_EQ(Of(serverKeys.key), Hex(c.serverKey)) << c.version;
        EXPECT_EQ(Of(serverKeys.iv), Hex(c.serverIv)) << c.version;
        EXPECT_EQ(Of(serverKeys.headerProtection), Hex(c.serverHp)) << c.version;
    }
}

// The ChaCha20 short-header example: its mask comes from the sample as counter and nonce, its number
// from three bytes next to the largest seen, and its next key phase from the secret.
TEST(QuicPacketProtection, ChaChaShortHeaderPacketOpensAndItsNextPhaseFollows) {
    const TlsCipherSuite suite = *TlsCipherSuite::Find(0x1303);
    TlsSecret secret;
    secret.Assign(Hex("9ac312a7f877468ebe69422748ad00a15443f18203a07d6060f688f30f21632b"));
    QuicPacketKeys keys;
    ASSERT_TRUE(QuicPacketProtection::Derive(QuicVersion::kVersion1, suite, secret, keys));
    EXPECT_EQ(Of(keys.key), Hex("c6d98ff3441c3fe1b2182094f69caa2ed4b716b65488960a7a984979fb23e1c8"));
    QuicPacketKeys next;
    ASSERT_TRUE(QuicPacketProtection::NextPhase(QuicVersion::kVersion1, suite, keys, next));
    EXPECT_EQ(Of(next.secret), Hex("1223504755036d556342ee9361d253421a826c9ecdf3c7148684b36b714881f9"));
    EXPECT_EQ(Of(next.headerProtection), Of(keys.headerProtection));

    QuicPacketProtection protection;
    ASSERT_TRUE(protection.Install(suite, keys));
    auto packet = Hex("4cfe4189655e5cd55c41f69080575d7999c25a5bfb");
    QuicPacketHeader header;
    ASSERT_TRUE(QuicPacketHeader::ParseShort(packet, 0, header));
    QuicUnprotectedHeader unprotected;
    ASSERT_TRUE(RemoveHeaderProtection(packet, header, protection, unprotected));
    EXPECT_EQ(std::vector<uint8_t>(packet.begin(), packet.begin() + 4), Hex("4200bff4"));
    const uint64_t number =
        QuicPacketHeader::DecodePacketNumber(654360563, unprotected.truncatedNumber, unprotected.numberLength);
    EXPECT_EQ(number, 654360564u);
    std::vector<uint8_t> plaintext(packet.size());
    const auto size = protection.Open(number, std::span(packet).first(unprotected.headerLength),
                                      std::span(packet).subspan(unprotected.headerLength), plaintext.data());
    ASSERT_TRUE(size);
    EXPECT_EQ(std::vector<uint8_t>(plaintext.begin(), plaintext.begin() + static_cast<ptrdiff_t>(*size)), Hex("01"));
    // Another number (a wrong nonce) does not authenticate.
    EXPECT_FALSE(protection.Open(number + 1, std::span(packet).first(unprotected.headerLength),
                                 std::span(packet).subspan(unprotected.headerLength), plaintext.data()));
}

TEST(QuicPacketHeader, PacketNumbersAreTheNearestToTheNextExpected) {
    EXPECT_EQ(QuicPacketHeader::DecodePacketNumber(0xa82f30ea, 0x9b32, 2), 0xa82f9b32u);
    EXPECT_EQ(QuicPacketHeader::DecodePacketNumber(std::nullopt, 0x05, 1), 0x05u);
    // Across a window's edge both ways: a number just past the wrap, and one a little behind.
    EXPECT_EQ(QuicPacketHeader::DecodePacketNumber(0xfe, 0x01, 1), 0x101u);
    EXPECT_EQ(QuicPacketHeader::DecodePacketNumber(0x101, 0xff, 1), 0xffu);
    // A long header's Length that claims more than the datagram holds is refused.
    auto initial = Hex("c000000001088394c8f03e5157080000449e");
    QuicPacketHeader header;
    EXPECT_FALSE(QuicPacketHeader::ParseLong(initial, header));
    initial.resize(initial.size() + 0x49e, 0);
    ASSERT_TRUE(QuicPacketHeader::ParseLong(initial, header));
    EXPECT_EQ(header.type, QuicPacketType::Initial);
    EXPECT_EQ(header.packetLength, initial.size());
}

TEST(QuicStreamAssembler, PiecesInAnyOrderRepeatedOrOverlappingComeOutOnceInOrder) {
    const std::string text = "0123456789abcdefghijklmnopqrstuvwxyz";
    const auto piece = [&text](size_t from, size_t to) {
        return std::span(reinterpret_cast<const uint8_t*>(text.data()) + from, to - from);
    };
    QuicStreamAssembler assembler;
    std::string delivered;
    const auto deliver = [&delivered](std::span<const uint8_t> bytes) {
        delivered.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    };
    EXPECT_EQ(assembler.Add(20, piece(20, 30), false, 1024, deliver), QuicStreamAssembler::Result::Ok);
    EXPECT_EQ(assembler.Add(10, piece(10, 25), false, 1024, deliver), QuicStreamAssembler::Result::Ok);
    EXPECT_EQ(assembler.Add(30, piece(30, 36), true, 1024, deliver), QuicStreamAssembler::Result::Ok);
    EXPECT_TRUE(delivered.empty());
    EXPECT_EQ(assembler.Add(0, piece(0, 12), false, 1024, deliver), QuicStreamAssembler::Result::Ok);
    EXPECT_EQ(delivered, text);
    EXPECT_TRUE(assembler.Complete());
    EXPECT_EQ(assembler.Held(), 0u);
    EXPECT_EQ(assembler.Add(5, piece(5, 15), false, 1024, deliver), QuicStreamAssembler::Result::Ok);
    EXPECT_EQ(delivered, text);

    // Held pieces beyond the bound are refused.
    QuicStreamAssembler bounded;
    EXPECT_EQ(bounded.Add(10, piece(10, 36), false, 20, deliver), QuicStreamAssembler::Result::OverBound);
    EXPECT_EQ(bounded.Held(), 0u);
}

}  // namespace
}  // namespace tarnwick
