// SPDX-License-Identifier: GPL-3.0-or-later
// Whole conversations through the capture pipeline: HTTP/1 read as messages whatever the segments,
// pairing, the video rules, addresses, own addresses, lost and cut bytes.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <string>
#include <vector>

#include "capture/session/CapturePipeline.h"
#include "capture/session/OwnConnections.h"
#include "tests/capture/FrameBuilder.h"

namespace tarnwick {
namespace {

using testing::BuildFrame;
using testing::Conversation;
using testing::Endpoint;

const IpAddress kOwn{192, 168, 1, 5};
const IpAddress kServer{10, 0, 0, 2};
const Endpoint kClient{kOwn, 50000};
const Endpoint kWeb{kServer, 80};
constexpr bool kUp = true, kDown = false;

const std::string kRequest = "GET /v/clip.flv HTTP/1.1\r\nHost: videohost\r\nUser-Agent: test\r\n\r\n";
const std::string kFlvHead = "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 123456\r\n\r\n";
const std::string kMp4Start(
    "\0\0\0\x18"
    "ftypisom\0\0\x02\0isomiso2",
    24);

std::string Get(const std::string& path, const std::string& host = "videohost") {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}
std::string Answer(const std::string& status, const std::string& headers, size_t length) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(length) + "\r\n\r\n";
}
std::string Mp4Answer(size_t length = 200000) {
    return Answer("200 OK", "Content-Type: video/mp4\r\n", length);
}

struct Harness {
    explicit Harness(OwnAddresses own = {kOwn}, bool infer = false, int linkType = DLT_EN10MB, bool live = false)
        : decoder(*FrameDecoder::ForLinkType(linkType)),
          pipeline(Options(std::move(own), infer, live), [this](DetectedVideo video) {
              seen.push_back(std::move(video));
              return true;
          }) {}

    static CapturePipeline::Options Options(OwnAddresses own, bool infer, bool live) {
        CapturePipeline::Options options;
        options.sourceName = "eth0";
        options.ownAddresses = std::move(own);
        options.inferOwnAddresses = infer;
        options.live = live;
        return options;
    }
    void Feed(const std::vector<uint8_t>& frame, int64_t timeMs = 1000000) {
        pipeline.Frame(decoder, PacketView(frame.data(), frame.size()), timeMs);
    }
    void Feed(const Conversation& conversation, int64_t timeMs = 1000000) {
        for (const auto& frame : conversation.frames) Feed(frame, timeMs);
    }
    const PipelineTotals& End() {
        pipeline.End(StreamEnd::Closed);
        return pipeline.Totals();
    }

    FrameDecoder decoder;
    std::vector<DetectedVideo> seen;
    CapturePipeline pipeline;
};

TEST(CapturePipeline, AVideoAnswerIsReportedWithAllItsFields) {
    Harness h;
    Conversation c(kClient, kWeb);
    c.Open().Send(kUp, kRequest).Send(kDown, kFlvHead + "FLV\x01 body");
    h.Feed(c, 1234567);
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.seen[0].url, "videohost/v/clip.flv");
    EXPECT_EQ(h.seen[0].scheme, "http");
    EXPECT_EQ(h.seen[0].contentLength, "123456\r\n");
    EXPECT_EQ(h.seen[0].videoType, "x-flv\r\n");
    EXPECT_EQ(h.seen[0].requestText, kRequest);
    EXPECT_EQ(h.seen[0].adapter, "eth0");
    EXPECT_EQ(h.seen[0].seenAtSeconds, 1234);
    EXPECT_EQ(h.seen[0].seenAtMs, 1234567);
    EXPECT_EQ(h.End().detections.requests, 1u);
}

