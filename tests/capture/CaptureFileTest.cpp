// SPDX-License-Identifier: GPL-3.0-or-later
// Capture files: damaged and crafted ones, secrets carried inside, and what a replay says at its end.
// Each recorded capture against its expected lines is a test of its own (tests/capture/CMakeLists.txt).
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "capture/session/CaptureSession.h"
#include "capture/source/PcapngWriter.h"
#include "tests/capture/FrameBuilder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using testing::BuildFrame;
using testing::ChildProcess;
using testing::Endpoint;

using testing::ReadFile;

// A capture that carries its key log in Decryption Secrets Blocks (editcap --inject-secrets) is
// decrypted without --keylog; with a --keylog of other connections both are used. The secrets apply
// to the packets after their block only, and are never printed.
TEST(CaptureFileHeadless, CaptureWithItsOwnSecretsIsDecryptedFromThereOn) {
    const std::string tls = std::string(TARNWICK_TEST_DATA) + "/tls/";
    const std::string path = tls + "tls13-aes128gcm-dsb.pcapng";
    const std::string expected = ReadFile(tls + "tls13-aes128gcm-dsb.expected.jsonl");
    ASSERT_NE(expected, "");
    ChildProcess alone({TARNWICK_BINARY, "--headless", "--json", "--read", path});
    ChildProcess withFile(
        {TARNWICK_BINARY, "--headless", "--json", "--read", path, "--keylog", tls + "tls12-ecdhe-aes128gcm.keylog"});
    EXPECT_EQ(alone.Finish(), 0) << alone.Stderr();
    EXPECT_EQ(alone.Stdout(), expected) << alone.Stderr();
    EXPECT_EQ(withFile.Finish(), 0) << withFile.Stderr();
    EXPECT_EQ(withFile.Stdout(), expected) << withFile.Stderr();
    const std::string keyLog = ReadFile(tls + "tls13-aes128gcm.keylog");
    const std::string secret = keyLog.substr(keyLog.rfind(' ') + 1, 64);
    for (const auto* child : {&alone, &withFile})
        EXPECT_EQ((child->Stdout() + child->Stderr()).find(secret), std::string::npos);

    // The same block moved behind the packets: it comes too late for them.
    const std::string bytes = ReadFile(path);
    uint32_t sectionLength = 0, secretsLength = 0;
    std::memcpy(&sectionLength, bytes.data() + 4, 4);
    std::memcpy(&secretsLength, bytes.data() + sectionLength + 4, 4);
    ASSERT_EQ(bytes.compare(sectionLength, 4, std::string("\x0A\0\0\0", 4)), 0);
    testing::TempDir dir;
    const std::string late =
        dir.Write("late.pcapng", bytes.substr(0, sectionLength) + bytes.substr(sectionLength + secretsLength) +
                                     bytes.substr(sectionLength, secretsLength));
    ChildProcess tooLate({TARNWICK_BINARY, "--headless", "--json", "--read", late});
    EXPECT_EQ(tooLate.Finish(), 0) << tooLate.Stderr();
    EXPECT_EQ(tooLate.Stdout(), "");
}

TEST(CaptureFileHeadless, ReadableOutputCarriesTheSameFacts) {
    ChildProcess child(
        {TARNWICK_BINARY, "--headless", "--read", std::string(TARNWICK_TEST_DATA) + "/videos-keepalive.pcap"});
    ASSERT_EQ(child.Finish(), 0);
    EXPECT_NE(child.Stdout().find("1. 12:30:09 AM  flv  0.14 MB (150000 bytes)  http://127.0.0.2:8081/movie.flv  "
                                  "[videos-keepalive.pcap]\n"),
              std::string::npos)
        << child.Stdout();
}

TEST(CaptureFileHeadless, UnreadableFilesAreReportedWithExitOne) {
    testing::TempDir dir;
    const std::string text = dir.Write("notes.pcap", "this is not a capture\n");
    for (const std::string& path : {text, dir / "missing.pcap"}) {
        ChildProcess child({TARNWICK_BINARY, "--headless", "--read", path});
        EXPECT_EQ(child.Finish(), 1);
        EXPECT_NE(child.Stderr().find("cannot read capture file " + path), std::string::npos) << child.Stderr();
        EXPECT_EQ(child.Stdout(), "");
    }
}

