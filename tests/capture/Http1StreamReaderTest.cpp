// HTTP/1 inside a decrypted connection: pairing on keep-alive, framing, the shared video rules.
#include "capture/http1/Http1StreamReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick {
namespace {

constexpr auto kUp = StreamDirection::ClientToServer;
constexpr auto kDown = StreamDirection::ServerToClient;

struct Harness {
    IgnoreList ignored;
    std::vector<DetectedVideo> seen;
    VideoReporter reporter{ignored, [this](DetectedVideo video) { seen.push_back(std::move(video)); }, "lo"};
    Http1Statistics statistics;
    Http1StreamReader reader;

    explicit Harness(std::string serverName = "sni.test", const uint8_t* address = nullptr, uint8_t length = 4)
        : reader(Context(std::move(serverName), address, length), reporter, statistics) {}

    static Http1StreamReader::Context Context(std::string serverName, const uint8_t* address, uint8_t length) {
        Http1StreamReader::Context context;
        const uint8_t fallback[4] = {10, 0, 0, 2};
        context.key.server = FlowEndpoint::FromBytes(address ? address : fallback, length, 443);
        context.serverName = std::move(serverName);
        return context;
    }
    // Hands text over in pieces of `piece` bytes.
    void Send(StreamDirection direction, const std::string& text, size_t piece = SIZE_MAX) {
        for (size_t at = 0; at < text.size(); at += piece)
            reader.OnData(direction, {reinterpret_cast<const uint8_t*>(text.data()) + at, std::min(piece, text.size() - at)},
                          500);
    }
};

std::string Get(const std::string& path, const std::string& host = "Host: videohost\r\n") {
    return "GET " + path + " HTTP/1.1\r\n" + host + "Accept: */*\r\n\r\n";
}

std::string Response(const std::string& headers, const std::string& body) {
    return "HTTP/1.1 200 OK\r\n" + headers + "\r\n" + body;
}

std::string Chunked(const std::string& body) {
    std::string text;
    for (size_t at = 0; at < body.size(); at += 5)
        text += (at == 0 ? "5;ext=1\r\n" : "5\r\n") + body.substr(at, 5) + "\r\n";
    return text + "0\r\nTrailer: x\r\n\r\n";
}

TEST(Http1StreamReader, KeepAliveResponsesArePairedWithTheirOwnRequestsAndJudgedLikePackets) {
    const std::string mp4Body(300, 'm');
    const std::string requests = Get("/clip.mp4") + Get("/page.html") + Get("/chunked.bin") + "HEAD /x HTTP/1.1\r\n\r\n" +
                                 Get("/nobody") + Get("/movie.flv") + Get("/short.flv");
    const std::string responses =
        Response("Content-Type: video/mp4\r\nContent-Length: 300\r\n", mp4Body) +
        Response("Content-Type: text/html\r\nContent-Length: 11\r\n", "FLV in text") +
        Response("Transfer-Encoding: chunked\r\nContent-Length: 99\r\n", Chunked("FLV\x01\x05 and more bytes")) +
        Response("Content-Type: video/mp4\r\nContent-Length: 123456\r\n", "") +  // HEAD: no body follows
        "HTTP/1.1 204 No Content\r\n\r\n" +
        Response("Content-Type: video/x-flv\r\nContent-Length: 5\r\n", "FLV\x01\x05") +
        Response("Content-Length: 2\r\n", "FL");
    for (size_t piece : {SIZE_MAX, size_t{1}, size_t{13}}) {
        Harness h;
        h.Send(kUp, requests, piece);
        h.Send(kDown, responses, piece);
        EXPECT_FALSE(h.reader.Done());
        // The signature counts whenever the headers name no video type, as for single packets: page.html
        // is listed, short.flv (two body bytes) and the bodiless answers are not.
        ASSERT_EQ(h.seen.size(), 4u) << piece;
        EXPECT_EQ(h.seen[0].url, "videohost/clip.mp4");
        EXPECT_EQ(h.seen[0].scheme, "https");
        EXPECT_EQ(h.seen[0].contentLength, "300\r\n");
        EXPECT_EQ(h.seen[0].videoType, "mp4\r\n");
        EXPECT_EQ(h.seen[0].requestText, Get("/clip.mp4"));
        EXPECT_EQ(h.seen[0].adapter, "lo");
        EXPECT_EQ(h.seen[0].seenAtSeconds, 500);
        EXPECT_EQ(h.seen[1].url, "videohost/page.html");
        EXPECT_EQ(h.seen[1].videoType, "x-flv");
        EXPECT_EQ(h.seen[2].url, "videohost/chunked.bin");
        EXPECT_EQ(h.seen[2].videoType, "x-flv");
        EXPECT_EQ(h.seen[3].url, "videohost/movie.flv");
        EXPECT_EQ(h.seen[3].videoType, "x-flv\r\n");
        EXPECT_EQ(h.statistics.requests, 7u);
        EXPECT_EQ(h.statistics.responses, 7u);
    }
}

TEST(Http1StreamReader, ByteStreamBodiesAndRangePiecesAreJudgedLikePackets) {
    std::string transportStream(188 * 3, '\xFF');
    for (size_t i = 0; i < 3; ++i) transportStream[188 * i] = 0x47;
    const std::string mp4Start("\0\0\0\x18" "ftypisom\0\0\x02\0isomiso2", 24);
    const std::string requests = Get("/clip.ts") + Get("/picture.jpg") + Get("/piece.mp4") + Get("/short.mp4");
    const std::string responses =
        Response("Content-Type: application/octet-stream\r\nContent-Length: 564\r\n", transportStream) +
        Response("Content-Type: image/jpeg\r\nContent-Length: 564\r\n", transportStream) +
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-23/400000\r\nContent-Length: 24\r\n\r\n" +
        mp4Start + Response("Content-Length: 10\r\n", mp4Start.substr(0, 10));
    // In pieces smaller than the bytes a transport stream needs to be told apart.
    for (size_t piece : {SIZE_MAX, size_t{100}}) {
        Harness h;
        h.Send(kUp, requests, piece);
        h.Send(kDown, responses, piece);
        ASSERT_EQ(h.seen.size(), 2u) << piece;
        EXPECT_EQ(h.seen[0].url, "videohost/clip.ts");
        EXPECT_EQ(h.seen[0].videoType, "ts");
        EXPECT_EQ(h.seen[0].extent, VideoExtent::Whole);
        EXPECT_EQ(h.seen[1].url, "videohost/piece.mp4");
        EXPECT_EQ(h.seen[1].videoType, "mp4");
        EXPECT_EQ(h.seen[1].extent, VideoExtent::Piece);
        EXPECT_EQ(h.seen[1].totalSize, 400000);
    }
}

TEST(Http1StreamReader, AResponseDecryptedBeforeItsRequestStillFindsIt) {
    Harness h;
    h.Send(kDown, "HTTP/1.1 100 Continue\r\n\r\n" + Response("Content-Type: video/webm\r\nContent-Length: 4\r\n", "webm"));
    EXPECT_TRUE(h.seen.empty());
    h.Send(kUp, Get("/late.webm"));
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.seen[0].url, "videohost/late.webm");
}

