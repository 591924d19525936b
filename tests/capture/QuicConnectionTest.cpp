// SPDX-License-Identifier: GPL-3.0-or-later
// QUIC connections through the tracker: keys from the key log, key phase updates with late packets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/quic/QuicTracker.h"
#include "tests/capture/QuicTestConnection.h"
#include "tests/capture/SinkHarness.h"

namespace tarnwick {
namespace {

using testing::QuicTestConnection;
constexpr auto kClient = StreamDirection::ClientToServer;
constexpr auto kServer = StreamDirection::ServerToClient;

std::vector<uint8_t> Join(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    std::vector<uint8_t> joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

struct Replay {
    testing::SinkHarness harness;
    CaptureLimits limits;
    QuicStatistics statistics;
    ByteBudget budget{32u << 20, Limit::QuicBytes, &harness.hits};
    std::vector<std::string> unread;

    void Run(const QuicTestConnection& connection, TlsKeyLog* keyLog) { Run({&connection}, keyLog); }
    // The connections one after the other, between the same two ends.
    void Run(const std::vector<const QuicTestConnection*>& connections, TlsKeyLog* keyLog) {
        QuicTracker tracker(QuicTracker::Context{harness.finder, limits, statistics, budget, &harness.hits, keyLog,
                                                 [this](const std::string& name) { unread.push_back(name); }});
        const uint8_t client[4] = {10, 0, 0, 1}, server[4] = {10, 0, 0, 2};
        auto clientEnd = FlowEndpoint::FromBytes(client, 4, 50000);
        const auto serverEnd = FlowEndpoint::FromBytes(server, 4, 443);
        int64_t time = 0;
        for (const QuicTestConnection* connection : connections) {
            for (const auto& datagram : connection->Datagrams()) {
                const bool fromClient = datagram.direction == kClient;
                if (datagram.bytes.empty()) {
                    clientEnd.port = static_cast<uint16_t>(clientEnd.port + 1);
                    continue;
                }
                tracker.Datagram(fromClient ? clientEnd : serverEnd, fromClient ? serverEnd : clientEnd,
                                 PacketDirection::Loopback, datagram.bytes, time += 10);
            }
        }
        tracker.EndAll();
        harness.finder.Flush();
    }
};

// The server updates its keys twice while its answer flows; one packet sent before the first update
// arrives after it and opens with the keys of the phase before.
TEST(QuicConnection, KeyUpdatesAndLatePacketsOfThePhaseBeforeAllOpen) {
    for (const uint32_t version : {QuicVersion::kVersion1, QuicVersion::kVersion2}) {
        QuicTestConnection connection(version);
        connection.Handshake();
        connection.Send(kClient, QuicTestConnection::StreamFrame(
                                     0, 0,
                                     QuicTestConnection::Http3Frame(
                                         0x01, QuicTestConnection::RequestBlock("videohost.test", "/clip.mp4")),
                                     true));
        std::string body(
            "\x00\x00\x00\x18"
            "ftypisom\x00\x00\x02\x00"
            "isomiso2",
            24);
        body.append(3000, 'v');
        const auto data = Join(QuicTestConnection::Http3Frame(0x01, QuicTestConnection::AnswerBlock("video/mp4")),
                               QuicTestConnection::Http3Frame(0x00, std::vector<uint8_t>(body.begin(), body.end())));
        const size_t quarter = data.size() / 4;
        const auto piece = [&](size_t index) {
            const size_t from = index * quarter, to = index == 3 ? data.size() : from + quarter;
            return QuicTestConnection::StreamFrame(0, from,
                                                   std::vector<uint8_t>(data.begin() + static_cast<ptrdiff_t>(from),
                                                                        data.begin() + static_cast<ptrdiff_t>(to)),
                                                   index == 3);
        };
        connection.Send(kServer, piece(0));
        connection.HoldNext();
        connection.Send(kServer, piece(1));
        connection.UpdateKeys(kServer);
        connection.Send(kServer, piece(2));
        connection.Release();
        connection.UpdateKeys(kServer);
        connection.Send(kServer, piece(3));

        TlsKeyLog keyLog("");
        keyLog.AddText(connection.KeyLog());
        Replay replay;
        replay.Run(connection, &keyLog);
        EXPECT_EQ(replay.statistics.authenticationFailures, 0u) << version;
        EXPECT_EQ(replay.statistics.packetsDecrypted, 7u) << version;
        EXPECT_EQ(replay.statistics.responses, 1u) << version;
        ASSERT_EQ(replay.harness.seen.size(), 1u) << version;
        EXPECT_EQ(replay.harness.seen[0].url, "videohost.test/clip.mp4");
        EXPECT_TRUE(replay.unread.empty());
    }
}

// A resumed connection's request goes in a 0-RTT packet, before the server has answered: it waits for
// the server's choice of suite and is read with the early secret.
TEST(QuicConnection, RequestInEarlyDataIsRead) {
    QuicTestConnection connection;
    connection.Handshake();
    connection.SendEarly(QuicTestConnection::StreamFrame(
        0, 0, QuicTestConnection::Http3Frame(0x01, QuicTestConnection::RequestBlock("videohost.test", "/early.mp4")),
        true));
    connection.Send(
        kServer, QuicTestConnection::StreamFrame(
                     0, 0, QuicTestConnection::Http3Frame(0x01, QuicTestConnection::AnswerBlock("video/mp4")), true));
    TlsKeyLog keyLog("");
    keyLog.AddText(connection.KeyLog());
    Replay replay;
    replay.Run(connection, &keyLog);
    EXPECT_EQ(replay.statistics.authenticationFailures, 0u);
    EXPECT_EQ(replay.statistics.requests, 1u);
    ASSERT_EQ(replay.harness.seen.size(), 1u);
    EXPECT_EQ(replay.harness.seen[0].url, "videohost.test/early.mp4");
}

// A second connection between the same two ends (the client's port used again) is a connection of its
// own: its Initial does not go to the first one.
TEST(QuicConnection, NewConnectionBetweenTheSameEndsIsFollowedOnItsOwn) {
    QuicTestConnection first, second;
    for (QuicTestConnection* connection : {&first, &second}) {
        connection->Handshake();
        connection->Send(kClient, QuicTestConnection::StreamFrame(
                                      0, 0,
                                      QuicTestConnection::Http3Frame(
                                          0x01, QuicTestConnection::RequestBlock(
                                                    "videohost.test", connection == &first ? "/one.mp4" : "/two.mp4")),
                                      true));
        connection->Send(
            kServer,
            QuicTestConnection::StreamFrame(
                0, 0, QuicTestConnection::Http3Frame(0x01, QuicTestConnection::AnswerBlock("video/mp4")), true));
    }
    TlsKeyLog keyLog("");
    keyLog.AddText(first.KeyLog());
    keyLog.AddText(second.KeyLog());
    Replay replay;
    replay.Run({&first, &second}, &keyLog);
    EXPECT_EQ(replay.statistics.connections, 2u);
    EXPECT_EQ(replay.statistics.requests, 2u);
    EXPECT_EQ(replay.harness.seen.size(), 2u);
}

// The server hands out a new connection ID; the client moves to another port and sends to that ID: its
// request is still read as this connection's.
TEST(QuicConnection, ClientMovedToAServerIdHandedOutLaterIsFollowed) {
    QuicTestConnection connection;
    connection.Handshake();
    connection.NewServerId();
    connection.MoveClient();
    connection.Send(kClient, QuicTestConnection::StreamFrame(
                                 0, 0,
                                 QuicTestConnection::Http3Frame(
                                     0x01, QuicTestConnection::RequestBlock("videohost.test", "/moved.mp4")),
                                 true));
    connection.Send(
        kServer, QuicTestConnection::StreamFrame(
                     0, 0, QuicTestConnection::Http3Frame(0x01, QuicTestConnection::AnswerBlock("video/mp4")), true));
    TlsKeyLog keyLog("");
    keyLog.AddText(connection.KeyLog());
    Replay replay;
    replay.Run(connection, &keyLog);
    EXPECT_EQ(replay.statistics.requests, 1u);
    ASSERT_EQ(replay.harness.seen.size(), 1u);
    EXPECT_EQ(replay.harness.seen[0].url, "videohost.test/moved.mp4");
}

// Without a key log the connection is told as unread, with the name its ClientHello gave.
TEST(QuicConnection, WithoutKeyLogOnlyTheServerNameIsRead) {
    QuicTestConnection connection;
    connection.Handshake("cdn.videohost.test");
    connection.Send(
        kClient,
        QuicTestConnection::StreamFrame(
            0, 0, QuicTestConnection::Http3Frame(0x01, QuicTestConnection::RequestBlock("videohost.test", "/clip.mp4")),
            true));
    Replay replay;
    replay.Run(connection, nullptr);
    EXPECT_EQ(replay.unread, std::vector<std::string>{"cdn.videohost.test"});
    EXPECT_EQ(replay.statistics.requests, 0u);
}

// A key log that never names the connection: its packets wait within the bound, the bound is reached
// once and said once, and nothing is held at the end.
TEST(QuicConnection, PacketsWithoutLoggedSecretsWaitWithinTheBoundAndAreGivenUp) {
    QuicTestConnection connection;
    connection.Handshake();
    for (int i = 0; i < 200; ++i)
        connection.Send(kServer, QuicTestConnection::StreamFrame(3, static_cast<uint64_t>(i) * 500,
                                                                 std::vector<uint8_t>(500, 'x'), false));
    TlsKeyLog keyLog("");
    Replay replay;
    replay.limits.Set(Limit::QuicConnectionBytes, 16 * 1024);
    replay.Run(connection, &keyLog);
    EXPECT_EQ(replay.statistics.cut, 1u);
    EXPECT_EQ(replay.statistics.missingKeys, 1u);
    EXPECT_EQ(replay.statistics.packetsDecrypted, 2u);  // the two Initial packets
    EXPECT_EQ(replay.budget.Used(), 0u);
}

}  // namespace
}  // namespace tarnwick
