// Detector behaviour on crafted frames: pairing, FLV rules, URL building, ignoring and malformed frames.
#include "capture/detect/HttpVideoDetector.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <pcap/pcap.h>

#include "tests/capture/FrameBuilder.h"

namespace tarnwick {
namespace {

using testing::BuildFrame;
using testing::Endpoint;

const IpAddress kOwn{192, 168, 1, 5};
const IpAddress kServer{10, 0, 0, 2};
const Endpoint kClient{kOwn, 50000};
const Endpoint kWeb{kServer, 80};

const std::string kRequest =
    "GET /v/clip.flv HTTP/1.1\r\nHost: videohost\r\nUser-Agent: test\r\n\r\n";
const std::string kFlvHeader =
    "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 123456\r\n\r\n";

struct Harness {
    explicit Harness(OwnAddresses own = {kOwn}, FrameDecoder decoder = {})
        : detector(std::move(own), table, ignored, [this](DetectedVideo v) { seen.push_back(std::move(v)); }, "eth0",
                   decoder) {}

    PendingRequestTable table;
    IgnoreList ignored;
    std::vector<DetectedVideo> seen;
    HttpVideoDetector detector;

    void Feed(const std::vector<uint8_t>& frame, int64_t time = 1000) {
        detector.ProcessPacket(frame.data(), frame.size(), time);
    }
    void Request(const std::string& text, Endpoint client = kClient, Endpoint server = kWeb) {
        Feed(BuildFrame(client, server, text));
    }
    void Response(const std::string& text, Endpoint server = kWeb, Endpoint client = kClient) {
        Feed(BuildFrame(server, client, text));
    }
};

TEST(HttpVideoDetector, FlvResponseWithBodyIsReportedWithAllFields) {
    Harness h;
    h.Request(kRequest);
    h.Feed(BuildFrame(kWeb, kClient, kFlvHeader + "FLV\x01 body"), 1234);
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.seen[0].url, "videohost/v/clip.flv");
    EXPECT_EQ(h.seen[0].contentLength, "123456\r\n");
    EXPECT_EQ(h.seen[0].videoType, "x-flv\r\n");
    EXPECT_EQ(h.seen[0].requestText, kRequest);
    EXPECT_EQ(h.seen[0].adapter, "eth0");
    EXPECT_EQ(h.seen[0].seenAtSeconds, 1234);
    EXPECT_EQ(h.table.Size(), 0u);
}

TEST(HttpVideoDetector, FlvHeaderFillingItsPacketIsReportedFromTheNextFlvPacket) {
    Harness h;
    h.Request(kRequest);
    h.Response(kFlvHeader);
    EXPECT_TRUE(h.seen.empty());
    h.Response("xFLV not at the start");
    EXPECT_TRUE(h.seen.empty());
    h.Response("FLV\x01...");
    h.Response("FLV\x01 again");
    ASSERT_EQ(h.seen.size(), 2u);  // every such packet reports the same request again
    for (const auto& video : h.seen) {
        EXPECT_EQ(video.url, "videohost/v/clip.flv");
        EXPECT_EQ(video.videoType, "x-flv");
        EXPECT_EQ(video.contentLength, "123456\r\n");
    }
}

TEST(HttpVideoDetector, OtherVideoTypesAndFlvWithoutBlankLineAreReportedAtOnce) {
    for (const std::string& response :
         {std::string("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n"),
          std::string("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\nbody"),
          std::string("HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 200000\r\n")}) {
        Harness h;
        h.Request(kRequest);
        h.Response(response);
        ASSERT_EQ(h.seen.size(), 1u) << response;
        EXPECT_EQ(h.seen[0].contentLength, "200000\r\n");
    }
}

TEST(HttpVideoDetector, UntypedResponseWhoseBodyStartsWithFlvIsReported) {
    Harness h;
    h.Request(kRequest);
    h.Response("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\nFLV\x01");
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.seen[0].videoType, "x-flv");
    EXPECT_EQ(h.seen[0].contentLength, "");
}

const std::string kMp4Start("\0\0\0\x18" "ftypisom\0\0\x02\0isomiso2", 24);