// Real clients and servers cut their messages anywhere: the request line, a field, the status line,
// Content-Range, the body's first bytes may each come in a later segment; the connection's start may be
// missing (it opened before the capture did).
TEST(CapturePipeline, MessagesAreReadWhateverSegmentsCarryThem) {
    const std::string longRequest =
        "GET /" + std::string(3000, 'x') + ".mp4 HTTP/1.1\r\nUser-Agent: u\r\nHost: h\r\n\r\n";
    const std::string range =
        Answer("206 Partial Content", "Content-Type: video/mp4\r\nContent-Range: bytes 0-99/250000\r\n", 100);
    for (const size_t piece : {size_t{1}, size_t{7}, size_t{60}, size_t{1460}}) {
        for (const bool open : {true, false}) {
            Harness h;
            Conversation c(kClient, kWeb);
            if (open) c.Open();
            c.SendIn(kUp, longRequest, piece).SendIn(kDown, Mp4Answer(500) + std::string(500, 'm'), piece);
            c.SendIn(kUp, Get("/range.mp4"), piece).SendIn(kDown, range + std::string(100, 'r'), piece);
            c.SendIn(kUp, Get("/untyped.bin"), piece).SendIn(kDown, Answer("200 OK", "", 300000) + kMp4Start, piece);
            h.Feed(c);
            const std::string where = "piece " + std::to_string(piece) + (open ? " from the start" : " in the middle");
            // A connection met in its middle is read from the first segment that begins a message.
            if (!open && piece < 60) {
                EXPECT_LE(h.seen.size(), 3u) << where;
                continue;
            }
            ASSERT_EQ(h.seen.size(), 3u) << where;
            EXPECT_EQ(h.seen[0].url, "h/" + std::string(3000, 'x') + ".mp4") << where;
            EXPECT_EQ(h.seen[1].totalSize, 250000) << where;
            EXPECT_EQ(h.seen[1].extent, VideoExtent::Piece) << where;
            EXPECT_EQ(h.seen[2].videoType, "mp4") << where;
            EXPECT_EQ(h.seen[2].contentLength, "300000\r\n") << where;
        }
    }
}

TEST(CapturePipeline, FieldNamesInAnyCaseWithOrWithoutABlank) {
    for (const std::string& fields :
         {std::string("content-type: video/mp4\r\ncontent-length: 200000\r\n"),
          std::string("Content-type:video/mp4\r\nContent-Length:200000\r\n"),
          std::string("CONTENT-TYPE:  Video/MP4 ; codecs=x\r\nContent-Length:\t200000\r\n")}) {
        Harness h;
        Conversation c(kClient, kWeb);
        c.Open()
            .Send(kUp, "GET /a.mp4 HTTP/1.1\r\nhost:h\r\n\r\n")
            .Send(kDown, "HTTP/1.1 200 OK\r\n" + fields + "\r\nbody");
        h.Feed(c);
        ASSERT_EQ(h.seen.size(), 1u) << fields;
        EXPECT_EQ(h.seen[0].url, "h/a.mp4");
        EXPECT_EQ(h.seen[0].contentLength, "200000\r\n");
        EXPECT_TRUE(h.seen[0].videoType == "mp4\r\n" || h.seen[0].videoType == "MP4\r\n") << h.seen[0].videoType;
    }
}

// Pipelined requests in one segment, answers of every framing on a kept-alive connection: each answer
// goes with its own request, and nothing it holds is taken for a message.
TEST(CapturePipeline, AnswersPairWithTheirRequestsInOrder) {
    Harness h;
    Conversation c(kClient, kWeb);
    c.Open().Send(kUp, Get("/first.mp4") + Get("/page.html") + "HEAD /head.mp4 HTTP/1.1\r\nHost: videohost\r\n\r\n" +
                           Get("/chunked.flv") + Get("/empty") + Get("/last.mp4"));
    std::string chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nFLV\r\n4\r\n\x01\x05"
        "ab\r\n0\r\n\r\n";
    c.Send(kDown, Mp4Answer(10) + "0123456789" + Answer("200 OK", "Content-Type: text/html\r\n", 14) +
                      "GET /fake HTTP" + Mp4Answer(5000) /* HEAD: no body */ + chunked +
                      Answer("204 No Content", "Content-Type: video/mp4\r\n", 0) + Mp4Answer());
    h.Feed(c);
    // Only answers to GET requests are videos; the answer to HEAD has no body.
    ASSERT_EQ(h.seen.size(), 3u);
    EXPECT_EQ(h.seen[0].url, "videohost/first.mp4");
    EXPECT_EQ(h.seen[1].url, "videohost/chunked.flv");
    EXPECT_EQ(h.seen[1].videoType, "x-flv");
    EXPECT_EQ(h.seen[2].url, "videohost/last.mp4");
    EXPECT_EQ(h.End().detections.requests, 5u);  // GETs only, each once
}

