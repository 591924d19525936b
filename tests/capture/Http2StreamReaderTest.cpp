// SPDX-License-Identifier: GPL-3.0-or-later
// HTTP/2 on reassembled connections: multiplexed streams, pushes, settings, bounds, broken input, h2c.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/http2/Http2StreamReader.h"
#include "capture/session/ConnectionRouter.h"
#include "tests/capture/Http2FrameWriter.h"
#include "tests/capture/SinkHarness.h"

namespace tarnwick {
namespace {

using test::Fields;
using test::Http2FrameWriter;
constexpr auto kUp = StreamDirection::ClientToServer;
constexpr auto kDown = StreamDirection::ServerToClient;
const std::string kPreface(Http2::kPreface);

std::span<const uint8_t> Bytes(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

struct Harness {
    explicit Harness(size_t budgetBytes = 32u << 20)
        : sink(budgetBytes),
          reader(Http2StreamReader::Context{sink.facts, sink.finder, statistics, sink.http2, 256, 1u << 20, 64 * 1024,
                                            &sink.hits}),
          seen(sink.seen),
          budget(sink.http2) {}

    // Hands text over in pieces of `piece` bytes.
    void Send(StreamDirection direction, const std::string& text, size_t piece = SIZE_MAX) {
        for (size_t at = 0; at < text.size(); at += piece)
            reader.OnData(direction, Bytes(text).subspan(at, std::min(piece, text.size() - at)), 700000);
    }

    testing::SinkHarness sink;
    Http2Statistics statistics;
    Http2StreamReader reader;
    std::vector<DetectedVideo>& seen;
    ByteBudget& budget;
};
constexpr size_t kMaxStreams = 256;

Fields Get(const std::string& path, const std::string& method = "GET") {
    return {{":method", method}, {":scheme", "https"}, {":authority", "videohost"}, {":path", path}};
}

Fields Status(const std::string& type = "", const std::string& length = "") {
    Fields fields{{":status", "200"}};
    if (!type.empty()) fields.push_back({"content-type", type});
    if (!length.empty()) fields.push_back({"content-length", length});
    return fields;
}

TEST(Http2StreamReader, MultiplexedStreamsArePairedByStreamAndJudgedLikeHttp1) {
    Http2FrameWriter client, server;
    Fields first = Get("/clip.mp4");
    first.insert(first.end(), {{"user-agent", "test/1"}, {"cookie", "a=1"}, {"cookie", "b=2"}});
    // Appended one by one: each side's blocks must reach the decoder in the order they were encoded.
    std::string up = kPreface + Http2FrameWriter::Settings({{3, 100}});
    up += client.Headers(1, first, true);
    up += client.Headers(3, Get("/movie.bin"), true);
    up += client.Headers(5, Get("/page.html"), true);
    up += client.Headers(7, Get("/head.mp4", "HEAD"), true);
    // Padding and priority fields, and a block continued in two frames.
    const std::string split = client.Block(Get("/split.webm"));
    up += Http2FrameWriter::Frame(
        Http2::kHeaders, Http2::kPadded | Http2::kPriorityFields | Http2::kEndStream, 9,
        std::string("\x02") + Http2FrameWriter::Be32(3) + "\x10" + split.substr(0, 3) + std::string(2, '\0'));
    up += Http2FrameWriter::Frame(Http2::kContinuation, 0, 9, split.substr(3, 2));
    up += Http2FrameWriter::Frame(Http2::kContinuation, Http2::kEndHeaders, 9, split.substr(5));
    std::string down = Http2FrameWriter::Settings();
    down += server.Headers(3, Status("", "400"));
    down += server.Headers(1, Status("video/mp4", "300000"));
    down += Http2FrameWriter::Frame(Http2::kData, Http2::kPadded, 3, std::string("\x04") + "FL" + std::string(4, '\0'));
    down += Http2FrameWriter::Data(1, std::string(1000, 'm'));
    down += server.Headers(5, Status("text/html"));
    down += Http2FrameWriter::Data(5, "<html>", true);
    down += Http2FrameWriter::Data(3, "V\x01\x05", true);
    down += server.Headers(7, Status("video/mp4", "5"), true);
    down += server.Headers(9, Status("video/webm", "123456"));
    down += Http2FrameWriter::Data(1, "", true);
    for (size_t piece : {SIZE_MAX, size_t{1}, size_t{7}}) {
        Harness h;
        h.Send(kUp, up, piece);
        h.Send(kDown, down, piece);
        EXPECT_FALSE(h.reader.Done()) << piece;
        ASSERT_EQ(h.seen.size(), 3u) << piece;
        EXPECT_EQ(h.seen[0].url, "videohost/clip.mp4");
        EXPECT_EQ(h.seen[0].scheme, "https");
        EXPECT_EQ(h.seen[0].contentLength, "300000\r\n");
        EXPECT_EQ(h.seen[0].videoType, "mp4\r\n");
        EXPECT_EQ(h.seen[0].requestText,
                  "GET /clip.mp4 HTTP/1.1\r\nHost: videohost\r\nUser-Agent: test/1\r\nCookie: a=1; b=2\r\n\r\n");
        EXPECT_EQ(h.seen[0].seenAtSeconds, 700);
        // The signature split over two DATA frames, padding between them.
        EXPECT_EQ(h.seen[1].url, "videohost/movie.bin");
        EXPECT_EQ(h.seen[1].videoType, "x-flv");
        EXPECT_EQ(h.seen[1].contentLength, "400\r\n");
        EXPECT_EQ(h.seen[2].url, "videohost/split.webm");
        EXPECT_EQ(h.statistics.requests, 5u);
        EXPECT_EQ(h.statistics.responses, 4u);  // the answer to HEAD is not followed
        EXPECT_EQ(h.reader.Streams(), 0u);      // every stream settled
    }
}

TEST(Http2StreamReader, AServerPushIsTheAnswerToTheRequestItPromised) {
    Http2FrameWriter client, server;
    Harness h;
    h.Send(kUp, kPreface + Http2FrameWriter::Settings() + client.Headers(1, Get("/index.html"), true));
    Fields promised = Get("/pushed.mp4");
    promised.push_back({"accept", "*/*"});
    h.Send(kDown, Http2FrameWriter::Settings() +
                      Http2FrameWriter::Frame(
                          Http2::kPushPromise, Http2::kEndHeaders | Http2::kPadded, 1,
                          std::string("\x01") + Http2FrameWriter::Be32(2) + server.Block(promised) + '\0'));
    h.Send(kDown, server.Headers(1, Status("text/html"), true));
    h.Send(kDown, server.Headers(2, Status("video/mp4", "200000")));
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.seen[0].url, "videohost/pushed.mp4");
    EXPECT_EQ(h.seen[0].requestText, "GET /pushed.mp4 HTTP/1.1\r\nHost: videohost\r\nAccept: */*\r\n\r\n");
    EXPECT_EQ(h.statistics.pushes, 1u);
}

TEST(Http2StreamReader, ASidesSettingsRaiseTheTableAndFrameSizesTheOtherSideMayUse) {
    Http2FrameWriter server;
    server.UseTableSize(65536);
    Fields big = Status("video/mp4", "200000");
    for (int i = 0; i < 10; ++i) big.push_back({"x-field-" + std::to_string(i), std::string(1000, 'a' + i)});
    Http2FrameWriter client;
    std::string requests = client.Headers(1, Get("/a.mp4"), true);
    requests += client.Headers(3, Get("/b.mp4"), true);
    std::string down = Http2FrameWriter::Settings() + server.Headers(1, big);
    down += Http2FrameWriter::Data(1, std::string(100000, 'v'), true);
    down += server.Headers(3, big);

    Harness allowed;
    allowed.Send(kUp,
                 kPreface +
                     Http2FrameWriter::Settings({{Http2::kHeaderTableSize, 65536}, {Http2::kMaxFrameSize, 1 << 20}}) +
                     requests);
    allowed.Send(kDown, down);
    EXPECT_EQ(allowed.seen.size(), 2u);

    // Without those settings the same bytes break the rules: the larger table is refused first.
    Harness refused;
    refused.Send(kUp, kPreface + Http2FrameWriter::Settings() + requests);
    refused.Send(kDown, down);
    EXPECT_TRUE(refused.reader.Done());
    EXPECT_EQ(refused.statistics.decodingErrors, 1u);
    EXPECT_TRUE(refused.seen.empty());
}

TEST(Http2StreamReader, WhatBreaksTheFramingOrTheDecoderEndsTheReadingOfThatConnection) {
    const std::string settings = Http2FrameWriter::Settings();
    const std::string start = kPreface + settings;
    struct Case {
        const char* what;
        std::string up, down;
        bool decoding;
    };
    Http2FrameWriter writer;
    const std::string block = writer.Block(Get("/x.mp4"));
    const std::vector<Case> cases = {
        {"no preface", "GET / HTTP/1.1\r\n\r\n", "", false},
        {"server does not start with settings", start, Http2FrameWriter::Data(1, "x"), false},
        {"frame beyond the allowed size", start, settings + Http2FrameWriter::Data(1, std::string(16385, 'x')), false},
        {"block interrupted",
         start + Http2FrameWriter::Frame(Http2::kHeaders, 0, 1, block) + Http2FrameWriter::Data(1, "x"), "", false},
        {"padding longer than the frame",
         start + Http2FrameWriter::Frame(Http2::kHeaders, Http2::kEndHeaders | Http2::kPadded, 1,
                                         std::string("\xff") + block),
         "", false},
        {"push from the client",
         start + Http2FrameWriter::Frame(Http2::kPushPromise, Http2::kEndHeaders, 1, Http2FrameWriter::Be32(2) + block),
         "", false},
        {"settings on a stream", start + Http2FrameWriter::Frame(Http2::kSettings, 0, 1, ""), "", false},
        {"undecodable block",
         start + Http2FrameWriter::Frame(Http2::kHeaders, Http2::kEndHeaders, 1, "\xff\xff\xff\xff\xff"), "", true},
        {"block ends inside a field",
         start + Http2FrameWriter::Frame(Http2::kHeaders, Http2::kEndHeaders, 1, block.substr(0, block.size() - 1)), "",
         true},
    };
    for (const Case& c : cases) {
        Harness h;
        h.Send(kUp, c.up);
        h.Send(kDown, c.down);
        h.Send(kDown, settings + writer.Headers(1, Status("video/mp4")));  // whatever follows is not read
        EXPECT_TRUE(h.reader.Done()) << c.what;
        EXPECT_EQ(h.statistics.malformed, c.decoding ? 0u : 1u) << c.what;
        EXPECT_EQ(h.statistics.decodingErrors, c.decoding ? 1u : 0u) << c.what;
        EXPECT_TRUE(h.seen.empty()) << c.what;
    }
}

TEST(Http2StreamReader, BoundsCutStreamsAndHeaderListsButTheDecoderStaysInStep) {
    Http2FrameWriter client, server;
    Harness h;
    std::string up = kPreface + Http2FrameWriter::Settings();
    for (uint32_t id = 1; id < 2 * 300; id += 2)
        up += client.Headers(id, Get("/s" + std::to_string(id) + ".mp4"), true);
    h.Send(kUp, up);
    EXPECT_EQ(h.reader.Streams(), kMaxStreams);
    EXPECT_EQ(h.statistics.streamsRefused, 300u - kMaxStreams);

    // A header list beyond its bound: fields are dropped, the stream is not judged, and the blocks that
    // follow (which refer to the table the long one filled) still decode.
    Fields huge = Get("/huge.mp4");
    for (int i = 0; i < 70; ++i) huge.push_back({"x-" + std::to_string(i), std::string(1000, 'h')});
    h.Send(kUp, client.Headers(601, huge, true));
    h.Send(kUp, client.Headers(603, huge, true));
    EXPECT_EQ(h.statistics.headerListsCut, 0u);  // not followed: beyond the stream bound
    h.Send(kDown, Http2FrameWriter::Settings() + server.Headers(1, Status("video/mp4")));
    h.Send(kDown, server.Headers(3, Status("video/mp4")));
    ASSERT_EQ(h.seen.size(), 2u);
    EXPECT_EQ(h.seen[1].url, "videohost/s3.mp4");

    Harness cut;
    Http2FrameWriter client2, server2;
    cut.Send(kUp, kPreface + Http2FrameWriter::Settings() + client2.Headers(1, huge, true));
    cut.Send(kUp, client2.Headers(3, Get("/after.mp4"), true));
    cut.Send(kDown, Http2FrameWriter::Settings() + server2.Headers(1, Status("video/mp4")));
    cut.Send(kDown, server2.Headers(3, Status("video/mp4")));
    EXPECT_EQ(cut.statistics.headerListsCut, 1u);
    ASSERT_EQ(cut.seen.size(), 1u);
    EXPECT_EQ(cut.seen[0].url, "videohost/after.mp4");

    // The bound on all connections together: what a stream cannot take is refused and counted, and
    // everything held is given back.
    // Room for the decoders' first tables and less than one stream.
    Harness poor(2 * 4096 + Http2StreamReader::kStreamOverhead - 10);
    Http2FrameWriter client3;
    poor.Send(kUp, kPreface + Http2FrameWriter::Settings() + client3.Headers(1, Get("/p.mp4"), true));
    EXPECT_EQ(poor.statistics.streamsRefused, 1u);
    EXPECT_EQ(poor.reader.Streams(), 0u);
    EXPECT_EQ(poor.budget.Used(), 2 * 4096u);
}

TEST(Http2StreamReader, AHeaderListBeingReadCountsWhatItHolds) {
    // One-byte references to the static table are fields of their own: 1,500 bytes of a block hold
    // some hundred kilobytes of fields. While the block is open they count against the bounds.
    const std::string references(1500, '\x82');  // ":method: GET"
    const size_t tables = 2 * 4096;
    {
        Http2FrameWriter client;
        Harness h;
        h.Send(kUp, kPreface + Http2FrameWriter::Settings() +
                        Http2FrameWriter::Frame(Http2::kHeaders, Http2::kEndStream, 1,
                                                client.Block(Get("/a.mp4")) + references));
        EXPECT_GE(h.reader.HeldBytes(), tables + 1500 * sizeof(Http2HeaderList::Field));
        EXPECT_EQ(h.budget.Used(), h.reader.HeldBytes());
        // The block ends: the request is read and the list's room given back.
        h.Send(kUp, Http2FrameWriter::Frame(Http2::kContinuation, Http2::kEndHeaders, 1, ""));
        EXPECT_EQ(h.reader.HeldBytes(), tables + Http2StreamReader::kStreamOverhead);
        EXPECT_EQ(h.budget.Used(), h.reader.HeldBytes());
        EXPECT_EQ(h.statistics.headerListsCut, 0u);
    }
    // Without room for them, the list is cut where it stands, the stream not followed, and all it held
    // given back.
    Http2FrameWriter client;
    Harness poor(tables + Http2StreamReader::kStreamOverhead + 16 * 1024);
    poor.Send(kUp, kPreface + Http2FrameWriter::Settings() +
                       Http2FrameWriter::Frame(Http2::kHeaders, Http2::kEndStream, 1,
                                               client.Block(Get("/a.mp4")) + references));
    EXPECT_LE(poor.budget.Used(), poor.budget.Bound());
    poor.Send(kUp, Http2FrameWriter::Frame(Http2::kContinuation, Http2::kEndHeaders, 1, ""));
    EXPECT_EQ(poor.statistics.headerListsCut, 1u);
    EXPECT_EQ(poor.reader.Streams(), 0u);
    EXPECT_EQ(poor.budget.Used(), tables);
    EXPECT_FALSE(poor.reader.Done());
}

TEST(Http2StreamReader, FieldsNoHttp1RequestCouldCarryAreNeverReplayed) {
    for (const Fields& fields :
         {Fields{{":method", "GET"},
                 {":authority", "videohost"},
                 {":path", "/a.mp4"},
                 {"x-evil", "1\r\nRange: bytes=0-1"}},
          Fields{{":method", "GET"}, {":authority", "videohost"}, {":path", "/a.mp4 HTTP/1.0"}},
          Fields{{":method", "GET"}, {":authority", "videohost"}, {":path", "/a.mp4"}, {"X-Upper", "1"}},
          Fields{{":method", "GET"}, {"x-first", "1"}, {":path", "/a.mp4"}}}) {
        Http2FrameWriter client, server;
        Harness h;
        h.Send(kUp, kPreface + Http2FrameWriter::Settings() + client.Headers(1, fields, true));
        h.Send(kDown, Http2FrameWriter::Settings() + server.Headers(1, Status("video/mp4")));
        EXPECT_TRUE(h.seen.empty());
        EXPECT_EQ(h.statistics.malformedStreams, 1u);
        EXPECT_FALSE(h.reader.Done());
    }
}

// A connection whose reader the router chooses from its first bytes.
struct RoutedHarness {
    RoutedHarness()
        : router(ConnectionRouter::Context{sink.finder, limits, totals, nullptr, sink.messages, sink.http2, tls}) {
        ConnectionStart start;
        start.openingSeen = true;
        start.clientLinkDirection = PacketDirection::Loopback;
        reader = router.Open(start);
    }
    void Send(StreamDirection direction, const std::string& text, int64_t timeMs = 5000) {
        reader->OnData(direction, Bytes(text), timeMs);
    }