std::string Answer(const std::string& status, const std::string& headers) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: 300000\r\n\r\n";
}

TEST(HttpVideoDetector, BodiesOfUntypedAndByteStreamAnswersAreRecognised) {
    const std::string ts = [] {
        std::string body(188 * 3, '\xFF');
        for (size_t i = 0; i < 3; ++i) body[188 * i] = 0x47;
        return body;
    }();
    struct Case {
        std::string response;
        std::string type;  // empty: nothing reported
    };
    const std::vector<Case> cases = {
        {Answer("200 OK", "Content-Type: application/octet-stream\r\n") + kMp4Start, "mp4"},
        {Answer("200 OK", "Content-Type: Binary/Octet-Stream; charset=x\r\n") + ts, "ts"},
        {Answer("200 OK", "") + std::string("RIFF\x10\0\0\0" "AVI LIST", 16), "avi"},
        // A declared type other than a byte stream is never overruled, and only 200 and 206 carry a video.
        {Answer("200 OK", "Content-Type: image/jpeg\r\n") + kMp4Start, ""},
        {Answer("200 OK", "Content-Type: text/html\r\n") + ts, ""},
        {Answer("404 Not Found", "Content-Type: application/octet-stream\r\n") + kMp4Start, ""},
        {Answer("200 OK", "Content-Type: application/octet-stream\r\n") + "plain bytes", ""},
    };
    for (const auto& c : cases) {
        Harness h;
        h.Request(kRequest);
        h.Response(c.response);
        if (c.type.empty()) {
            EXPECT_TRUE(h.seen.empty()) << c.response;
            continue;
        }
        ASSERT_EQ(h.seen.size(), 1u) << c.response;
        EXPECT_EQ(h.seen[0].videoType, c.type);
        EXPECT_EQ(h.seen[0].contentLength, "300000\r\n");
        EXPECT_EQ(h.seen[0].extent, VideoExtent::Whole);
    }
}

TEST(HttpVideoDetector, BodyAfterAHeaderThatFilledItsPacketIsJudgedOnItsOwnConnection) {
    const Endpoint otherClient{kOwn, 50001};
    Harness h;
    h.Request(kRequest);
    h.Request("GET /other HTTP/1.1\r\nHost: videohost\r\n\r\n", otherClient);
    h.Response(Answer("200 OK", "Content-Type: application/octet-stream\r\n"));
    h.Response(Answer("200 OK", "Content-Type: application/octet-stream\r\n"), kWeb, otherClient);
    // The other connection's body is no video; this one's is.
    h.Response("no video here", kWeb, otherClient);
    EXPECT_TRUE(h.seen.empty());
    h.Response(kMp4Start);
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.seen[0].url, "videohost/v/clip.flv");
    EXPECT_EQ(h.seen[0].videoType, "mp4");
    // Judged once: later body packets are not looked at again.
    h.Response(kMp4Start);
    EXPECT_EQ(h.seen.size(), 1u);

    // A new answer on the connection ends the wait for the earlier body.
    Harness next;
    next.Request(kRequest);
    next.Request(kRequest);
    next.Response(Answer("200 OK", ""));
    next.Response(Answer("304 Not Modified", ""));
    next.Response(kMp4Start);
    EXPECT_TRUE(next.seen.empty());
}

TEST(HttpVideoDetector, RangeAnswersNameTheWholeVideo) {
    struct Case {
        std::string response;
        VideoExtent extent;
        int64_t total;
    };
    const std::vector<Case> cases = {
        {Answer("206 Partial Content", "Content-Type: video/mp4\r\nContent-Range: bytes 0-99999/250000\r\n"),
         VideoExtent::Piece, 250000},
        {Answer("206 Partial Content", "Content-Range: bytes 100000-199999/*\r\n") + kMp4Start,
         VideoExtent::PieceOfUnknown, 200000},
        // Only a 206 answer holds a piece; an unreadable range leaves the answer as it is.
        {Answer("200 OK", "Content-Type: video/mp4\r\nContent-Range: bytes 0-99999/250000\r\n"),
         VideoExtent::Whole, 0},
        {Answer("206 Partial Content", "Content-Type: video/mp4\r\nContent-Range: bytes 0-99999/5\r\n"),
         VideoExtent::Whole, 0},
    };
    for (const auto& c : cases) {
        Harness h;
        h.Request(kRequest);
        h.Response(c.response);
        ASSERT_EQ(h.seen.size(), 1u) << c.response;
        EXPECT_EQ(h.seen[0].extent, c.extent) << c.response;
        EXPECT_EQ(h.seen[0].totalSize, c.total) << c.response;
    }
}