TEST(Http1StreamReader, WithoutAHostHeaderTheServerNameThenTheAddressNamesTheHost) {
    const std::string video = Response("Content-Type: video/mp4\r\n", "");
    Harness named("sni.test");
    named.Send(kUp, Get("/a.mp4", ""));
    named.Send(kDown, video);
    ASSERT_EQ(named.seen.size(), 1u);
    EXPECT_EQ(named.seen[0].url, "sni.test/a.mp4");

    const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    Harness unnamed("", v6, 16);
    unnamed.Send(kUp, Get("/a.mp4", ""));
    unnamed.Send(kDown, video);
    ASSERT_EQ(unnamed.seen.size(), 1u);
    EXPECT_EQ(unnamed.seen[0].url, "[2001:db8::5]/a.mp4");
}

TEST(Http1StreamReader, TheIgnoreListHoldsHttpsAddressesInFull) {
    Harness h;
    h.ignored.IgnoreUrl("https://videohost/own.mp4", 1);
    h.ignored.IgnoreUrl("videohost/plain.mp4", 1);
    const std::string video = Response("Content-Type: video/mp4\r\nContent-Length: 1\r\n", "x");
    for (const char* path : {"/own.mp4", "/plain.mp4", "/own.mp4"}) {
        h.Send(kUp, Get(path));
        h.Send(kDown, video);
    }
    ASSERT_EQ(h.seen.size(), 2u);
    EXPECT_EQ(h.seen[0].url, "videohost/plain.mp4");
    EXPECT_EQ(h.seen[1].url, "videohost/own.mp4");
}

TEST(Http1StreamReader, WhatIsNotHttp1EndsTheReading) {
    Harness garbage;
    garbage.Send(kDown, "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n");
    EXPECT_TRUE(garbage.reader.Done());
    EXPECT_EQ(garbage.statistics.malformed, 1u);

    Harness badChunk;
    badChunk.Send(kUp, Get("/x"));
    badChunk.Send(kDown, Response("Transfer-Encoding: chunked\r\n", "zz\r\n"));
    EXPECT_TRUE(badChunk.reader.Done());

    Harness endless;
    endless.Send(kUp, "GET /x HTTP/1.1\r\n" + std::string(Http1StreamReader::kMaxHeadBytes, 'h'));
    EXPECT_TRUE(endless.reader.Done());

    Harness upgraded;
    upgraded.Send(kUp, Get("/ws"));
    upgraded.Send(kDown, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n");
    EXPECT_TRUE(upgraded.reader.Done());
    EXPECT_EQ(upgraded.statistics.upgraded, 1u);
}

}  // namespace
}  // namespace tarnwick
