// SPDX-License-Identifier: GPL-3.0-or-later
// Reassembly: order restored across wrap-around, each byte once, passed-over stretches, gaps given up
// when the receiver acknowledged past them, bounds that give up holes, not connections.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "capture/stream/TcpReassembler.h"

namespace tarnwick {
namespace {

constexpr auto kUp = StreamDirection::ClientToServer;
constexpr auto kDown = StreamDirection::ServerToClient;

struct Recorder {
    std::string received[2];  // lost bytes stand as '#'
    std::optional<StreamEnd> end;
    bool done = false;
    uint64_t skipNext[2] = {0, 0};  // what the reader passes over after its next delivery
    bool resumable = false;
};

struct RecordingReader final : StreamReader {
    explicit RecordingReader(Recorder& recorder) : recorder(recorder) {}
    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t) override {
        recorder.received[IndexOf(direction)].append(bytes.begin(), bytes.end());
    }
    void OnGap(StreamDirection direction, uint64_t count) override {
        recorder.received[IndexOf(direction)].append(count, '#');
    }
    void OnEnd(StreamEnd how) override { recorder.end = how; }
    bool Done() const override { return recorder.done; }
    uint64_t TakeSkip(StreamDirection direction) override {
        return std::exchange(recorder.skipNext[IndexOf(direction)], 0);
    }
    bool Resumable() const override { return recorder.resumable; }
    Recorder& recorder;
};

// Gives each new connection the next recorder's reader.
struct Opener final : ConnectionOpener {
    explicit Opener(std::vector<Recorder>& recorders) : recorders(recorders) {}
    std::unique_ptr<StreamReader> Open(const ConnectionStart& start) override {
        starts.push_back(start);
        if (next >= recorders.size()) return nullptr;
        return std::make_unique<RecordingReader>(recorders[next++]);
    }
    std::vector<Recorder>& recorders;
    std::vector<ConnectionStart> starts;
    size_t next = 0;
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
    tcp.wireLength = segment.bytes.size();
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
        // Without acknowledgements: they would have to match what the other side sent.
        segments.push_back({direction, first + static_cast<uint32_t>(at), text.substr(at, size), 0});
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
    Segment opening = segments.front();
    opening.ack = downStart;
    opening.flags = StreamSegment::kAck;
    segments.erase(segments.begin());
    // Overlaps: pieces straddling segment boundaries; duplicates: whole segments again.
    for (int i = 0; i < 200; ++i) {
        const bool isUp = random() % 2 == 0;
        const std::string& text = isUp ? up : down;
        const size_t at = random() % (text.size() - 100);
        segments.push_back({isUp ? kUp : kDown, (isUp ? upStart : downStart) + static_cast<uint32_t>(at),
                            text.substr(at, 1 + random() % 100), 0});
        segments.push_back(segments[random() % segments.size()]);
    }
    std::shuffle(segments.begin(), segments.end(), random);

    std::vector<Recorder> recorders(1);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, {});
    reassembler.Process(ToTcp(opening), 1);
    // Acknowledgements that only go as far as what was sent: no loss in them.
    for (auto segment : segments) reassembler.Process(ToTcp(segment), 1);
    const Recorder& recorder = recorders[0];
    EXPECT_EQ(recorder.received[0], up);
    EXPECT_EQ(recorder.received[1], down);
    EXPECT_FALSE(recorder.end);
    EXPECT_EQ(reassembler.HeldBytes(), 0u);
    EXPECT_GT(reassembler.Statistics().duplicateSegments, 0u);
    EXPECT_GT(reassembler.Statistics().outOfOrderSegments, 0u);
    EXPECT_EQ(reassembler.Statistics().gaps, 0u);

    // FIN from both sides closes it; a FIN seen before the last data waits for that data.
    reassembler.Process(ToTcp({kUp, upStart + 20000, "", StreamSegment::kFin | StreamSegment::kAck, downStart}), 2);
    reassembler.Process(ToTcp({kDown, downStart + 50001, "!", StreamSegment::kFin | StreamSegment::kAck, upStart}), 2);
    EXPECT_FALSE(recorder.end);
    reassembler.Process(ToTcp({kDown, downStart + 50000, "?", StreamSegment::kAck, upStart}), 2);
    EXPECT_EQ(recorder.end, StreamEnd::Closed);
    EXPECT_EQ(recorder.received[1], down + "?!");
    EXPECT_EQ(reassembler.Connections(), 0u);
}

