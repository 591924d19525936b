// SPDX-License-Identifier: GPL-3.0-or-later
// Decryption of real OpenSSL conversations: every suite, key updates, late keys, tampering, refusals.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "capture/tls/TlsConnection.h"
#include "tests/capture/TlsTestSession.h"

namespace tarnwick {
namespace {

using testing::TlsTestOptions;
using testing::TlsTestSession;
constexpr auto kUp = StreamDirection::ClientToServer;
constexpr auto kDown = StreamDirection::ServerToClient;

struct RecordingReader final : StreamReader {
    std::string received[2];
    std::optional<StreamEnd> end;
    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t) override {
        received[IndexOf(direction)].append(bytes.begin(), bytes.end());
    }
    void OnGap(StreamDirection, uint64_t) override {}
    void OnEnd(StreamEnd how) override { end = how; }
    bool Done() const override { return false; }
};

// A TLS connection fed from a session's wire, reading into a RecordingReader.
struct Harness {
    TlsKeyLog keyLog{""};
    TlsStatistics statistics;
    RecordingReader* reader = nullptr;
    std::optional<TlsConnectionFacts> facts;
    std::optional<TlsApplicationProtocol> protocol;
    TlsConnection connection{FlowKey{}, keyLog,
                             [this](const TlsConnectionFacts& seen, TlsApplicationProtocol chosen) {
                                 facts = seen;
                                 protocol = chosen;
                                 auto made = std::make_unique<RecordingReader>();
                                 reader = made.get();
                                 return made;
                             },
                             statistics};

    // Feeds the wire from chunk `from` on, in pieces of at most `piece` bytes.
    void Feed(const TlsTestSession& session, size_t piece = SIZE_MAX, size_t from = 0, int64_t time = 100) {
        const auto& wire = session.Wire();
        for (size_t i = from; i < wire.size(); ++i) {
            std::span<const uint8_t> bytes(wire[i].bytes);
            while (!bytes.empty()) {
                const size_t take = std::min(piece, bytes.size());
                connection.OnData(wire[i].direction, bytes.first(take), time);
                bytes = bytes.subspan(take);
            }
        }
    }
    std::string Received(StreamDirection direction) const { return reader ? reader->received[IndexOf(direction)] : ""; }
};

TlsTestOptions Options(bool tls13, const char* suites) {
    TlsTestOptions options;
    options.tls13 = tls13;
    options.suites = suites;
    return options;
}

const std::string kRequest = "GET /clip.mp4 HTTP/1.1\r\nHost: videohost.test\r\n\r\n";

std::string Body(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 7 + i / 251);
    return body;
}

struct Suite {
    bool tls13;
    const char* name;
};

void PrintTo(const Suite& suite, std::ostream* out) {
    *out << suite.name;
}

class EverySuite : public ::testing::TestWithParam<Suite> {};