// The byte offset at which each record of a classic pcap file begins.
std::vector<size_t> RecordOffsets(const std::string& bytes) {
    std::vector<size_t> offsets;
    for (size_t at = 24; at + 16 <= bytes.size();) {
        offsets.push_back(at);
        uint32_t captured = 0;
        std::memcpy(&captured, bytes.data() + at + 8, 4);
        at += 16 + captured;
    }
    return offsets;
}

TEST(CaptureFileHeadless, DamagedCaptureSaysWhereAndKeepsWhatCameBefore) {
    testing::TempDir dir;
    const std::string whole = ReadFile(std::string(TARNWICK_TEST_DATA) + "/videos-separate.pcap");
    const std::vector<size_t> records = RecordOffsets(whole);
    ASSERT_GT(records.size(), 10u);
    const size_t last = records.back();
    const std::string before = dir.Write("before.pcap", whole.substr(0, last));
    // Cut in the middle of the last record; the same with a record too long for any capture there.
    std::string tooLong = whole.substr(0, last + 16);
    const uint32_t huge = 1u << 30;
    tooLong.replace(last + 8, 4, reinterpret_cast<const char*>(&huge), 4);
    const std::string where =
        "packet " + std::to_string(records.size()) + " (byte offset " + std::to_string(last) + ")";

    ChildProcess reference({TARNWICK_BINARY, "--headless", "--json", "--read", before});
    ASSERT_EQ(reference.Finish(), 0) << reference.Stderr();
    ASSERT_NE(reference.Stdout(), "");
    for (const std::string& damaged : {whole.substr(0, last + 30), tooLong}) {
        const std::string path = dir.Write("before.pcap", damaged);
        ChildProcess child({TARNWICK_BINARY, "--headless", "--json", "--read", path});
        EXPECT_EQ(child.Finish(), 1);
        EXPECT_EQ(child.Stdout(), reference.Stdout());
        EXPECT_NE(child.Stderr().find("before.pcap is damaged or cut off at " + where), std::string::npos)
            << child.Stderr();
    }

    // One bad record right after the header is said as well, with nothing listed.
    const std::string first = dir.Write("first.pcap", tooLong.substr(0, 24) + tooLong.substr(last, 16));
    ChildProcess child({TARNWICK_BINARY, "--headless", "--read", first});
    EXPECT_EQ(child.Finish(), 1);
    EXPECT_EQ(child.Stdout(), "");
    EXPECT_NE(child.Stderr().find("at packet 1 (byte offset 24)"), std::string::npos) << child.Stderr();
}

// The same for pcapng: a file cut inside a block, and a block whose length is not repeated at its end.
TEST(CaptureFileHeadless, DamagedPcapngSaysWhereAndKeepsWhatCameBefore) {
    testing::TempDir dir;
    const std::string whole = ReadFile(std::string(TARNWICK_TEST_DATA) + "/videos-keepalive-ng.pcapng");
    std::vector<size_t> blocks;  // where each block begins
    for (size_t at = 0; at + 8 <= whole.size();) {
        blocks.push_back(at);
        uint32_t length = 0;
        std::memcpy(&length, whole.data() + at + 4, 4);
        at += length;
    }
    ASSERT_GT(blocks.size(), 10u);
    const size_t last = blocks.back();
    const std::string where = "at packet " + std::to_string(blocks.size() - 2) + " (byte offset " +
                              std::to_string(last) + "): ";  // after the section header and interface
    ChildProcess reference(
        {TARNWICK_BINARY, "--headless", "--json", "--read", dir.Write("capture.pcapng", whole.substr(0, last))});
    ASSERT_EQ(reference.Finish(), 0) << reference.Stderr();
    std::string lengthSpoiled = whole;
    lengthSpoiled[whole.size() - 4] ^= 1;
    for (const auto& [bytes, why] : {std::pair{whole.substr(0, last + 30), "the capture ends inside a block"},
                                     std::pair{lengthSpoiled, "is not repeated at its end"}}) {
        ChildProcess child({TARNWICK_BINARY, "--headless", "--json", "--read", dir.Write("capture.pcapng", bytes)});
        EXPECT_EQ(child.Finish(), 1);
        EXPECT_EQ(child.Stdout(), reference.Stdout());
        EXPECT_NE(child.Stderr().find("capture.pcapng is damaged or cut off " + where), std::string::npos)
            << child.Stderr();
        EXPECT_NE(child.Stderr().find(why), std::string::npos) << child.Stderr();
    }
}