// A reader passes over what it does not need; what the capture lost inside such a stretch is no gap,
// and bytes that wait there are dropped, not kept.
TEST(TcpReassembler, PassedOverStretchesAreNeverCopiedNorGaps) {
    std::vector<Recorder> recorders(1);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, {});
    Recorder& recorder = recorders[0];
    recorder.skipNext[0] = 1000;
    reassembler.Process(ToTcp({kUp, 100, "head", StreamSegment::kAck, 5000}), 1);
    reassembler.Process(ToTcp({kUp, 704, std::string(300, 'w')}), 1);   // inside the stretch, beyond a hole
    reassembler.Process(ToTcp({kUp, 1000, std::string(104, 'b')}), 1);  // straddles its end
    reassembler.Process(ToTcp({kUp, 1104, "next"}), 1);
    EXPECT_EQ(recorder.received[0], "headnext");
    EXPECT_EQ(reassembler.Statistics().gaps, 0u);
    EXPECT_EQ(reassembler.HeldBytes(), 0u);
    EXPECT_EQ(reassembler.Statistics().bytesSkipped, 1000u);
    // The rest of a direction: nothing of it is delivered, but its FIN still counts.
    recorder.skipNext[1] = StreamReader::kRest;
    reassembler.Process(ToTcp({kDown, 5000, "first", StreamSegment::kAck, 1108}), 1);
    reassembler.Process(ToTcp({kDown, 9000, "later", StreamSegment::kAck | StreamSegment::kFin, 1108}), 1);
    reassembler.Process(ToTcp({kUp, 1108, "", StreamSegment::kAck | StreamSegment::kFin, 9006}), 1);
    EXPECT_EQ(recorder.received[1], "first");
    EXPECT_EQ(recorder.end, StreamEnd::Closed);
}

// Bytes beyond a hole are never joined to those before it: the hole is given up, and the reader told how
// many bytes it lost, once the receiver acknowledged past it (it got them; the capture did not), or when
// the connection's bound is reached. The connection goes on.
TEST(TcpReassembler, HolesAreGivenUpAsGapsNotAsTheConnection) {
    TcpReassembler::Limits limits;
    limits.maxHeldPerConnection = 2000;
    std::vector<Recorder> recorders(2);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, limits);
    reassembler.Process(ToTcp({kUp, 100, "hello ", StreamSegment::kAck, 500}), 1);
    reassembler.Process(ToTcp({kUp, 116, "world", StreamSegment::kAck, 500}), 1);
    // The bytes the receiver acknowledged are lost; those after them may still come.
    reassembler.Process(ToTcp({kDown, 500, "ack", StreamSegment::kAck, 110}), 1);
    EXPECT_EQ(recorders[0].received[0], "hello ####");
    reassembler.Process(ToTcp({kDown, 503, "", StreamSegment::kAck, 121}), 1);  // past the hole
    EXPECT_EQ(recorders[0].received[0], "hello ##########world");
    // With nothing waiting behind it, an acknowledgement past the end may be a capture's reordering.
    reassembler.Process(ToTcp({kDown, 503, "answer", StreamSegment::kAck, 131}), 1);
    EXPECT_EQ(recorders[0].received[0], "hello ##########world");
    reassembler.Process(ToTcp({kUp, 131, "later"}), 1);
    EXPECT_EQ(recorders[0].received[0], "hello ##########world##########later");
    EXPECT_FALSE(recorders[0].end);

    // Another connection whose waiting bytes, both directions together, outgrow its bound.
    Segment hello{kUp, 100, "hello "};  // the segment's payload points into it
    StreamSegment second = ToTcp(hello);
    second.source = Endpoint(3, 40000);
    reassembler.Process(second, 1);
    Segment far{kUp, 300, std::string(1500, 'x')};
    StreamSegment tcp = ToTcp(far);
    tcp.source = second.source;
    reassembler.Process(tcp, 1);
    Segment farther{kUp, 2000, std::string(1500, 'y')};
    tcp = ToTcp(farther);
    tcp.source = second.source;
    reassembler.Process(tcp, 1);
    EXPECT_EQ(recorders[1].received[0].substr(0, 6 + 194 + 1500),
              "hello " + std::string(194, '#') + std::string(1500, 'x'));
    EXPECT_LE(reassembler.HeldBytes(), 2000u);
    EXPECT_EQ(reassembler.Statistics().cuts, 1u);
    EXPECT_FALSE(recorders[1].end);
}

// What waits ahead of a hole is counted by what it costs: many tiny pieces cost more than their bytes,
// and pieces that touch are kept as one.
TEST(TcpReassembler, WaitingPiecesAreMergedAndCountedByTheirCost) {
    TcpReassembler::Limits limits;
    limits.maxHeldPerConnection = 64 * 1024;
    std::vector<Recorder> recorders(1);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, limits);
    reassembler.Process(ToTcp({kUp, 0, "a"}), 1);
    const std::string one(1, 'b');
    for (uint32_t at = 10; at < 1010; ++at) reassembler.Process(ToTcp({kUp, at, one}), 1);  // touching: one piece
    EXPECT_LT(reassembler.HeldBytes(), 4096u);
    for (uint32_t at = 2000; at < 2000 + 2 * 2000; at += 2) reassembler.Process(ToTcp({kUp, at, one}), 1);
    // Two thousand pieces apart from each other cost far more than two thousand bytes: the bound holds.
    EXPECT_LE(reassembler.HeldBytes(), limits.maxHeldPerConnection);
    EXPECT_GE(reassembler.Statistics().cuts, 1u);
}