TEST_P(EverySuite, BothDirectionsComeOutAsSentWhateverTheSegmentSizes) {
    TlsTestSession session(Options(GetParam().tls13, GetParam().name));
    ASSERT_TRUE(session.Handshake());
    ASSERT_EQ(session.NegotiatedCipher(), GetParam().name);
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + Body(100000);
    session.ClientSends(kRequest);
    session.ServerSends(response);
    session.ClientSends(kRequest);

    for (size_t piece : {SIZE_MAX, size_t{7}}) {
        Harness h;
        h.keyLog.AddText(session.KeyLog());
        h.Feed(session, piece);
        EXPECT_FALSE(h.connection.Done());
        EXPECT_EQ(h.Received(kUp), kRequest + kRequest) << piece;
        EXPECT_EQ(h.Received(kDown), response) << piece;
        ASSERT_TRUE(h.facts);
        EXPECT_EQ(h.facts->serverName, "videohost.test");
        EXPECT_EQ(h.statistics.decrypted, 1u);
        EXPECT_EQ(h.statistics.authenticationFailures + h.statistics.malformed + h.statistics.missingKeys, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tls, EverySuite,
    ::testing::Values(Suite{true, "TLS_AES_128_GCM_SHA256"}, Suite{true, "TLS_AES_256_GCM_SHA384"},
                      Suite{true, "TLS_CHACHA20_POLY1305_SHA256"}, Suite{false, "ECDHE-RSA-AES128-GCM-SHA256"},
                      Suite{false, "ECDHE-ECDSA-AES256-GCM-SHA384"}, Suite{false, "ECDHE-RSA-CHACHA20-POLY1305"},
                      Suite{false, "DHE-RSA-AES256-GCM-SHA384"}, Suite{false, "AES128-GCM-SHA256"}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (c == '-') c = '_';
        return name;
    });

TEST(TlsConnection, TheChosenProtocolComesFromEitherVersionsHandshake) {
    for (bool tls13 : {true, false}) {
        TlsTestOptions options = Options(tls13, "");
        options.clientAlpn = {"h2", "http/1.1"};
        TlsTestSession session(options);
        ASSERT_TRUE(session.Handshake());
        session.ClientSends(kRequest);
        Harness h;
        h.keyLog.AddText(session.KeyLog());
        h.Feed(session);
        ASSERT_TRUE(h.facts) << tls13;
        EXPECT_EQ(h.facts->alpn, "h2") << tls13;
    }
}

TEST(TlsConnection, KeyUpdatesAndAHelloRetryAreFollowed) {
    TlsTestOptions options = Options(true, "");
    options.helloRetry = true;
    TlsTestSession session(options);
    ASSERT_TRUE(session.Handshake());
    session.ClientSends("one ");
    session.UpdateKey(kDown);
    session.ServerSends("two ");
    session.UpdateKey(kUp);
    session.ClientSends("three ");
    session.UpdateKey(kDown);
    session.ServerSends("four");
    Harness h;
    h.keyLog.AddText(session.KeyLog());
    h.Feed(session);
    EXPECT_EQ(h.Received(kUp), "one three ");
    EXPECT_EQ(h.Received(kDown), "two four");
    EXPECT_FALSE(h.connection.Done());
}

TEST(TlsConnection, SecretsLoggedAfterTheRecordsArriveStillOpenThem) {
    TlsTestSession session(Options(true, ""));
    ASSERT_TRUE(session.Handshake());
    session.ClientSends(kRequest);
    session.ServerSends("HTTP/1.1 204 No Content\r\n\r\n");
    const size_t last = session.Wire().size() - 1;
    Harness h;
    for (size_t i = 0; i < last; ++i) h.connection.OnData(session.Wire()[i].direction, session.Wire()[i].bytes, 100);
    EXPECT_EQ(h.reader, nullptr);
    h.keyLog.AddText(session.KeyLog());
    h.Feed(session, SIZE_MAX, last, 102);
    EXPECT_EQ(h.Received(kUp), kRequest);
    EXPECT_EQ(h.Received(kDown), "HTTP/1.1 204 No Content\r\n\r\n");
}

// The server's protocol choice sits in its encrypted extensions. When only the client's secrets are
// logged yet, its application data must not be read as HTTP/1.1 by default: its first bytes tell.
TEST(TlsConnection, AProtocolTheServerChoseUnreadIsToldByTheClientsFirstBytes) {
    const std::string preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    for (const std::string& first : {preface + "frames", kRequest}) {
        TlsTestOptions options = Options(true, "");
        options.clientAlpn = {"h2", "http/1.1"};
        TlsTestSession session(options);
        ASSERT_TRUE(session.Handshake());
        session.ClientSends(first.substr(0, 5));  // too little to tell
        session.ClientSends(first.substr(5));
        session.ServerSends("answer");
        std::string clientSecrets, serverSecrets;
        for (size_t at = 0; at < session.KeyLog().size();) {
            const size_t end = session.KeyLog().find('\n', at);
            const std::string line = session.KeyLog().substr(at, end - at + 1);
            (line.rfind("CLIENT_", 0) == 0 ? clientSecrets : serverSecrets) += line;
            at = end + 1;
        }
        Harness h;
        h.keyLog.AddText(clientSecrets);
        const size_t last = session.Wire().size() - 1;
        for (size_t i = 0; i < last; ++i)
            h.connection.OnData(session.Wire()[i].direction, session.Wire()[i].bytes, 100);
        ASSERT_TRUE(h.protocol);
        EXPECT_EQ(*h.protocol, first == kRequest ? TlsApplicationProtocol::Http1 : TlsApplicationProtocol::Http2);
        EXPECT_EQ(h.Received(kUp), first);
        // The server's side follows once its secrets are logged.
        h.keyLog.AddText(serverSecrets);
        h.Feed(session, SIZE_MAX, last, 101);
        EXPECT_EQ(h.Received(kDown), "answer");
        EXPECT_FALSE(h.connection.Done());
    }
}

// The browser may log the secrets after the connection's last packet: it lingers until they come.
TEST(TlsConnection, SecretsLoggedAfterTheConnectionEndedStillOpenIt) {
    TlsTestSession session(Options(true, ""));
    ASSERT_TRUE(session.Handshake());
    session.ClientSends(kRequest);
    session.ServerSends("HTTP/1.1 204 No Content\r\n\r\n");
    for (const bool logged : {true, false}) {
        Harness h;
        h.Feed(session);
        h.connection.OnEnd(StreamEnd::Closed);
        EXPECT_TRUE(h.connection.Lingering());
        h.connection.Retry(2000);
        EXPECT_TRUE(h.connection.Lingering());
        if (!logged) {
            // Never logged: given up after the key wait, and counted.
            h.connection.Retry(100 + TlsConnectionLimits{}.keyWaitMs + 1);
            EXPECT_FALSE(h.connection.Lingering());
            EXPECT_EQ(h.statistics.missingKeys, 1u);
            continue;
        }
        h.keyLog.AddText(session.KeyLog());
        h.connection.Retry(4000);
        EXPECT_FALSE(h.connection.Lingering());
        EXPECT_EQ(h.Received(kUp), kRequest);
        EXPECT_EQ(h.Received(kDown), "HTTP/1.1 204 No Content\r\n\r\n");
        ASSERT_TRUE(h.reader && h.reader->end);
        EXPECT_EQ(*h.reader->end, StreamEnd::Closed);
    }
}

TEST(TlsConnection, ConnectionsWithoutLoggedSecretsAreGivenUpAfterAWhile) {
    TlsTestSession session(Options(false, ""));
    ASSERT_TRUE(session.Handshake());
    session.ClientSends(kRequest);
    Harness h;
    h.Feed(session, SIZE_MAX, 0, 100);
    EXPECT_FALSE(h.connection.Done());
    h.Feed(session, SIZE_MAX, session.Wire().size() - 1, 100 + TlsConnectionLimits{}.keyWaitMs + 1);
    EXPECT_TRUE(h.connection.Done());
    EXPECT_EQ(h.statistics.missingKeys, 1u);
    EXPECT_EQ(h.reader, nullptr);
}

TEST(TlsConnection, ARecordThatFailsAuthenticationEndsTheDecryption) {
    TlsTestSession session(Options(true, "TLS_AES_128_GCM_SHA256"));
    ASSERT_TRUE(session.Handshake());
    session.ServerSends("first");
    session.ServerSends("second");
    session.ServerSends("third");
    auto wire = session.Wire();
    wire[wire.size() - 2].bytes.back() ^= 1;  // the tag of "second"
    Harness h;
    h.keyLog.AddText(session.KeyLog());
    for (const auto& chunk : wire) h.connection.OnData(chunk.direction, chunk.bytes, 100);
    EXPECT_EQ(h.Received(kDown), "first");
    EXPECT_TRUE(h.connection.Done());
    EXPECT_EQ(h.statistics.authenticationFailures, 1u);
    ASSERT_TRUE(h.reader && h.reader->end);
    EXPECT_EQ(*h.reader->end, StreamEnd::Broken);
}

TEST(TlsConnection, SuitesWithoutAnAeadAreRefused) {
    TlsTestSession session(Options(false, "ECDHE-RSA-AES128-SHA256"));
    ASSERT_TRUE(session.Handshake());
    session.ClientSends(kRequest);
    Harness h;
    h.keyLog.AddText(session.KeyLog());
    h.Feed(session);
    EXPECT_TRUE(h.connection.Done());
    EXPECT_EQ(h.statistics.unsupported, 1u);
}

TEST(TlsConnection, OnlyAHandshakeRecordWithAClientHelloStartsOne) {
    const uint8_t hello[] = {22, 3, 1, 0, 200, 1, 0, 0, 196};
    const uint8_t data[] = {23, 3, 3, 0, 200, 1};
    const uint8_t http[] = {'G', 'E', 'T', ' ', '/', ' '};
    EXPECT_TRUE(TlsConnection::StartsClientHello(hello));
    EXPECT_FALSE(TlsConnection::StartsClientHello(data));
    EXPECT_FALSE(TlsConnection::StartsClientHello(http));
    EXPECT_FALSE(TlsConnection::StartsClientHello(std::span(hello, 5)));
}

}  // namespace
}  // namespace tarnwick