TEST(CaptureFileHeadless, ReplayEndsWithASummaryThatSaysWhyNothingWasListed) {
    const std::string path = std::string(TARNWICK_TEST_DATA) + "/videos-keepalive.pcap";
    ChildProcess listed({TARNWICK_BINARY, "--headless", "--read", path});
    EXPECT_EQ(listed.Finish(), 0);
    EXPECT_NE(listed.Stderr().find("38 packets read, 4 requests from 127.0.0.1, 3 video answers, 3 videos listed\n"),
              std::string::npos)
        << listed.Stderr();

    ChildProcess wrongAddress({TARNWICK_BINARY, "--headless", "--read", path, "--own-address", "10.1.2.3"});
    EXPECT_EQ(wrongAddress.Finish(), 0);
    EXPECT_EQ(wrongAddress.Stdout(), "");
    EXPECT_NE(wrongAddress.Stderr().find("0 videos listed; nothing listed: no HTTP request (GET) was sent from the own "
                                         "address 10.1.2.3; requests came from 127.0.0.1"),
              std::string::npos)
        << wrongAddress.Stderr();

    // A stream's segments are no video answers: they are counted on their own, and a stream cut off
    // before its segments reach the threshold is said to be too small.
    testing::TempDir dir;
    const std::string stream = ReadFile(std::string(TARNWICK_TEST_DATA) + "/stream-hls.pcap");
    ChildProcess whole({TARNWICK_BINARY, "--headless", "--read", dir.Write("stream.pcap", stream)});
    EXPECT_EQ(whole.Finish(), 0);
    EXPECT_NE(whole.Stderr().find("0 video answers, 4 stream segments, 1 video listed\n"), std::string::npos)
        << whole.Stderr();
    const size_t secondRequest = stream.find("GET /media/hls/seg1.ts");
    ASSERT_NE(secondRequest, std::string::npos);
    const std::vector<size_t> records = RecordOffsets(stream);
    const size_t cut = *std::prev(std::upper_bound(records.begin(), records.end(), secondRequest));
    ChildProcess shortStream({TARNWICK_BINARY, "--headless", "--read", dir.Write("short.pcap", stream.substr(0, cut))});
    EXPECT_EQ(shortStream.Finish(), 0);
    EXPECT_EQ(shortStream.Stdout(), "");
    EXPECT_NE(shortStream.Stderr().find("1 stream segment, 0 videos listed; nothing listed: the streams' segments "
                                        "came to less than 100000 bytes"),
              std::string::npos)
        << shortStream.Stderr();
}

// Detections reach the test through a sink object, as they reach the window.
struct RecordingSink final : DetectionSink {
    void OnVideo(DetectedVideo video) override {
        std::lock_guard lock(mutex);
        seen.push_back(std::move(video));
    }
    std::mutex mutex;
    std::vector<DetectedVideo> seen;
};

struct TimedFrame {
    int64_t seconds;
    std::vector<uint8_t> bytes;
};