TEST(TcpReassembler, OneByteSegmentsAheadOfAHoleAreCountedAtWhatTheyHold) {
    // Each lone byte waits in a piece of its own: what the heap gives it is what it is counted at, so
    // that the bounds hold in memory and not only in bytes.
    const auto heap = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    std::vector<Recorder> recorders(1);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, TcpReassembler::Limits{});
    reassembler.Process(ToTcp({kUp, 0, "a"}), 1);
    const size_t before = heap();
    const std::string one(1, 'b');
    for (uint32_t at = 10; at < 10 + 2 * 15000; at += 2) reassembler.Process(ToTcp({kUp, at, one}), 1);
    // (and the connection's own place among those that hold bytes)
    EXPECT_LE(heap() - before, reassembler.HeldBytes() + 1024);
    EXPECT_EQ(reassembler.Statistics().cuts, 0u);
}

TEST(TcpReassembler, BoundsInAllEndTheConnectionsIdleLongestFirst) {
    TcpReassembler::Limits limits;
    limits.maxConnections = 3;
    limits.maxHeldInAll = 500;
    limits.idleMs = 60'000;
    std::vector<Recorder> recorders(5);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, limits);
    auto client = [](int i) { return Endpoint(1, static_cast<uint16_t>(40000 + i)); };
    // The segments outlive the calls: the reassembler reads their payload in place.
    const Segment first{kUp, 0, "x"};
    const Segment ahead{kUp, 500, std::string(100, 'w')};
    auto send = [&](const Segment& segment, int i, int64_t time) {
        StreamSegment tcp = ToTcp(segment);
        tcp.source = client(i);
        reassembler.Process(tcp, time);
    };
    send(first, 0, 1000);
    send(first, 1, 2000);
    send(first, 2, 3000);
    send(ahead, 0, 4000);  // 0 is now the most recently active
    send(first, 3, 5000);  // the fourth connection ends the one idle longest: 1
    EXPECT_EQ(recorders[1].end, StreamEnd::Evicted);
    EXPECT_FALSE(recorders[0].end);
    send(ahead, 2, 6000);
    send(ahead, 3, 7000);  // over 500 bytes waiting in all: the earliest holder, 0, gives up its hole
    EXPECT_EQ(recorders[0].received[0], "x" + std::string(499, '#') + std::string(100, 'w'));
    EXPECT_LE(reassembler.HeldBytes(), 500u);
    send(first, 4, 70000);  // 2 and 3 have been idle for more than a minute
    EXPECT_EQ(recorders[2].end, StreamEnd::Idle);
    EXPECT_EQ(recorders[3].end, StreamEnd::Idle);
    EXPECT_EQ(reassembler.Statistics().evictions, 1u);
    EXPECT_EQ(reassembler.Statistics().idleTimeouts, 3u);
}