// A plain HTTP/1 connection that falls silent is let go after a minute, well before a TLS one is: its
// next request, minutes later, is read from a connection met anew.
TEST(CapturePipeline, AKeptAliveConnectionSilentForMinutesIsReadAgainAtItsNextRequest) {
    Harness h;
    Conversation c(kClient, kWeb);
    c.Open().Send(kUp, Get("/first.mp4")).Send(kDown, Mp4Answer(10) + "0123456789");
    const size_t first = c.frames.size();
    c.Send(kUp, Get("/second.mp4")).Send(kDown, Mp4Answer(10) + "0123456789");
    for (size_t i = 0; i < first; ++i) h.Feed(c.frames[i], 1'000'000);
    Conversation other(Endpoint{kOwn, 50001}, kWeb);
    other.Open().Send(kUp, Get("/other.html"));
    h.Feed(other, 1'090'000);  // the clock moves on
    for (size_t i = first; i < c.frames.size(); ++i) h.Feed(c.frames[i], 1'180'000);
    ASSERT_EQ(h.seen.size(), 2u);
    EXPECT_EQ(h.seen[1].url, "videohost/second.mp4");
    EXPECT_EQ(h.End().reassembly.idleTimeouts, 2u);  // the first time, and the other connection
}

TEST(CapturePipeline, UrlsComeFromTheHostOrTheServersAddress) {
    struct Case {
        std::string request;
        Endpoint client, server;
        std::string url;
    };
    const Endpoint client6{*IpAddress::Parse("2001:db8::5"), 50000};
    const Endpoint server6{*IpAddress::Parse("2001:db8:1::2"), 80};
    const std::vector<Case> cases = {
        {"GET /path HTTP/1.1\r\nHost: videohost:8080\r\n\r\n", kClient, kWeb, "videohost:8080/path"},
        {"GET /path HTTP/1.1\r\nAccept: */*\r\n\r\n", kClient, {{10, 0, 0, 5}, 8080}, "10.0.0.5/path"},
        {"GET /path HTTP/1.1\r\nHost:   spaced  \r\n\r\n", kClient, kWeb, "spaced/path"},
        {"GET http://proxied.example:81/p?q=1 HTTP/1.1\r\nHost: other\r\n\r\n", kClient, kWeb,
         "proxied.example:81/p?q=1"},
        {"GET /bare HTTP/1.0\r\n\r\n", client6, server6, "[2001:db8:1::2]/bare"},
    };
    for (const auto& c : cases) {
        Harness h({kOwn, client6.address});
        Conversation conversation(c.client, c.server);
        conversation.Open().Send(kUp, c.request).Send(kDown, Mp4Answer());
        h.Feed(conversation);
        ASSERT_EQ(h.seen.size(), 1u) << c.request;
        EXPECT_EQ(h.seen[0].url, c.url);
    }
    for (const size_t length : {size_t{4095}, size_t{4096}}) {
        Harness h;
        Conversation c(kClient, kWeb);
        c.Open().Send(kUp, Get("/" + std::string(length - 2, 'a'), "h")).Send(kDown, Mp4Answer());
        h.Feed(c);
        EXPECT_EQ(h.seen.size(), length <= 4095 ? 1u : 0u) << length;
    }
}

TEST(CapturePipeline, OnlyAnswersOf200Or206AndOfVideoTypesOrSignaturesAreVideos) {
    const std::string ts = [] {
        std::string body(188 * 3, '\xFF');
        for (size_t i = 0; i < 3; ++i) body[188 * i] = 0x47;
        return body;
    }();
    struct Case {
        std::string answer;
        std::string type;  // empty: not a video
    };
    const std::vector<Case> cases = {
        {Answer("200 OK", "Content-Type: application/octet-stream\r\n", 300000) + kMp4Start, "mp4"},
        {Answer("200 OK", "Content-Type: Binary/Octet-Stream; charset=x\r\n", 300000) + ts, "ts"},
        {Answer("200 OK", "", 300000) + std::string("RIFF\x10\0\0\0"
                                                    "AVI LIST",
                                                    16),
         "avi"},
        {Answer("200 OK", "Content-Type: text/plain\r\n", 300000) + "FLV\x01", "x-flv"},
        {Answer("200 OK", "Content-Type: image/jpeg\r\n", 300000) + kMp4Start, ""},
        {Answer("200 OK", "Content-Type: text/html\r\n", 300000) + ts, ""},
        {Answer("404 Not Found", "Content-Type: video/mp4\r\n", 300000) + kMp4Start, ""},
        {Answer("200 OK", "Content-Type: application/octet-stream\r\n", 300000) + "plain bytes", ""},
        {Answer("200 OK", "Content-Type: application/octet-stream\r\n", 2) + "FL", ""},
    };
    for (const auto& c : cases) {
        Harness h;
        Conversation conversation(kClient, kWeb);
        // The body's first bytes may also come in the answer's next segment.
        const size_t head = c.answer.find("\r\n\r\n") + 4;
        conversation.Open()
            .Send(kUp, kRequest)
            .Send(kDown, c.answer.substr(0, head))
            .Send(kDown, c.answer.substr(head));
        h.Feed(conversation);
        if (c.type.empty()) {
            EXPECT_TRUE(h.seen.empty()) << c.answer;
            continue;
        }
        ASSERT_EQ(h.seen.size(), 1u) << c.answer;
        EXPECT_EQ(h.seen[0].videoType, c.type);
        EXPECT_EQ(h.seen[0].contentLength, "300000\r\n");
    }
}