TEST(HttpVideoDetector, HeaderNamesAreCaseSensitiveAndNeedOneBlank) {
    for (const std::string& header : {std::string("content-type: video/mp4"), std::string("Content-Type:video/mp4")}) {
        Harness h;
        h.Request(kRequest);
        h.Response("HTTP/1.1 200 OK\r\n" + header + "\r\nContent-Length: 200000\r\n\r\nbody");
        EXPECT_TRUE(h.seen.empty()) << header;
    }
}

TEST(HttpVideoDetector, ResponsesClaimRequestsOldestFirstAndOnlyOnce) {
    Harness h;
    h.Request("GET /first HTTP/1.1\r\nHost: h\r\n\r\n");
    h.Request("GET /second HTTP/1.1\r\nHost: h\r\n\r\n");
    const std::string mp4 = "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n";
    h.Response(mp4);
    h.Response(mp4);
    h.Response(mp4);  // nothing left to claim
    ASSERT_EQ(h.seen.size(), 2u);
    EXPECT_EQ(h.seen[0].url, "h/first");
    EXPECT_EQ(h.seen[1].url, "h/second");

    // A response that is no video still takes its request; a later FLV packet then reports nothing.
    h.Request(kRequest);
    h.Response("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html>");
    h.Response(mp4);
    h.Response("FLV\x01");
    EXPECT_EQ(h.seen.size(), 2u);
}

TEST(HttpVideoDetector, ResponsesPairOnlyWithTheMirroredConnection) {
    Harness h;
    h.Request(kRequest);
    const std::string mp4 = "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n";
    h.Response(mp4, {kServer, 8080}, kClient);
    h.Response(mp4, kWeb, {kOwn, 50001});
    EXPECT_TRUE(h.seen.empty());
    h.Response(mp4);
    EXPECT_EQ(h.seen.size(), 1u);
}

TEST(HttpVideoDetector, UrlComesFromTrimmedHostOrTheServerAddress) {
    const std::string mp4 = "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n";
    struct Case {
        std::string request;
        Endpoint server;
        std::string url;
    };
    const std::vector<Case> cases = {
        {"GET /path HTTP/1.1\r\nHost: videohost:8080\r\n\r\n", kWeb, "videohost:8080/path"},
        {"GET /path HTTP/1.1\r\nAccept: */*\r\n\r\n", {{10, 0, 0, 5}, 8080}, "10.0.0.5/path"},
        {"GET /path HTTP/1.1\r\nHost:   spaced  \r\n\r\n", kWeb, "spaced/path"},
        {"GET /q?a=1 HTTP/1.0\r\nHost: h\r\n\r\n", kWeb, "h/q?a=1"},
    };
    for (const auto& c : cases) {
        Harness h;
        h.Request(c.request, kClient, c.server);
        h.Response(mp4, c.server, kClient);
        ASSERT_EQ(h.seen.size(), 1u) << c.request;
        EXPECT_EQ(h.seen[0].url, c.url);
    }
    EXPECT_EQ(HttpVideoDetector::UrlOf({}), "");
}

TEST(HttpVideoDetector, RequestTextNeedsTheBlankLineAndStartsAtThePayload) {
    Harness h;
    h.Request("xxGET /a HTTP/1.1\r\nHost: h\r\n");
    h.Response("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n");
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.seen[0].url, "h/a");
    EXPECT_EQ(h.seen[0].requestText, "");
}

TEST(HttpVideoDetector, OverlongUrlIsDropped) {
    const std::string mp4 = "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n";
    for (size_t urlLength : {size_t{4095}, size_t{4096}}) {
        Harness h;
        h.Request("GET /" + std::string(urlLength - 2, 'a') + " HTTP/1.1\r\nHost: h\r\n\r\n");
        h.Response(mp4);
        EXPECT_EQ(h.seen.size(), urlLength <= 4095 ? 1u : 0u) << urlLength;
    }
}