TEST(TcpReassembler, ConnectionsReadAgainAtTheirNextMessageGoAfterTheShorterSilence) {
    TcpReassembler::Limits limits;
    limits.idleMs = 300'000;
    limits.resumableIdleMs = 60'000;
    limits.maxConnections = 3;
    std::vector<Recorder> recorders(6);
    recorders[0].resumable = recorders[2].resumable = recorders[4].resumable = true;
    Opener opener(recorders);
    TcpReassembler reassembler(opener, limits);
    const Segment data{kUp, 0, "x"};
    auto send = [&](int i, int64_t time) {
        StreamSegment tcp = ToTcp(data);
        tcp.source = Endpoint(1, static_cast<uint16_t>(40000 + i));
        reassembler.Process(tcp, time);
    };
    send(0, 1000);
    send(1, 2000);
    send(2, 3000);
    send(3, 62'500);  // 0 has been silent for more than the shorter time, 2 not yet
    EXPECT_EQ(recorders[0].end, StreamEnd::Idle);
    EXPECT_FALSE(recorders[1].end);
    EXPECT_FALSE(recorders[2].end);
    send(4, 63'500);  // 2 is let go; 1, silent longer, keeps the longer time
    EXPECT_EQ(recorders[2].end, StreamEnd::Idle);
    EXPECT_FALSE(recorders[1].end);
    send(3, 100'000);
    send(5, 100'000);  // a fourth at once: the one idle longest of both kinds makes room
    EXPECT_EQ(recorders[1].end, StreamEnd::Evicted);
    EXPECT_FALSE(recorders[4].end);
    send(3, 400'001);
    EXPECT_EQ(recorders[4].end, StreamEnd::Idle);
    EXPECT_EQ(recorders[5].end, StreamEnd::Idle);
}

TEST(TcpReassembler, ResetsAndFinishedReadersLetConnectionsGo) {
    std::vector<Recorder> recorders(3);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, {});
    reassembler.Process(ToTcp({kUp, 10, "abc"}), 1);
    reassembler.Process(ToTcp({kDown, 99, "", StreamSegment::kRst}), 1);
    EXPECT_EQ(recorders[0].end, StreamEnd::Closed);

    reassembler.Process(ToTcp({kUp, 10, "abc"}), 1);
    reassembler.Process(ToTcp({kUp, 20, "waits"}), 1);
    reassembler.Process(ToTcp({kUp, 13, "", StreamSegment::kRst}), 1);
    EXPECT_EQ(recorders[1].end, StreamEnd::Gap);

    // A reader that is done lets its connection be passed over: it is not taken for a new one.
    reassembler.Process(ToTcp({kUp, 10, "abc"}), 1);
    recorders[2].done = true;
    reassembler.Process(ToTcp({kUp, 13, "def"}), 1);
    reassembler.Process(ToTcp({kUp, 16, "ghi"}), 1);
    EXPECT_EQ(recorders[2].received[0], "abc");
    EXPECT_FALSE(recorders[2].end);
    EXPECT_EQ(opener.starts.size(), 3u);
    EXPECT_EQ(reassembler.Statistics().passedOver, 0u);
}

// Thousands at once (the table's slots double several times under them), then as many again in the
// entries the first ones left: each connection is given its own bytes, from its own start.
TEST(TcpReassembler, ThousandsOfConnectionsAtOnceEachReadTheirOwnBytes) {
    constexpr int kAtOnce = 5000;
    std::vector<Recorder> recorders(2 * kAtOnce);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, {});
    auto send = [&](const Segment& segment, int i) {
        StreamSegment tcp = ToTcp(segment);
        (segment.direction == kUp ? tcp.source : tcp.destination) = FlowEndpoint::FromBytes(
            std::array<uint8_t, 4>{10, 1, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}.data(), 4,
            static_cast<uint16_t>(40000 + i % 7));
        reassembler.Process(tcp, 1);
    };
    for (int round = 0; round < 2; ++round) {
        // Each connection's sequence numbers start elsewhere, and its bytes are its number.
        auto start = [&](int i) { return static_cast<uint32_t>(i) * 7919u + static_cast<uint32_t>(round) * 104729u; };
        std::vector<std::string> texts;
        for (int i = 0; i < kAtOnce; ++i) texts.push_back(std::to_string(round * kAtOnce + i) + ";");
        for (int i = 0; i < kAtOnce; ++i) send({kUp, start(i), texts[i]}, i);
        EXPECT_EQ(reassembler.Connections(), static_cast<size_t>(kAtOnce));
        for (int i = 0; i < kAtOnce; ++i) send({kUp, start(i) + static_cast<uint32_t>(texts[i].size()), texts[i]}, i);
        for (int i = 0; i < kAtOnce; ++i) send({kDown, 1, "", StreamSegment::kRst}, i);
        EXPECT_EQ(reassembler.Connections(), 0u);
    }
    for (int i = 0; i < 2 * kAtOnce; ++i) {
        const std::string text = std::to_string(i) + ";";
        ASSERT_EQ(recorders[i].received[0], text + text) << "connection " << i;
        ASSERT_EQ(recorders[i].end, StreamEnd::Closed) << "connection " << i;
    }
}

// The first segment tells the client: a SYN's sender, a SYN-ACK's receiver, else its sender.
TEST(TcpReassembler, TheOpeningTellsTheClient) {
    std::vector<Recorder> recorders(3);
    Opener opener(recorders);
    TcpReassembler reassembler(opener, {});
    reassembler.Process(ToTcp({kDown, 700, "", StreamSegment::kSyn | StreamSegment::kAck, 11}), 1);
    reassembler.Process(ToTcp({kUp, 11, "request"}), 1);
    reassembler.Process(ToTcp({kDown, 701, "answer"}), 1);
    ASSERT_EQ(opener.starts.size(), 1u);
    EXPECT_TRUE(opener.starts[0].openingSeen);
    EXPECT_EQ(opener.starts[0].key.client, kClient);
    EXPECT_EQ(recorders[0].received[0], "request");
    EXPECT_EQ(recorders[0].received[1], "answer");
    // Acknowledgements and resets alone start nothing.
    StreamSegment bare = ToTcp({kUp, 5, "", StreamSegment::kAck, 9});
    bare.source = Endpoint(9, 1);
    reassembler.Process(bare, 1);
    EXPECT_EQ(opener.starts.size(), 1u);
}

}  // namespace
}  // namespace tarnwick