    testing::SinkHarness sink;
    CaptureLimits limits;
    PipelineTotals totals;
    ByteBudget tls{1u << 20, Limit::TlsBytes, nullptr};
    ConnectionRouter router;
    std::unique_ptr<StreamReader> reader;
};

const std::string kUpgradeRequest =
    "GET /up.mp4 HTTP/1.1\r\nX-Forwarded-Host: elsewhere\r\nhost: videohost:8080\r\nConnection: Upgrade, "
    "HTTP2-Settings\r\n"
    "Upgrade: h2c\r\n"
    "HTTP2-Settings: AAMAAABkAAUAEAAA\r\nUser-Agent: t\r\n\r\n";  // frames of up to 1 MiB

TEST(Http2Switch, TheRequestThatAsksForH2cIsStreamOneAndIsKeptWithoutTheSwitch) {
    Http2FrameWriter client, server;
    RoutedHarness h;
    for (char c : kUpgradeRequest) h.Send(kUp, std::string(1, c));
    h.Send(kDown, "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\n" +
                      Http2FrameWriter::Settings() + server.Headers(1, Status("video/mp4", "300000")) +
                      Http2FrameWriter::Data(1, std::string(100000, 'v'), true));
    h.Send(kUp, kPreface + Http2FrameWriter::Settings() + client.Headers(3, Get("/next.mp4"), true));
    h.Send(kDown, server.Headers(3, Status("video/webm")));
    const auto& seen = h.sink.seen;
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].url, "videohost:8080/up.mp4");
    EXPECT_EQ(seen[0].scheme, "http");
    // The host field is found whatever the case of its name, and only as a field of its own.
    EXPECT_EQ(seen[0].requestText,
              "GET /up.mp4 HTTP/1.1\r\nX-Forwarded-Host: elsewhere\r\nhost: videohost:8080\r\nUser-Agent: t\r\n\r\n");
    EXPECT_EQ(seen[1].url, "videohost/next.mp4");
    EXPECT_EQ(h.totals.http2.upgrades, 1u);

