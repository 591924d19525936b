// SPDX-License-Identifier: GPL-3.0-or-later
// HTTP/3 streams into the sink: a request whose header block waits for the QPACK table, and its answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/quic/Http3Connection.h"
#include "tests/capture/SinkHarness.h"

namespace tarnwick {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> head, const std::string& text = {},
                           std::initializer_list<uint8_t> tail = {}) {
    std::string bytes(head.begin(), head.end());
    bytes += text;
    bytes.append(tail.begin(), tail.end());
    return {bytes.begin(), bytes.end()};
}
// A frame with a two-byte length.
std::vector<uint8_t> Frame(uint8_t type, const std::vector<uint8_t>& payload) {
    std::string frame;
    frame += static_cast<char>(type);
    frame += static_cast<char>(0x40 | payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xFF);
    frame.append(payload.begin(), payload.end());
    return {frame.begin(), frame.end()};
}

// The client's request names its path through the dynamic table, whose entry arrives on the encoder
// stream only after the request: the block waits, then the request and its answer are read.
TEST(Http3Connection, BlockedRequestIsReadOnceItsTableEntryArrives) {
    testing::SinkHarness harness;
    QuicStatistics statistics;
    Http3Connection::Context context{harness.facts, harness.finder, statistics};
    context.maxTableBytes = 4096;
    Http3Connection connection(std::move(context));
    constexpr auto kClient = StreamDirection::ClientToServer;
    constexpr auto kServer = StreamDirection::ServerToClient;

    // Required insert count 1 (encoded 2), base 1; GET, https, :authority literal, :path dynamic entry 0.
    const auto request = Frame(0x01, Bytes({0x02, 0x00, 0xd1, 0xd7, 0x50, 0x0e}, "videohost.test", {0x80}));
    EXPECT_TRUE(connection.OnStreamData(0, kClient, request, 1));
    connection.OnStreamEnd(0, kClient);
    EXPECT_EQ(statistics.requests, 0u);
    // The encoder stream: its type, a table capacity of 220, then :path (static name 1) = /clip.mp4.
    EXPECT_TRUE(connection.OnStreamData(2, kClient, Bytes({0x02, 0x3f, 0xbd, 0x01, 0xc1, 0x09}, "/clip.mp4"), 2));
    EXPECT_EQ(statistics.requests, 1u);
    EXPECT_EQ(statistics.qpackErrors, 0u);

    // :status 200 and content-type (static name 44) = video/mp4, from static entries only; then the body.
    const auto answer = Frame(0x01, Bytes({0x00, 0x00, 0xd9, 0x5f, 0x1d, 0x09}, "video/mp4"));
    std::string body(
        "\x00\x00\x00\x18"
        "ftypisom\x00\x00\x02\x00"
        "isomiso2",
        24);
    body.append(400, '\0');
    const auto data = Frame(0x00, Bytes({}, body));
    connection.OnStreamData(0, kServer, answer, 3);
    connection.OnStreamData(0, kServer, std::span(data).first(10), 4);
    connection.OnStreamData(0, kServer, std::span(data).subspan(10), 5);
    connection.OnStreamEnd(0, kServer);
    harness.finder.Flush();
    EXPECT_EQ(statistics.responses, 1u);
    ASSERT_EQ(harness.seen.size(), 1u);
    EXPECT_EQ(harness.seen[0].scheme + "://" + harness.seen[0].url, "https://videohost.test/clip.mp4");
}

// Records whether each answer was said to have a body.
struct BodySink final : HttpExchangeSink {
    struct Exchange final : HttpExchange {
        Exchange(std::vector<bool>& said, std::vector<std::string>& types) : said(said), types(types) {}
        void OnAnswer(const HttpResponseHead& answer, bool bodyFollows) override {
            said.push_back(bodyFollows);
            types.emplace_back(answer.fields->Find("content-type").value_or(""));
        }
        size_t Wanted() const override { return 1000; }
        void Body(std::span<const uint8_t>) override {}
        void End(bool) override {}
        std::vector<bool>& said;
        std::vector<std::string>& types;
    };
    std::unique_ptr<HttpExchange> OnRequest(const ConnectionFacts&, const HttpRequestHead&) override {
        return std::make_unique<Exchange>(said, types);
    }
    std::vector<bool> said;
    std::vector<std::string> types;
};

