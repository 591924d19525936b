// SPDX-License-Identifier: GPL-3.0-or-later
// Replays from standard input and from FIFOs: the same lines as the file, and a stop that never waits
// for a silent writer or a reader that takes nothing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

#include "tests/capture/CompressedBytes.h"
#include "tests/capture/FrameBuilder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ReadFile;

// Generous: a stop that works takes milliseconds; one that does not never comes.
constexpr auto kStopBound = 2s;

std::string DataFile(const std::string& name) {
    return std::string(TARNWICK_TEST_DATA) + "/" + name;
}

void WriteAll(int descriptor, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t count = write(descriptor, bytes.data() + done, bytes.size() - done);
        if (count <= 0) return;
        done += static_cast<size_t>(count);
    }
}

// Whether the process takes SIGTERM itself yet (blocked for a waiting thread, or caught), by the masks
// the kernel shows for its main thread.
bool CatchesStopSignal(pid_t pid) {
    std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigCgt:", 0) == 0)
            if ((std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1) return true;
    return false;
}

// Sends SIGTERM once the child handles it (a slow sanitizer build may take a while to get there) and
// returns how long the child took to end after it; the child is killed past kStopBound.
std::chrono::steady_clock::duration TimeToStop(ChildProcess& child) {
    const auto ready = std::chrono::steady_clock::now() + 20s;
    while (!child.Exited() && !CatchesStopSignal(child.Pid()) && std::chrono::steady_clock::now() < ready)
        std::this_thread::sleep_for(5ms);
    const auto start = std::chrono::steady_clock::now();
    kill(child.Pid(), SIGTERM);
    while (!child.Exited() && std::chrono::steady_clock::now() - start < kStopBound) std::this_thread::sleep_for(5ms);
    return std::chrono::steady_clock::now() - start;
}

TEST(CaptureStream, StandardInputAndFifoGiveTheFileReplaysLines) {
    testing::TempDir dir;
    for (const std::string name : {"videos-keepalive.pcap", "videos-keepalive-ng.pcapng"}) {
        std::string expected = ReadFile(DataFile(name.substr(0, name.find('.')) + ".expected.jsonl"));

        // Standard input: the adapter is called "stdin", and the own address is found in the stream.
        const int input = open(DataFile(name).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(input, 0);
        ChildProcess fromStdin({TARNWICK_BINARY, "--headless", "--json", "--read", "-"}, -1, input);
        close(input);
        EXPECT_EQ(fromStdin.Finish(), 0) << fromStdin.Stderr();
        std::string renamed = fromStdin.Stdout();
        for (size_t at; (at = renamed.find("\"adapter\":\"stdin\"")) != std::string::npos;)
            renamed.replace(at, 17, "\"adapter\":\"" + name + "\"");
        EXPECT_EQ(renamed, expected) << name;

        // A FIFO named like the file, opened before its writer comes and fed in small pieces.
        const std::string fifo = dir / name;
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        ChildProcess fromFifo({TARNWICK_BINARY, "--headless", "--json", "--read", fifo});
        std::this_thread::sleep_for(100ms);
        const std::string bytes = ReadFile(DataFile(name));
        const int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        for (size_t at = 0; at < bytes.size(); at += 1000) WriteAll(writer, bytes.substr(at, 1000));
        close(writer);
        EXPECT_EQ(fromFifo.Finish(), 0) << fromFifo.Stderr();
        EXPECT_EQ(fromFifo.Stdout(), expected) << name;
        std::filesystem::remove(fifo);
    }
}

TEST(CaptureStream, StopSignalEndsAReadThatWaitsForItsWriter) {
    testing::TempDir dir;
    const std::string fifo = dir / "capture.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    // No writer ever comes.
    {
        ChildProcess child({TARNWICK_BINARY, "--headless", "--json", "--read", fifo});
        std::this_thread::sleep_for(300ms);
        EXPECT_LT(TimeToStop(child), kStopBound);
        EXPECT_EQ(child.Finish(), 0) << child.Stderr();
    }
    // The writer sends the first videos, then falls silent with the FIFO open.
    {
        ChildProcess child({TARNWICK_BINARY, "--headless", "--json", "--read", fifo});
        const int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(writer, 0);
        const std::string bytes = ReadFile(DataFile("videos-keepalive.pcap"));
        WriteAll(writer, bytes.substr(0, bytes.size() * 2 / 3));
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (child.Stdout().find("movie.flv") == std::string::npos && std::chrono::steady_clock::now() < deadline)
            child.Pump(50ms);
        EXPECT_NE(child.Stdout().find("movie.flv"), std::string::npos) << child.Stderr();
        EXPECT_LT(TimeToStop(child), kStopBound);
        close(writer);
        EXPECT_EQ(child.Finish(), 0) << child.Stderr();
    }
}

// gzip and zstd captures, pcap and pcapng inside, read as the plain ones: from a file (told by its first
// bytes, not its name), from standard input and from a FIFO fed in small pieces.
TEST(CaptureStream, CompressedCapturesGiveThePlainOnesLines) {
    testing::TempDir dir;
    for (const std::string name : {"videos-keepalive.pcap", "videos-keepalive-ng.pcapng"}) {
        const std::string expected = ReadFile(DataFile(name.substr(0, name.find('.')) + ".expected.jsonl"));
        const std::string plain = ReadFile(DataFile(name));
        for (const std::string& compressed : {testing::GzipBytes(plain, 2), testing::ZstdBytes(plain, 2)}) {
            const std::string path = dir.Write(name, compressed);
            ChildProcess fromFile({TARNWICK_BINARY, "--headless", "--json", "--read", path});
            EXPECT_EQ(fromFile.Finish(), 0) << fromFile.Stderr();
            EXPECT_EQ(fromFile.Stdout(), expected) << name;

            const int input = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(input, 0);
            ChildProcess fromStdin({TARNWICK_BINARY, "--headless", "--json", "--read", "-"}, -1, input);
            close(input);
            EXPECT_EQ(fromStdin.Finish(), 0) << fromStdin.Stderr();
            EXPECT_NE(fromStdin.Stdout().find("movie.flv"), std::string::npos) << fromStdin.Stderr();
            EXPECT_EQ(std::count(fromStdin.Stdout().begin(), fromStdin.Stdout().end(), '\n'),
                      std::count(expected.begin(), expected.end(), '\n'));

            const std::string fifo = dir / "capture.fifo";
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
            ChildProcess fromFifo({TARNWICK_BINARY, "--headless", "--json", "--read", fifo});
            const int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
            ASSERT_GE(writer, 0);
            for (size_t at = 0; at < compressed.size(); at += 300) WriteAll(writer, compressed.substr(at, 300));
            close(writer);
            EXPECT_EQ(fromFifo.Finish(), 0) << fromFifo.Stderr();
            EXPECT_NE(fromFifo.Stdout().find("movie.flv"), std::string::npos) << fromFifo.Stderr();
            std::filesystem::remove(fifo);
        }
    }
}

// Damaged or cut-off compression ends the replay like a damaged capture: what came before is listed,
// and the message says where, in the capture and in the compressed bytes.
TEST(CaptureStream, DamagedCompressionIsReportedLikeADamagedCapture) {
    testing::TempDir dir;
    const std::string plain = ReadFile(DataFile("videos-separate.pcap"));
    const std::string whole = ReadFile(DataFile("videos-separate.expected.jsonl"));
    const std::string gzip = testing::GzipBytes(plain);
    std::string badChecksum = gzip;
    badChecksum[badChecksum.size() - 8] ^= 0x01;
    // In frames, so that those before the cut can be read.
    const std::string zstd = testing::ZstdBytes(plain, 4);
    struct Case {
        std::string bytes;
        std::string said;
    };
    for (const Case& damaged : {Case{badChecksum, "its gzip compression is damaged at compressed byte "},
                                Case{gzip.substr(0, gzip.size() / 2), "its gzip compression is cut off after "},
                                Case{zstd.substr(0, zstd.size() - 100), "its zstd compression is cut off after "}}) {
        const std::string path = dir.Write("videos-separate.pcap", damaged.bytes);
        for (const std::string& source : {path, std::string("-")}) {
            const int input = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ChildProcess child({TARNWICK_BINARY, "--headless", "--json", "--read", source}, -1, input);
            close(input);
            EXPECT_EQ(child.Finish(), 1) << child.Stderr();
            EXPECT_NE(child.Stderr().find("is damaged or cut off at packet "), std::string::npos) << child.Stderr();
            EXPECT_NE(child.Stderr().find(" of the decompressed capture): " + damaged.said), std::string::npos)
                << child.Stderr();
            if (source != "-") {
                EXPECT_EQ(whole.compare(0, child.Stdout().size(), child.Stdout()), 0);
            }
        }
    }
}

// A FIFO as the key log: a replay runs to its end though nobody writes to it.
TEST(CaptureStream, FifoKeyLogWithoutWriterHoldsNothingUp) {
    testing::TempDir dir;
    const std::string fifo = dir / "keys.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess child(
        {TARNWICK_BINARY, "--headless", "--json", "--read", DataFile("videos-keepalive.pcap"), "--keylog", fifo});
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!child.Exited() && std::chrono::steady_clock::now() < deadline) child.Pump(50ms);
    EXPECT_TRUE(child.Exited()) << "the replay waits for a writer of its key log";
    if (!child.Exited()) kill(child.Pid(), SIGKILL);
    EXPECT_EQ(child.Finish(), 0) << child.Stderr();
    EXPECT_EQ(child.Stdout(), ReadFile(DataFile("videos-keepalive.expected.jsonl")));
}