TEST(HttpVideoDetector, IgnoredUrlIsSwallowedOnce) {
    Harness h;
    h.ignored.IgnoreUrl("videohost/v/clip.flv", 2);
    for (int i = 0; i < 3; ++i) {
        h.Request(kRequest);
        h.Response(kFlvHeader + "FLV");
    }
    EXPECT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.ignored.Size(), 0u);
}

TEST(HttpVideoDetector, OnlyTheOwnAddressSendsRequests) {
    Harness h;
    const Endpoint otherOwn{{192, 168, 1, 6}, 50000};
    h.Request(kRequest, otherOwn);  // treated as incoming: no "HTTP", not recorded
    h.Response(kFlvHeader + "FLV", kWeb, otherOwn);
    EXPECT_TRUE(h.seen.empty());
    EXPECT_EQ(h.table.Size(), 0u);
}

TEST(HttpVideoDetector, BothIpVersionsPairInOneTableAndBareIpv6ServersAreBracketed) {
    const std::string mp4 = "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n";
    const Endpoint client6{*IpAddress::Parse("2001:db8::5"), 50000};
    const Endpoint server6{*IpAddress::Parse("2001:db8:1::2"), 80};
    Harness h({kOwn, client6.address});
    h.Request("GET /named HTTP/1.1\r\nHost: [2001:db8:1::2]:8080\r\n\r\n", client6, server6);
    h.Request("GET /v4 HTTP/1.1\r\nHost: h\r\n\r\n");
    h.Request("GET /bare HTTP/1.0\r\n\r\n", {client6.address, 50001}, server6);
    h.Response(mp4, server6, client6);
    h.Response(mp4, server6, {client6.address, 50001});
    h.Response(mp4);
    ASSERT_EQ(h.seen.size(), 3u);
    EXPECT_EQ(h.seen[0].url, "[2001:db8:1::2]:8080/named");
    EXPECT_EQ(h.seen[1].url, "[2001:db8:1::2]/bare");
    EXPECT_EQ(h.seen[2].url, "h/v4");
}