    // A server that stays with HTTP/1.1 answers over HTTP/1.1, and the client goes on with it.
    RoutedHarness declined;
    declined.Send(kUp, kUpgradeRequest + "GET /then.mp4 HTTP/1.1\r\nHost: videohost\r\n\r\n");
    declined.Send(kDown,
                  "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 3\r\n\r\nabc"
                  "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(declined.sink.seen.size(), 2u);
    EXPECT_EQ(declined.sink.seen[0].url, "videohost:8080/up.mp4");
    EXPECT_EQ(declined.sink.seen[1].url, "videohost/then.mp4");
    EXPECT_EQ(declined.totals.http1.responses, 2u);
    EXPECT_EQ(declined.totals.http2.upgrades, 0u);
}

// A server spoken to by prior knowledge sends its settings at once: they may pass before the client's
// preface. The connection's first bytes are held until the client's tell its protocol.
TEST(Http2Switch, ServerSettingsThatPassBeforeThePrefaceStillOpenTheServersSide) {
    for (const bool settingsFirst : {true, false}) {
        Http2FrameWriter clientWriter, serverWriter;
        Fields request = Get("/clip.mp4");
        request[1].second = "http";
        RoutedHarness h;
        const std::string settings = Http2FrameWriter::Settings({{3, 100}});
        if (settingsFirst) h.Send(kDown, settings);
        h.Send(kUp, kPreface.substr(0, 10));  // too little to tell yet
        h.Send(kUp, kPreface.substr(10) + Http2FrameWriter::Settings() + clientWriter.Headers(1, request, true));
        if (!settingsFirst) h.Send(kDown, settings);
        h.Send(kDown, serverWriter.Headers(1, Status("video/mp4", "200000")));
        ASSERT_EQ(h.sink.seen.size(), 1u) << settingsFirst;
        EXPECT_EQ(h.sink.seen[0].url, "videohost/clip.mp4");
        EXPECT_EQ(h.totals.http2.malformed, 0u);
    }
}

}  // namespace
}  // namespace tarnwick
