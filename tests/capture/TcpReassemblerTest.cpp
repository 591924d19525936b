// Reassembly: order restored across wrap-around, each byte once, gaps and bounds end connections.
#include "capture/stream/TcpReassembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tarnwick {
namespace {

constexpr auto kUp = StreamDirection::ClientToServer;
constexpr auto kDown = StreamDirection::ServerToClient;

struct Recorder {
    std::string received[2];
    std::optional<StreamEnd> end;
    bool done = false;
};

struct RecordingReader final : StreamReader {
    explicit RecordingReader(Recorder& recorder) : recorder(recorder) {}
    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t) override {
        recorder.received[IndexOf(direction)].append(bytes.begin(), bytes.end());
    }
    void OnEnd(StreamEnd how) override { recorder.end = how; }
    bool Done() const override { return recorder.done; }
    Recorder& recorder;
};

FlowEndpoint Endpoint(uint8_t last, uint16_t port) {
    const uint8_t address[4] = {10, 0, 0, last};
    return FlowEndpoint::FromBytes(address, 4, port);
}

const FlowEndpoint kClient = Endpoint(1, 40000);
const FlowEndpoint kServer = Endpoint(2, 443);

struct Segment {
    StreamDirection direction;
    uint32_t sequence;
    std::string bytes;
    uint8_t flags = StreamSegment::kAck;
    uint32_t ack = 0;
};

StreamSegment ToTcp(const Segment& segment) {
    StreamSegment tcp;
    const bool up = segment.direction == kUp;
    tcp.source = up ? kClient : kServer;
    tcp.destination = up ? kServer : kClient;
    tcp.sequence = segment.sequence;
    tcp.acknowledgement = segment.ack;
    tcp.flags = segment.flags;
    tcp.payload = reinterpret_cast<const uint8_t*>(segment.bytes.data());
    tcp.payloadLength = segment.bytes.size();
    return tcp;
}

std::string Pattern(size_t size, int seed) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 31 + static_cast<size_t>(seed)) % 26);
    return text;
}

// Cuts text into segments of 1 to 300 bytes starting at sequence `first`.
std::vector<Segment> Cut(StreamDirection direction, const std::string& text, uint32_t first, std::mt19937& random) {
    std::vector<Segment> segments;
    for (size_t at = 0; at < text.size();) {
        const size_t size = std::min<size_t>(1 + random() % 300, text.size() - at);
        segments.push_back({direction, first + static_cast<uint32_t>(at), text.substr(at, size)});
        at += size;
    }
    return segments;
}

TEST(TcpReassembler, ShuffledDuplicatedAndOverlappingSegmentsComeOutInOrderAcrossTheWrap) {
    std::mt19937 random(7);
    const std::string up = Pattern(20000, 1), down = Pattern(50000, 2);
    const uint32_t upStart = 0xFFFFF000u, downStart = 0xFFFFFF00u;  // both wrap past zero
    auto segments = Cut(kUp, up, upStart, random);
    const auto downSegments = Cut(kDown, down, downStart, random);
    segments.insert(segments.end(), downSegments.begin(), downSegments.end());
    const Segment first = segments.front();
    segments.erase(segments.begin());
    // Overlaps: pieces straddling segment boundaries; duplicates: whole segments again.
    for (int i = 0; i < 200; ++i) {
        const bool isUp = random() % 2 == 0;
        const std::string& text = isUp ? up : down;
        const size_t at = random() % (text.size() - 100);
        segments.push_back({isUp ? kUp : kDown, (isUp ? upStart : downStart) + static_cast<uint32_t>(at),
                            text.substr(at, 1 + random() % 100)});
        segments.push_back(segments[random() % segments.size()]);
    }
    std::shuffle(segments.begin(), segments.end(), random);

    Recorder recorder;
    TcpReassembler reassembler;
    Segment opening = first;
    opening.ack = downStart;
    reassembler.Follow(ToTcp(opening), std::make_unique<RecordingReader>(recorder), 1);
    for (const auto& segment : segments) EXPECT_TRUE(reassembler.Process(ToTcp(segment), 1));
    EXPECT_EQ(recorder.received[0], up);
    EXPECT_EQ(recorder.received[1], down);
    EXPECT_FALSE(recorder.end);
    EXPECT_EQ(reassembler.BufferedBytes(), 0u);
    EXPECT_GT(reassembler.Statistics().duplicateSegments, 0u);
    EXPECT_GT(reassembler.Statistics().outOfOrderSegments, 0u);

    // FIN from both sides closes it; a FIN seen before the last data waits for that data.
    reassembler.Process(ToTcp({kUp, upStart + 20000, "", StreamSegment::kFin | StreamSegment::kAck}), 2);
    reassembler.Process(ToTcp({kDown, downStart + 50001, "!", StreamSegment::kFin | StreamSegment::kAck}), 2);
    EXPECT_FALSE(recorder.end);
    reassembler.Process(ToTcp({kDown, downStart + 50000, "?"}), 2);
    EXPECT_EQ(recorder.end, StreamEnd::Closed);
    EXPECT_EQ(recorder.received[1], down + "?!");
    EXPECT_TRUE(reassembler.Empty());
}