std::string WriteCapture(const testing::TempDir& dir, const std::vector<TimedFrame>& frames,
                         int linkType = DLT_EN10MB) {
    const std::string path = dir / "crafted.pcap";
    pcap_t* dead = pcap_open_dead(linkType, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    for (const auto& frame : frames) {
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(frame.seconds);
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.bytes.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.bytes.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return path;
}

// The frames of conversations, each conversation's frames at one time.
std::vector<TimedFrame> Timed(std::initializer_list<std::pair<int64_t, const testing::Conversation*>> conversations) {
    std::vector<TimedFrame> frames;
    for (const auto& [seconds, conversation] : conversations)
        for (const auto& frame : conversation->frames) frames.push_back({seconds, frame});
    return frames;
}

std::vector<DetectedVideo> Replay(const std::string& path, const OwnAddresses& own) {
    RecordingSink sink;
    std::string error;
    auto session = CaptureSession::OpenFile(path, own, &error);
    EXPECT_TRUE(session) << error;
    if (!session) return {};
    session->SetDetectionSink(&sink);
    for (int i = 0; i < 500 && !session->Finished(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(session->Finished());
    session.reset();
    std::lock_guard lock(sink.mutex);
    return sink.seen;
}

const Endpoint kClient{{192, 168, 7, 9}, 40000};
const Endpoint kServer{{10, 9, 8, 7}, 80};
const std::string kMp4 = "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 0\r\n\r\n";

// A lone request or answer, the first segment of its side of a new connection.
std::vector<uint8_t> Get(const std::string& path, Endpoint client = kClient) {
    return BuildFrame(client, kServer, "GET " + path + " HTTP/1.1\r\nHost: vid\r\n\r\n");
}
std::vector<uint8_t> Mp4(Endpoint client = kClient) {
    return BuildFrame(kServer, client, kMp4);
}

testing::Conversation Fetch(const std::string& path, Endpoint client = kClient, Endpoint server = kServer) {
    testing::Conversation conversation(client, server);
    conversation.Open().Send(true, "GET " + path + " HTTP/1.1\r\nHost: vid\r\n\r\n").Send(false, kMp4);
    return conversation;
}

TEST(CaptureFileSession, ReplayFindsTheOwnAddressAndUsesPacketTimes) {
    testing::TempDir dir;
    const Endpoint other{{192, 168, 7, 10}, 40001};
    const auto first = Fetch("/first.mp4"), second = Fetch("/second.mp4", {kClient.address, 40002}),
               elsewhere = Fetch("/elsewhere.mp4", other);
    const std::string path = WriteCapture(dir, Timed({{150, &first}, {161, &elsewhere}, {163, &second}}));
    const auto videos = Replay(path, {});
    // The first request's sender is this host; the other host's fetch is not this host's.
    ASSERT_EQ(videos.size(), 2u);
    EXPECT_EQ(videos[0].url, "vid/first.mp4");
    EXPECT_EQ(videos[1].url, "vid/second.mp4");
    EXPECT_EQ(videos[1].seenAtSeconds, 163);
    EXPECT_EQ(videos[0].adapter, "crafted.pcap");
}

// The IPv6 own address comes from the first IPv6 request, long after the IPv4 one settled its own.
TEST(CaptureFileSession, ReplayFindsAnOwnAddressPerIpVersion) {
    testing::TempDir dir;
    const Endpoint client6{*IpAddress::Parse("2001:db8::9"), 40000};
    const Endpoint server6{*IpAddress::Parse("2001:db8::80"), 80};
    const auto four = Fetch("/four.mp4"), six = Fetch("/six.mp4", client6, server6);
    const auto videos = Replay(WriteCapture(dir, Timed({{1, &four}, {4, &six}})), {});
    ASSERT_EQ(videos.size(), 2u);
    EXPECT_EQ(videos[0].url, "vid/four.mp4");
    EXPECT_EQ(videos[1].url, "vid/six.mp4");
}

TEST(CaptureFileSession, GivenOwnAddressesDecide) {
    testing::TempDir dir;
    const auto fetch = Fetch("/a.mp4");
    const std::string path = WriteCapture(dir, Timed({{1, &fetch}}));
    EXPECT_TRUE(Replay(path, {IpAddress(1, 2, 3, 4)}).empty());  // nothing leaves that address
    EXPECT_EQ(Replay(path, {kClient.address}).size(), 1u);
}

TEST(CaptureFileSession, UnreadableLinkTypeIsRefusedByName) {
    testing::TempDir dir;
    const auto fetch = Fetch("/a.mp4");
    const std::string path = WriteCapture(dir, Timed({{1, &fetch}}), DLT_IEEE802_11);
    std::string error;
    EXPECT_FALSE(CaptureSession::OpenFile(path, {}, &error));
    EXPECT_NE(error.find("link type IEEE802_11 (802.11) cannot be read"), std::string::npos) << error;
}

// A pcapng capture of several adapters, as dumpcap -i eth0 -i tun0 writes it: Ethernet frames, bare IP
// packets (the file's LINKTYPE_RAW), and an 802.11 adapter. Each packet: interface, time, bytes.
struct InterfacePacket {
    uint32_t interface;
    int64_t seconds;
    std::vector<uint8_t> bytes;
};

std::string WritePcapng(const testing::TempDir& dir, const std::vector<InterfacePacket>& packets) {
    PcapngWriter writer;
    writer.AddSectionHeader("test");
    writer.AddInterface(DLT_IEEE802_11, 65535, "wlan0");
    writer.AddInterface(DLT_EN10MB, 65535, "eth0");
    writer.AddInterface(101, 65535, "tun0");
    for (const auto& packet : packets) {
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(packet.seconds);
        header.caplen = header.len = static_cast<bpf_u_int32>(packet.bytes.size());
        writer.AddPacket(packet.interface, header, packet.bytes.data());
    }
    return dir.Write("adapters.pcapng", std::string(reinterpret_cast<const char*>(writer.Data()), writer.Size()));
}

constexpr uint32_t kWlan = 0, kEthernet = 1, kTun = 2;

std::vector<uint8_t> BareIp(const std::vector<uint8_t>& frame) {
    return {frame.begin() + 14, frame.end()};
}

RecordingSink replayed;

// Replays path to its end and keeps the session for its figures; the videos land in replayed.
std::unique_ptr<CaptureSession> ReplayToEnd(const std::string& path) {
    {
        std::lock_guard lock(replayed.mutex);
        replayed.seen.clear();
    }
    std::string error;
    auto session = CaptureSession::OpenFile(path, {}, &error);
    EXPECT_TRUE(session) << error;
    if (!session) return nullptr;
    session->SetDetectionSink(&replayed);
    for (int i = 0; i < 500 && !session->Finished(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(session->Finished());
    return session;
}

std::vector<std::string> SeenUrls() {
    std::lock_guard lock(replayed.mutex);
    std::vector<std::string> urls;
    for (const auto& video : replayed.seen) urls.push_back(video.url);
    return urls;
}

TEST(CaptureFileSession, PcapngPacketsAreReadByTheirOwnInterfacesLinkType) {
    testing::TempDir dir;
    const Endpoint second{{192, 168, 7, 9}, 40001}, third{{192, 168, 7, 9}, 40002};
    // An answer whose request came before the capture began has nothing to pair with: not judged.
    const std::string path = WritePcapng(dir, {{kTun, 1, BareIp(Mp4(third))},
                                               {kEthernet, 2, Get("/wired.mp4")},
                                               {kTun, 3, BareIp(Get("/tunnel.mp4", second))},
                                               {kTun, 4, BareIp(Mp4(second))},
                                               {kEthernet, 5, Mp4()}});
    const auto session = ReplayToEnd(path);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->EndError(), "");
    EXPECT_EQ(session->Totals().packets, 5u);
    EXPECT_EQ(session->Totals().detections.videoAnswers, 2u);
    EXPECT_EQ(SeenUrls(), (std::vector<std::string>{"vid/tunnel.mp4", "vid/wired.mp4"}));
}

// An adapter whose frames cannot be read stops the replay only where its first packet comes, and says
// so by name; one that captured nothing is no obstacle.
TEST(CaptureFileSession, UnreadableLinkTypeIsRefusedAtItsFirstPacket) {
    testing::TempDir dir;
    const Endpoint second{{192, 168, 7, 9}, 40001};
    auto session = ReplayToEnd(WritePcapng(dir, {{kEthernet, 1, Get("/first.mp4")},
                                                 {kEthernet, 2, Mp4()},
                                                 {kWlan, 3, Get("/radio.mp4")},
                                                 {kEthernet, 4, Get("/after.mp4", second)},
                                                 {kEthernet, 5, Mp4(second)}}));
    ASSERT_TRUE(session);
    EXPECT_NE(session->EndError().find("packet 3 is of link type IEEE802_11 (802.11), which cannot be read"),
              std::string::npos)
        << session->EndError();
    EXPECT_EQ(session->Totals().packets, 2u);
    EXPECT_EQ(SeenUrls(), std::vector<std::string>{"vid/first.mp4"});

    // Without the 802.11 packet the same file reads to its end.
    session = ReplayToEnd(WritePcapng(dir, {{kEthernet, 1, Get("/first.mp4")}, {kEthernet, 2, Mp4()}}));
    ASSERT_TRUE(session);
    EXPECT_EQ(session->EndError(), "");
    EXPECT_EQ(SeenUrls(), std::vector<std::string>{"vid/first.mp4"});
}

}  // namespace
}  // namespace tarnwick