// An answer to HEAD has no body, whatever follows it on its stream; one to GET may have.
TEST(Http3Connection, AnswerToHeadHasNoBody) {
    BodySink sink;
    QuicStatistics statistics;
    Http3Connection connection(Http3Connection::Context{{}, sink, statistics});
    for (const uint8_t method : {0xd2, 0xd1}) {  // HEAD, GET
        const uint64_t stream = method == 0xd2 ? 0 : 4;
        connection.OnStreamData(stream, StreamDirection::ClientToServer,
                                Frame(0x01, Bytes({0x00, 0x00, method, 0xd7, 0x50, 0x0e}, "videohost.test", {0xc1})),
                                1);
        connection.OnStreamData(stream, StreamDirection::ServerToClient,
                                Frame(0x01, Bytes({0x00, 0x00, 0xd9, 0x5f, 0x1d, 0x09}, "video/mp4")), 2);
    }
    EXPECT_EQ(sink.said, (std::vector<bool>{false, true}));
}

// The client allows a table of 64 bytes (two entries): the server numbers its entries in a range of
// four, so its fifth entry is named as the second would be in a larger table, and only the allowed
// capacity tells them apart.
TEST(Http3Connection, EntriesAreNumberedByTheCapacityThePeerAllowed) {
    BodySink sink;
    QuicStatistics statistics;
    Http3Connection::Context context{{}, sink, statistics};
    context.maxTableBytes = 4096;
    Http3Connection connection(std::move(context));
    // The client's control stream: SETTINGS with a QPACK table capacity of 64.
    connection.OnStreamData(2, StreamDirection::ClientToServer, Bytes({0x00}, {}, {0x04, 0x03, 0x01, 0x40, 0x40}), 1);
    // The server's encoder stream: capacity 64, then content-type = "a" ... "e", each pushing the last out.
    std::vector<uint8_t> encoder{0x02, 0x3f, 0x21};
    for (const char value : std::string("abcde"))
        encoder.insert(encoder.end(), {0xec, 0x01, static_cast<uint8_t>(value)});
    connection.OnStreamData(3, StreamDirection::ServerToClient, encoder, 2);
    connection.OnStreamData(0, StreamDirection::ClientToServer,
                            Frame(0x01, Bytes({0x00, 0x00, 0xd1, 0xd7, 0x50, 0x0e}, "videohost.test", {0xc1})), 3);
    // Required insert count 5, encoded as 5 mod 4 + 1; :status 200 and the newest entry.
    connection.OnStreamData(0, StreamDirection::ServerToClient, Frame(0x01, Bytes({0x02, 0x00, 0xd9, 0x80})), 4);
    EXPECT_EQ(statistics.qpackErrors, 0u);
    EXPECT_EQ(sink.types, std::vector<std::string>{"e"});
}

// Header blocks gathered on many streams at once stay within the connection's bound and the budget:
// the streams beyond them are read no further.
TEST(Http3Connection, GatheredHeaderBlocksStayWithinTheBound) {
    testing::SinkHarness harness;
    QuicStatistics statistics;
    ByteBudget budget(1u << 20, Limit::QuicBytes, &harness.hits);
    Http3Connection::Context context{harness.facts, harness.finder, statistics};
    context.maxHeldBytes = 64 * 1024;
    context.hits = &harness.hits;
    context.budget = &budget;
    {
        Http3Connection connection(std::move(context));
        // A HEADERS frame announcing 60000 bytes (a four-byte length), of which 10000 come.
        std::vector<uint8_t> start{0x01, 0x80, 0x00, 0xea, 0x60};
        start.resize(start.size() + 10000, 0x00);
        for (uint64_t stream = 0; stream < 40 * 4; stream += 4)
            connection.OnStreamData(stream, StreamDirection::ClientToServer, start, 1);
        EXPECT_LE(connection.HeldBytes(), 64u * 1024);
        EXPECT_EQ(budget.Used(), connection.HeldBytes());
        EXPECT_GT(statistics.cut, 0u);
        EXPECT_GT(harness.hits.Count(Limit::QuicConnectionBytes), 0u);
    }
    EXPECT_EQ(budget.Used(), 0u);
}

}  // namespace
}  // namespace tarnwick