// Linux's "any" adapter: its cooked header says which frames this host sent, also when no own address
// is known. Loopback frames come in from both ends, often between equal addresses; their content tells
// a request from an answer, and an outgoing copy of one (which also comes in) is passed over.
TEST(HttpVideoDetector, CookedHeadersTellTheDirection) {
    Harness h({}, *FrameDecoder::ForLinkType(DLT_LINUX_SLL2));
    auto cooked = [](const std::vector<uint8_t>& ethernet, uint8_t packetType, bool loopback = false) {
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
    h.Feed(cooked(BuildFrame(kClient, kWeb, kRequest), kFromUs));
    h.Feed(cooked(BuildFrame(kWeb, kClient, kFlvHeader + "FLV"), kToUs));
    ASSERT_EQ(h.seen.size(), 1u);
    EXPECT_EQ(h.seen[0].url, "videohost/v/clip.flv");

    const Endpoint client{*IpAddress::Parse("::1"), 40000}, server{*IpAddress::Parse("::1"), 8080};
    const auto request = BuildFrame(client, server, "GET /local.mp4 HTTP/1.1\r\n\r\n");
    const auto response =
        BuildFrame(server, client, "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 200000\r\n\r\n");
    for (const uint8_t packetType : {kFromUs, kToUs}) h.Feed(cooked(request, packetType, true));
    EXPECT_EQ(h.table.Size(), 1u);
    for (const uint8_t packetType : {kFromUs, kToUs}) h.Feed(cooked(response, packetType, true));
    ASSERT_EQ(h.seen.size(), 2u);
    EXPECT_EQ(h.seen[1].url, "[::1]/local.mp4");
    EXPECT_EQ(h.table.Size(), 0u);
}

TEST(HttpVideoDetector, ShortContinuationPacketIsNotFlv) {
    Harness h;
    h.Request(kRequest);
    h.Response(kFlvHeader);
    h.Response("FL");
    EXPECT_TRUE(h.seen.empty());
}

TEST(HttpVideoDetector, SearchesStayInsideTheFirst8192PayloadBytes) {
    Harness h;
    h.Request(kRequest);
    std::string padded = "HTTP/1.1 200 OK\r\n" + std::string(8192, 'p') + "Content-Type: video/mp4\r\n\r\n";
    h.Response(padded);
    EXPECT_TRUE(h.seen.empty());
}

// Valid and invalid frames side by side: only Ethernet II / IPv4 / TCP with consistent lengths is read.
TEST(HttpVideoDetector, MalformedFramesAreSkipped) {
    const auto good = BuildFrame(kClient, kWeb, kRequest);
    auto notIpv4 = good;
    notIpv4[13] = 0xDD;  // 0x08DD
    auto ipv6Version = good;
    ipv6Version[14] = 0x65;
    auto udp = good;
    udp[14 + 9] = 17;
    auto shortIpHeader = good;
    shortIpHeader[14] = 0x44;
    auto shortTcpHeader = good;
    shortTcpHeader[14 + 20 + 12] = 0x40;
    auto hugeTcpHeader = BuildFrame(kClient, kWeb, "GET ");
    hugeTcpHeader[14 + 20 + 12] = 0xF0;  // 60 bytes claimed, 24 present
    const std::vector<std::vector<uint8_t>> bad = {notIpv4, ipv6Version, udp, shortIpHeader, shortTcpHeader,
                                                   hugeTcpHeader};
    for (size_t i = 0; i < bad.size(); ++i) {
        Harness h;
        h.Feed(bad[i]);
        EXPECT_EQ(h.table.Size(), 0u) << "frame " << i;
    }
    Harness h;
    h.Feed(good);
    EXPECT_EQ(h.table.Size(), 1u);

    // Options in both headers move the payload; the detector follows the lengths.
    Harness withOptions;
    withOptions.Feed(BuildFrame(kClient, kWeb, kRequest, 6, 8));
    withOptions.Feed(BuildFrame(kWeb, kClient, kFlvHeader + "FLV", 7, 6));
    EXPECT_EQ(withOptions.seen.size(), 1u);

    h.detector.ProcessPacket(nullptr, 0, 0);
}

// Cutting a good frame at every length never crashes and never yields a report that differs from
// what the whole frame gives, beyond what a frame without those header lines would give.
TEST(HttpVideoDetector, TruncationSweepNeverReportsWrongValues) {
    const std::string response = kFlvHeader + "FLV\x01 body";
    Harness whole;
    whole.Request(kRequest);
    whole.Response(response);
    ASSERT_EQ(whole.seen.size(), 1u);
    const DetectedVideo expected = whole.seen[0];

    const auto responseFrame = BuildFrame(kWeb, kClient, response);
    for (size_t length = 0; length <= responseFrame.size(); ++length) {
        Harness h;
        h.Request(kRequest);
        std::vector<uint8_t> cut(responseFrame.begin(), responseFrame.begin() + static_cast<long>(length));
        h.Feed(cut);
        for (const auto& video : h.seen) {
            EXPECT_EQ(video.url, expected.url) << length;
            EXPECT_EQ(video.requestText, expected.requestText) << length;
            EXPECT_TRUE(video.contentLength.empty() || video.contentLength == expected.contentLength) << length;
            EXPECT_TRUE(video.videoType.empty() || video.videoType == expected.videoType) << length;
        }
    }

    const auto requestFrame = BuildFrame(kClient, kWeb, kRequest);
    for (size_t length = 0; length <= requestFrame.size(); ++length) {
        Harness h;
        std::vector<uint8_t> cut(requestFrame.begin(), requestFrame.begin() + static_cast<long>(length));
        h.Feed(cut);
        h.Response(response);
        for (const auto& video : h.seen) {
            // A cut Host line leaves the server address in its place, as for a request without Host.
            EXPECT_TRUE(video.url == expected.url || video.url == "10.0.0.2/v/clip.flv") << length;
            EXPECT_TRUE(video.requestText.empty() || video.requestText == expected.requestText) << length;
        }
    }
}

}  // namespace
}  // namespace tarnwick
