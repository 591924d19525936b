// SPDX-License-Identifier: GPL-3.0-or-later
// The key log: which lines count, and following a file that grows, is replaced or ends mid-line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <unordered_set>

#include "capture/tls/TlsKeyLog.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

std::string Hex(uint8_t byte, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) text += {digits[byte >> 4], digits[byte & 15]};
    return text;
}

TlsClientRandom Random(uint8_t byte) {
    TlsClientRandom random;
    random.fill(byte);
    return random;
}

std::string Line(const std::string& label, uint8_t random, uint8_t secret, size_t secretSize = 48) {
    return label + " " + Hex(random, 32) + " " + Hex(secret, secretSize) + "\n";
}

void Append(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::app) << text;
}

TEST(TlsKeyLog, LinesAreTakenBySecretAndMalformedOnesCounted) {
    TlsKeyLog log("");
    log.AddText("# a comment\n\nEXPORTER_SECRET " + Hex(1, 32) + " " + Hex(1, 32) + "\n");  // ignored
    log.AddText(Line("CLIENT_RANDOM", 1, 0xAA));
    log.AddText(Line("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 2, 0x11, 32));
    log.AddText("SERVER_HANDSHAKE_TRAFFIC_SECRET\t" + Hex(2, 32) + "\t" + Hex(0x22, 32) + "\r\n");
    log.AddText(Line("CLIENT_RANDOM", 3, 0xAA, 32));                            // not 48 bytes
    log.AddText("CLIENT_RANDOM " + Hex(4, 31) + " " + Hex(0xAA, 48) + "\n");    // short random
    log.AddText("CLIENT_RANDOM " + Hex(5, 32) + " " + Hex(0xAA, 47) + "zz\n");  // not hex
    log.AddText("CLIENT_RANDOM " + Hex(6, 32) + "\n");                          // no secret
    log.AddText("CLIENT_RANDOM " + std::string(600, 'a') + "\n");               // far too long

    const KeyLogStatistics statistics = log.Statistics();
    EXPECT_EQ(statistics.secrets, 3u);
    EXPECT_EQ(statistics.malformedLines, 5u);
    EXPECT_EQ(statistics.clientRandoms, 2u);

    TlsSessionSecrets secrets;
    ASSERT_TRUE(log.Find(Random(1), false, secrets));
    ASSERT_EQ(secrets.master.Size(), 48u);
    EXPECT_EQ(secrets.master.Bytes()[47], 0xAA);
    ASSERT_TRUE(log.Find(Random(2), true, secrets));
    EXPECT_EQ(secrets.clientHandshake.Bytes()[0], 0x11);
    EXPECT_EQ(secrets.serverHandshake.Bytes()[31], 0x22);
    EXPECT_TRUE(secrets.clientTraffic.Empty());
    EXPECT_FALSE(log.Find(Random(3), false, secrets));
}

TEST(TlsKeyLog, FollowsTheFileWhileItGrowsAndWhenItIsReplaced) {
    testing::TempDir dir;
    const std::string path = dir.Write("keys.log", Line("CLIENT_RANDOM", 1, 0x01));
    TlsKeyLog log(path);
    EXPECT_EQ(log.Load(), "");
    TlsSessionSecrets secrets;
    EXPECT_TRUE(log.Find(Random(1), false, secrets));
    EXPECT_FALSE(log.Find(Random(2), false, secrets));

    // A line written in two parts counts once, when it is complete.
    const std::string line = Line("CLIENT_RANDOM", 2, 0x02);
    Append(path, line.substr(0, 40));
    EXPECT_FALSE(log.Find(Random(2), false, secrets));
    Append(path, line.substr(40));
    EXPECT_TRUE(log.Find(Random(2), false, secrets));

    // A last line without its line end is read when nothing follows it.
    const std::string last = Line("CLIENT_RANDOM", 3, 0x03);
    Append(path, last.substr(0, last.size() - 1));
    EXPECT_TRUE(log.Find(Random(3), false, secrets));

    // A new file under the same name is read from its start; what was known stays known.
    std::filesystem::remove(path);
    dir.Write("keys.log", Line("CLIENT_RANDOM", 4, 0x04));
    EXPECT_TRUE(log.Find(Random(4), false, secrets));
    EXPECT_TRUE(log.Find(Random(1), false, secrets));
    EXPECT_EQ(log.Statistics().malformedLines, 0u);
    EXPECT_EQ(log.Statistics().secrets, 3u);  // the line that never ended is not counted
}

TEST(TlsKeyLog, AMissingFileIsSaidAndReadOnceItAppears) {
    testing::TempDir dir;
    TlsKeyLog log(dir / "later.log");
    EXPECT_NE(log.Load(), "");
    TlsSessionSecrets secrets;
    EXPECT_FALSE(log.Find(Random(9), false, secrets));
    dir.Write("later.log", Line("CLIENT_RANDOM", 9, 0x09));
    EXPECT_TRUE(log.Find(Random(9), false, secrets));
}

TEST(TlsKeyLog, TheOldestConnectionsGoBeyondTheBound) {
    TlsKeyLog log("");
    std::string text;
    for (size_t i = 0; i <= TlsKeyLog::kMaxClientRandoms; ++i) {
        TlsClientRandom random{};
        for (int b = 0; b < 4; ++b) random[static_cast<size_t>(b)] = static_cast<uint8_t>(i >> (8 * b));
        std::string hex;
        for (uint8_t byte : random) hex += Hex(byte, 1);
        text += "CLIENT_RANDOM " + hex + " " + Hex(0x55, 48) + "\n";
    }
    log.AddText(text);
    EXPECT_EQ(log.Statistics().clientRandoms, TlsKeyLog::kMaxClientRandoms);
    EXPECT_EQ(log.Statistics().dropped, 1u);
    TlsSessionSecrets secrets;
    EXPECT_FALSE(log.Find(TlsClientRandom{}, false, secrets));  // the first one
    TlsClientRandom second{};
    second[0] = 1;
    EXPECT_TRUE(log.Find(second, false, secrets));
}

// A capture's own secrets: whole lines from memory, the last one without its line end, in between a
// file's line that is still being written, which they must not disturb.
TEST(TlsKeyLog, LinesFromMemoryJoinTheFilesOwn) {
    testing::TempDir dir;
    const std::string fileLine = Line("CLIENT_RANDOM", 1, 0x01);
    const std::string path = dir.Write("keys.log", fileLine.substr(0, 50));
    TlsKeyLog log(path);
    EXPECT_EQ(log.Load(), "");
    const std::string captured = Line("CLIENT_RANDOM", 2, 0x02) + Line("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 3, 0x03, 32);
    log.AddLines(captured.substr(0, captured.size() - 1));
    Append(path, fileLine.substr(50));
    TlsSessionSecrets secrets;
    EXPECT_TRUE(log.Find(Random(1), false, secrets));
    EXPECT_TRUE(log.Find(Random(2), false, secrets));
    ASSERT_TRUE(log.Find(Random(3), true, secrets));
    EXPECT_EQ(secrets.clientHandshake.Size(), 32u);
    EXPECT_EQ(log.Statistics().secrets, 3u);
    EXPECT_EQ(log.Statistics().malformedLines, 0u);

    // Without a file too; an overlong line is counted, not taken.
    TlsKeyLog memoryOnly("");
    memoryOnly.AddLines("CLIENT_RANDOM " + std::string(600, 'a') + "\n" + Line("CLIENT_RANDOM", 4, 0x04));
    EXPECT_TRUE(memoryOnly.Find(Random(4), false, secrets));
    EXPECT_EQ(memoryOnly.Statistics().malformedLines, 1u);
}

// A browser started after capture began brings a file of its own; each file keeps its own unfinished line.
TEST(TlsKeyLog, AFileFollowedLaterIsReadBesideTheFirst) {
    testing::TempDir dir;
    const std::string first = Line("CLIENT_RANDOM", 1, 0x01), second = Line("CLIENT_RANDOM", 2, 0x02);
    const std::string firstPath = dir.Write("first.log", first.substr(0, 30));
    const std::string secondPath = dir.Write("second.log", second.substr(0, 60));
    TlsKeyLog log(firstPath);
    log.Follow(secondPath);
    log.Follow(secondPath);  // once only
    TlsSessionSecrets secrets;
    EXPECT_FALSE(log.Find(Random(2), false, secrets));
    Append(secondPath, second.substr(60));
    Append(firstPath, first.substr(30));
    EXPECT_TRUE(log.Find(Random(2), false, secrets));
    EXPECT_TRUE(log.Find(Random(1), false, secrets));
    EXPECT_EQ(log.Statistics().secrets, 2u);
    EXPECT_EQ(log.Statistics().malformedLines, 0u);
    EXPECT_EQ(log.Path(), firstPath);

    TlsKeyLog memoryFirst("");
    memoryFirst.Follow(secondPath);
    EXPECT_EQ(memoryFirst.Load(), "");
    EXPECT_TRUE(memoryFirst.Find(Random(2), false, secrets));
}

// What a written capture carries: the secrets lookups handed out, each once, as key log lines that read back.
TEST(TlsKeyLog, UsedSecretsAreTakenOnceAndOnlyThose) {
    TlsKeyLog log("");
    log.AddLines(Line("CLIENT_RANDOM", 1, 0x01) + Line("CLIENT_RANDOM", 2, 0x02) +
                 Line("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 3, 0x03, 32) +
                 Line("SERVER_HANDSHAKE_TRAFFIC_SECRET", 3, 0x04, 32));
    TlsSessionSecrets secrets;
    EXPECT_TRUE(log.Find(Random(1), false, secrets));  // before recording: not taken
    log.RecordUse();
    EXPECT_TRUE(log.Find(Random(2), false, secrets));
    EXPECT_TRUE(log.Find(Random(2), false, secrets));
    EXPECT_TRUE(log.Find(Random(3), true, secrets));
    std::string lines;
    log.TakeUsedLines(lines);
    EXPECT_EQ(lines, Line("CLIENT_RANDOM", 2, 0x02) + Line("CLIENT_HANDSHAKE_TRAFFIC_SECRET", 3, 0x03, 32) +
                         Line("SERVER_HANDSHAKE_TRAFFIC_SECRET", 3, 0x04, 32));

    // A secret that comes later for a known connection is taken then, the earlier ones not again.
    log.AddLines(Line("CLIENT_TRAFFIC_SECRET_0", 3, 0x05, 32));
    EXPECT_TRUE(log.Find(Random(3), true, secrets));
    lines.clear();
    log.TakeUsedLines(lines);
    EXPECT_EQ(lines, Line("CLIENT_TRAFFIC_SECRET_0", 3, 0x05, 32));
    lines.clear();
    log.TakeUsedLines(lines);
    EXPECT_EQ(lines, "");
}

// Client randoms that agree in their first bytes (or count up) must not share a hash: the traffic
// chooses them.
TEST(TlsKeyLog, RandomsThatShareTheirFirstBytesHashApart) {
    const TlsKeyLog::RandomHash hash;
    std::unordered_set<size_t> hashes;
    constexpr int kRandoms = 4096;
    for (int i = 0; i < kRandoms; ++i) {
        TlsClientRandom random{};
        random.fill(0x5A);
        random[31] = static_cast<uint8_t>(i);
        random[30] = static_cast<uint8_t>(i >> 8);
        hashes.insert(hash(random));
    }
    EXPECT_GE(hashes.size(), kRandoms - 2u);
}

// A FIFO key log: opening it waits for no writer, a look never waits for one, and what writers send
// is taken at the next look, also from a second writer after the first went.
TEST(TlsKeyLog, AFifoIsReadWithoutWaitingForItsWriter) {
    testing::TempDir dir;
    const std::string fifo = dir / "keys.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    TlsKeyLog log(fifo);
    auto loaded = std::async(std::launch::async, [&log] { return log.Load(); });
    if (loaded.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "opening the FIFO waits for a writer";
        close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));  // lets the open go on
    }
    EXPECT_EQ(loaded.get(), "");
    TlsSessionSecrets secrets;
    EXPECT_FALSE(log.Find(Random(1), false, secrets));

    for (uint8_t random : {uint8_t{1}, uint8_t{2}}) {
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(writer, 0) << std::strerror(errno);
        const std::string line = Line("CLIENT_RANDOM", random, random);
        ASSERT_EQ(write(writer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        EXPECT_TRUE(log.Find(Random(random), false, secrets));
        EXPECT_FALSE(log.Find(Random(9), false, secrets));  // the writer is still there, silent
        close(writer);
    }
    EXPECT_EQ(log.Statistics().secrets, 2u);
}

}  // namespace
}  // namespace tarnwick