TEST(TcpReassembler, BytesBeyondAHoleAreNeverJoinedToThoseBeforeIt) {
    TcpReassembler::Limits limits;
    limits.maxBufferedPerConnection = 1000;
    Recorder lost, cut;
    TcpReassembler reassembler(limits);
    // One connection whose hole is followed by data further ahead than could ever be kept: a gap.
    reassembler.Follow(ToTcp({kUp, 100, "hello "}), std::make_unique<RecordingReader>(lost), 1);
    reassembler.Process(ToTcp({kUp, 2000, "world"}), 1);
    EXPECT_EQ(lost.received[0], "hello ");
    EXPECT_EQ(lost.end, StreamEnd::Gap);
    // Another whose waiting bytes, both directions together, outgrow the per-connection bound: cut.
    reassembler.Follow(ToTcp({kUp, 100, "hello "}), std::make_unique<RecordingReader>(cut), 1);
    reassembler.Process(ToTcp({kUp, 200, std::string(600, 'x')}), 1);
    reassembler.Process(ToTcp({kDown, 100, std::string(600, 'y')}), 1);
    EXPECT_EQ(cut.received[0], "hello ");
    EXPECT_EQ(cut.end, StreamEnd::Cut);
    EXPECT_TRUE(reassembler.Empty());
    EXPECT_EQ(reassembler.BufferedBytes(), 0u);
    EXPECT_EQ(reassembler.Statistics().gaps, 1u);
    EXPECT_EQ(reassembler.Statistics().cuts, 1u);
}

TEST(TcpReassembler, BoundsInAllEndTheConnectionsIdleLongestFirst) {
    TcpReassembler::Limits limits;
    limits.maxConnections = 3;
    limits.maxBufferedInAll = 250;
    limits.idleSeconds = 60;
    TcpReassembler reassembler(limits);
    Recorder recorders[5];
    auto client = [](int i) { return Endpoint(1, static_cast<uint16_t>(40000 + i)); };
    // The segments outlive the calls: the reassembler reads their payload in place.
    const Segment first{kUp, 0, "x"};
    const Segment ahead{kUp, 500, std::string(100, 'w')};
    auto open = [&](int i, int64_t time) {
        StreamSegment tcp = ToTcp(first);
        tcp.source = client(i);
        reassembler.Follow(tcp, std::make_unique<RecordingReader>(recorders[i]), time);
    };
    auto waitAhead = [&](int i, int64_t time) {
        StreamSegment tcp = ToTcp(ahead);
        tcp.source = client(i);
        reassembler.Process(tcp, time);
    };
    open(0, 1);
    open(1, 2);
    open(2, 3);
    waitAhead(0, 4);  // 0 is now the most recently active
    open(3, 5);       // the fourth connection ends the one idle longest: 1
    EXPECT_EQ(recorders[1].end, StreamEnd::Evicted);
    EXPECT_FALSE(recorders[0].end);
    waitAhead(2, 6);
    waitAhead(3, 7);  // 300 bytes waiting in all: 0, idle longest, goes
    EXPECT_EQ(recorders[0].end, StreamEnd::Evicted);
    EXPECT_FALSE(recorders[2].end);
    EXPECT_LE(reassembler.BufferedBytes(), 250u);
    open(4, 70);      // 2 and 3 have been idle for more than a minute
    EXPECT_EQ(recorders[2].end, StreamEnd::Idle);
    EXPECT_EQ(recorders[3].end, StreamEnd::Idle);
    EXPECT_EQ(reassembler.Connections(), 1u);
    EXPECT_EQ(reassembler.Statistics().evictions, 2u);
    EXPECT_EQ(reassembler.Statistics().idleTimeouts, 2u);
}

TEST(TcpReassembler, ResetsAndFinishedReadersLetConnectionsGo) {
    TcpReassembler reassembler;
    Recorder clean, broken, finished;
    reassembler.Follow(ToTcp({kUp, 10, "abc"}), std::make_unique<RecordingReader>(clean), 1);
    reassembler.Process(ToTcp({kDown, 99, "", StreamSegment::kRst}), 1);
    EXPECT_EQ(clean.end, StreamEnd::Closed);

    reassembler.Follow(ToTcp({kUp, 10, "abc"}), std::make_unique<RecordingReader>(broken), 1);
    reassembler.Process(ToTcp({kUp, 20, "waits"}), 1);
    reassembler.Process(ToTcp({kUp, 13, "", StreamSegment::kRst}), 1);
    EXPECT_EQ(broken.end, StreamEnd::Gap);

    reassembler.Follow(ToTcp({kUp, 10, "abc"}), std::make_unique<RecordingReader>(finished), 1);
    finished.done = true;
    EXPECT_TRUE(reassembler.Process(ToTcp({kUp, 13, "def"}), 1));
    EXPECT_FALSE(reassembler.Process(ToTcp({kUp, 16, "ghi"}), 1));
    EXPECT_EQ(finished.received[0], "abcdef");
    EXPECT_FALSE(finished.end);  // a reader that is done is not told the end
}

}  // namespace
}  // namespace tarnwick