// A capture with count distinct videos, each a request and its answer.
std::string ManyVideos(const testing::TempDir& dir, int count) {
    const std::string path = dir / "many.pcap";
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    for (int i = 0; i < count; ++i) {
        const testing::Endpoint client{{192, 168, 7, 9}, static_cast<uint16_t>(10000 + i)};
        const testing::Endpoint server{{10, 9, 8, 7}, 80};
        const std::string name = "/clip" + std::to_string(i) + ".mp4";
        for (const auto& frame : {testing::BuildFrame(client, server, "GET " + name + " HTTP/1.1\r\nHost: vid\r\n\r\n"),
                                  testing::BuildFrame(server, client,
                                                      "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: " +
                                                          std::to_string(200000 + i) + "\r\n\r\n")}) {
            pcap_pkthdr header{};
            header.ts.tv_sec = 1700000000;
            header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
            pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
        }
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return path;
}

TEST(CaptureStream, StopSignalEndsAReplayWhoseOutputNobodyReads) {
    testing::TempDir dir;
    // Far more lines than a pipe holds, so the output stalls while the test does not read it.
    const std::string path = ManyVideos(dir, 3000);
    ChildProcess child({TARNWICK_BINARY, "--headless", "--json", "--read", path});
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(child.Exited());
    EXPECT_LT(TimeToStop(child), kStopBound);
    EXPECT_EQ(child.Finish(), 0) << child.Stderr();
}

}  // namespace
}  // namespace tarnwick