// A stretch the capture missed costs at most the messages it held: inside a body nobody reads it costs
// nothing, and after a lost head the next message is found again.
TEST(CapturePipeline, LostAndCutBytesCostOnlyWhatTheyHeld) {
    Harness h;
    Conversation c(kClient, kWeb);
    c.Open().Send(kUp, Get("/one.mp4")).Send(kDown, Mp4Answer(10000) + std::string(1000, 'm'));
    c.Lose(kDown, 5000).Send(kDown, std::string(4000, 'm')).Acknowledge(kUp);  // inside the body: no harm
    c.Send(kUp, Get("/two.mp4")).Lose(kDown, 300).Send(kDown, std::string(200, 'z')).Acknowledge(kUp);  // its head lost
    c.Send(kUp, Get("/three.mp4")).Send(kDown, Mp4Answer(0));
    // A request the capture lost is still answered: the answers after it keep their pairs.
    c.Lose(kUp, Get("/lost.mp4").size()).Send(kDown, Mp4Answer(0)).Acknowledge(kUp);
    c.Send(kUp, Get("/four.mp4")).Acknowledge(kDown);
    c.Send(kDown, Mp4Answer(0));
    // A frame cut short by the snapshot length: its head is all there, the body's rest is not needed.
    c.Send(kUp, Get("/five.mp4")).SendCut(kDown, Mp4Answer(1400) + std::string(1400, 'm'), 100);
    c.Send(kUp, Get("/six.mp4")).Send(kDown, Mp4Answer(0));
    h.Feed(c);
    std::vector<std::string> urls;
    for (const auto& video : h.seen) urls.push_back(video.url);
    EXPECT_EQ(urls, (std::vector<std::string>{"videohost/one.mp4", "videohost/three.mp4", "videohost/four.mp4",
                                              "videohost/five.mp4", "videohost/six.mp4"}));
    const PipelineTotals& totals = h.End();
    // Only the lost head and the lost request are gaps: the rest lay inside bodies passed over unread.
    EXPECT_EQ(totals.reassembly.gaps, 2u);
    EXPECT_GT(totals.reassembly.bytesSkipped, 10000u);
    EXPECT_EQ(totals.http1.lost, 2u);
}

// A request is this host's when it left from an own address (or the link layer says this host sent it);
// a replay without given addresses takes each IP version's first request's sender for its own.
TEST(CapturePipeline, OnlyThisHostsRequestsCount) {
    const Endpoint other{{192, 168, 1, 6}, 50000};
    {
        Harness h;
        Conversation c(other, kWeb);
        c.Open().Send(kUp, kRequest).Send(kDown, kFlvHead + "FLV");
        h.Feed(c);
        EXPECT_TRUE(h.seen.empty());
        const PipelineTotals& totals = h.End();
        EXPECT_EQ(totals.detections.otherRequests, 1u);
        EXPECT_EQ(totals.detections.firstOtherSender, other.address);
    }
    Harness inferred({}, true);
    for (const Endpoint& client : {other, kClient}) {
        Conversation c(client, kWeb);
        c.Open().Send(kUp, kRequest).Send(kDown, kFlvHead + "FLV");
        inferred.Feed(c);
    }
    EXPECT_EQ(inferred.seen.size(), 1u);
    EXPECT_EQ(inferred.End().detections.requests, 1u);
    EXPECT_EQ(inferred.pipeline.OwnAddressSet().ToString(), "192.168.1.6");
}

// Linux's "any" adapter: the cooked header says which frames this host sent. Loopback frames come in from
// both ends, often between equal addresses; the outgoing copy is passed over, and the connection's own
// order tells the request from the answer.
TEST(CapturePipeline, CookedHeadersTellTheDirection) {
    Harness h({}, false, DLT_LINUX_SLL2);
    auto cooked = [](const std::vector<uint8_t>& ethernet, uint8_t packetType, bool loopback) {
        std::vector<uint8_t> frame(20, 0);
        frame[0] = ethernet[12];
        frame[1] = ethernet[13];
        frame[8] = loopback ? 0x03 : 0x00;  // link address type 772 (loopback) or 1 (Ethernet)
        frame[9] = loopback ? 0x04 : 0x01;
        frame[10] = packetType;
        frame.insert(frame.end(), ethernet.begin() + 14, ethernet.end());
        return frame;
    };
    constexpr uint8_t kToUs = 0, kFromUs = 4;
    Conversation out(kClient, kWeb);
    out.Open().Send(kUp, kRequest).Send(kDown, kFlvHead + "FLV");
    for (size_t i = 0; i < out.frames.size(); ++i) {
        const bool fromClient = i == 0 || i == 2 || i == 3;
        h.Feed(cooked(out.frames[i], fromClient ? kFromUs : kToUs, false));
    }
    const Endpoint client{*IpAddress::Parse("::1"), 40000}, server{*IpAddress::Parse("::1"), 8080};
    Conversation local(client, server);
    local.Open().Send(kUp, "GET /local.mp4 HTTP/1.1\r\n\r\n").Send(kDown, Mp4Answer());
    for (const auto& frame : local.frames)
        for (const uint8_t packetType : {kFromUs, kToUs}) h.Feed(cooked(frame, packetType, true));
    ASSERT_EQ(h.seen.size(), 2u);
    EXPECT_EQ(h.seen[0].url, "videohost/v/clip.flv");
    EXPECT_EQ(h.seen[1].url, "[::1]/local.mp4");
}

// Tarnwick's own fetches are known by their sockets' ports while they are open, and a while after.
TEST(CapturePipeline, OwnFetchesArePassedOver) {
    const int64_t now = OwnConnections::NowMs();
    const uint64_t token = OwnConnections::Process().Opened(kClient.port, OwnConnections::Role::Client, now);
    Harness h({kOwn}, false, DLT_EN10MB, true);
    Conversation own(kClient, kWeb), user({kOwn, 50001}, kWeb);
    own.Open().Send(kUp, kRequest).Send(kDown, kFlvHead + "FLV");
    user.Open().Send(kUp, kRequest).Send(kDown, kFlvHead + "FLV");
    h.Feed(own, now);
    h.Feed(user, now);
    OwnConnections::Process().Closed(token, now);
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.End().detections.ownFetches, 1u);
    // Long after the socket closed, the port may be anyone's.
    EXPECT_FALSE(OwnConnections::Process().Owns(kClient.port, 80, now + 10'000));
}

// Cutting frames at every length never crashes the readers and never yields a wrong report.
TEST(CapturePipeline, TruncationSweepNeverReportsWrongValues) {
    Conversation whole(kClient, kWeb);
    whole.Open().Send(kUp, kRequest).Send(kDown, kFlvHead + "FLV\x01 body");
    const size_t requestFrame = 3, answerFrame = 4;
    for (const size_t cutFrame : {requestFrame, answerFrame}) {
        for (size_t length = 0; length <= whole.frames[cutFrame].size(); ++length) {
            Harness h;
            for (size_t i = 0; i < whole.frames.size(); ++i) {
                std::vector<uint8_t> frame = whole.frames[i];
                if (i == cutFrame) frame.resize(length);
                h.Feed(frame);
            }
            for (const auto& video : h.seen) {
                EXPECT_EQ(video.url, "videohost/v/clip.flv") << length;
                EXPECT_EQ(video.requestText, kRequest) << length;
                EXPECT_EQ(video.contentLength, "123456\r\n") << length;
            }
        }
    }
}

}  // namespace
}  // namespace tarnwick
