// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the capture pipeline's replay speed against a plain libpcap read loop, and the cost of a flood of
// connections that each send one request.
#include <pcap/pcap.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "capture/session/CapturePipeline.h"
#include "capture/session/CaptureSession.h"

namespace {

using namespace tarnwick;
using Clock = std::chrono::steady_clock;

// One file per run: two runs at once must not write and delete each other's capture.
std::string capturePath = "/tmp/tarnwick-bench-" + std::to_string(getpid()) + ".pcap";
constexpr int kFrames = 1000000;
int framesToWrite = kFrames;
using Ipv4Address = std::array<uint8_t, 4>;
const Ipv4Address kOwn{192, 168, 1, 5};
const OwnAddresses kOwnAddresses{IpAddress(192, 168, 1, 5)};

// An Ethernet / IPv4 / TCP frame with the sequence and acknowledgement numbers a real connection has.
std::vector<uint8_t> Frame(Ipv4Address from, Ipv4Address to, uint16_t fromPort, uint16_t toPort,
                           const std::string& payload, uint32_t sequence = 0, uint32_t acknowledgement = 0) {
    std::vector<uint8_t> frame(54, 0);
    frame[12] = 0x08;
    frame[14] = 0x45;
    const size_t total = 40 + payload.size();
    frame[16] = static_cast<uint8_t>(total >> 8);
    frame[17] = static_cast<uint8_t>(total);
    frame[22] = 64;
    frame[23] = 6;
    for (int i = 0; i < 4; ++i) {
        frame[26 + i] = from[i];
        frame[30 + i] = to[i];
    }
    frame[34] = static_cast<uint8_t>(fromPort >> 8);
    frame[35] = static_cast<uint8_t>(fromPort);
    frame[36] = static_cast<uint8_t>(toPort >> 8);
    frame[37] = static_cast<uint8_t>(toPort);
    for (int i = 0; i < 4; ++i) {
        frame[38 + i] = static_cast<uint8_t>(sequence >> (24 - 8 * i));
        frame[42 + i] = static_cast<uint8_t>(acknowledgement >> (24 - 8 * i));
    }
    frame[46] = 0x50;
    frame[47] = 0x18;  // PSH, ACK
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

Ipv4Address Server(int n) {
    return {10, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
}

std::string Get(int n) {
    return "GET /videos/clip" + std::to_string(n) +
           ".mp4 HTTP/1.1\r\nHost: videohost.example\r\nUser-Agent: bench\r\nAccept: */*\r\n\r\n";
}

// Rounds like a video fetch: a request, its video response header, kBodyFrames body frames with an ACK
// after every other one, and one request that is never answered.
constexpr int kBodyFrames = 30;
int framesWritten = 0;

void WriteCapture() {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, capturePath.c_str());
    const std::string body(1448, 'b');
    int written = 0;
    auto dump = [&](const std::vector<uint8_t>& frame, int64_t seconds) {
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(seconds);
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
        ++written;
    };
    for (int round = 0; written < framesToWrite; ++round) {
        const int64_t seconds = 1700000000 + round / 20;
        const Ipv4Address server = Server(round % 5000);
        const auto port = static_cast<uint16_t>(1024 + round % 60000);
        // Each side's numbers start somewhere new, as real ones do.
        const uint32_t clientStart = static_cast<uint32_t>(round) * 2654435761u;
        const uint32_t serverStart = clientStart ^ 0x5bd1e995u;
        const std::string request = Get(round);
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: " + std::to_string(100000 + round) +
            "\r\n\r\n";
        const uint32_t clientNext = clientStart + static_cast<uint32_t>(request.size());
        dump(Frame(kOwn, server, port, 80, request, clientStart, serverStart), seconds);
        const std::string first = head + std::string(1200, 'm');
        dump(Frame(server, kOwn, 80, port, first, serverStart, clientNext), seconds);
        uint32_t serverNext = serverStart + static_cast<uint32_t>(first.size());
        for (int i = 0; i < kBodyFrames; ++i) {
            dump(Frame(server, kOwn, 80, port, body, serverNext, clientNext), seconds);
            serverNext += static_cast<uint32_t>(body.size());
            if (i % 2) dump(Frame(kOwn, server, port, 80, "", clientNext, serverNext), seconds);
        }
        dump(Frame(kOwn, Server(round % 7 + 9000), static_cast<uint16_t>(port + 1), 80, Get(round), clientStart, 1),
             seconds);
    }
    // On disk before anything is timed, so the kernel's write-back does not compete with the readers.
    pcap_dump_flush(dumper);
    fsync(fileno(pcap_dump_file(dumper)));
    pcap_dump_close(dumper);
    pcap_close(dead);
    framesWritten = written;
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double PlainLoopFramesPerSecond() {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(capturePath.c_str(), error);
    if (!handle) return 0;
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    long frames = 0;
    volatile unsigned sink = 0;
    const auto start = Clock::now();
    while (pcap_next_ex(handle, &header, &bytes) == 1) {
        sink = sink + bytes[0];
        ++frames;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pcap_close(handle);
    return static_cast<double>(frames) / seconds;
}

CapturePipeline::Options PipelineOptions() {
    CapturePipeline::Options options;
    options.sourceName = "bench";
    options.ownAddresses = kOwnAddresses;
    return options;
}

// The pipeline on the reading thread itself, without a session: shows what the session adds.
double DirectPipelineFramesPerSecond() {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(capturePath.c_str(), error);
    if (!handle) return 0;
    const FrameDecoder decoder;
    CapturePipeline pipeline(PipelineOptions(), [](DetectedVideo) { return true; });
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    long frames = 0;
    const auto start = Clock::now();
    while (pcap_next_ex(handle, &header, &bytes) == 1) {
        pipeline.Frame(decoder, PacketView(bytes, header->caplen), CaptureSession::CaptureMilliseconds(header->ts));
        ++frames;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    pcap_close(handle);
    return static_cast<double>(frames) / seconds;
}

// The pipeline alone on frames held in memory, by the thread's CPU time: the figure least moved by the
// disk and by other work on the machine. The first kMemoryFrames frames of the capture (few enough to
// stay in the cache, as a frame just read does) are handed over kMemoryRounds times, each round on
// connections of its own (moved to other ports); best of five.
constexpr size_t kMemoryFrames = 2000;
constexpr int kMemoryRounds = 100;
double PipelineNanosecondsPerFrame() {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline(capturePath.c_str(), error);
    if (!handle) return 0;
    struct Held {
        size_t offset;
        size_t length;
        int64_t ms;
    };
    std::vector<uint8_t> bytes;
    std::vector<Held> frames;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (frames.size() < kMemoryFrames && pcap_next_ex(handle, &header, &data) == 1) {
        frames.push_back({bytes.size(), header->caplen, CaptureSession::CaptureMilliseconds(header->ts)});
        bytes.insert(bytes.end(), data, data + header->caplen);
    }
    pcap_close(handle);
    auto cpuNow = [] {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
    };
    double best = 1e18;
    const FrameDecoder decoder;
    std::vector<std::array<uint8_t, 2>> original;
    for (const Held& frame : frames) original.push_back({bytes[frame.offset + 34], bytes[frame.offset + 36]});
    for (int run = 0; run < 5; ++run) {
        CapturePipeline pipeline(PipelineOptions(), [](DetectedVideo) { return true; });
        double cpu = 0;
        for (int round = 0; round < kMemoryRounds; ++round) {
            // Each round on connections of its own: the client ports (at 34 in the client's frames, at 36
            // in the server's) move on, in place, so that the frames stay in the cache.
            for (size_t i = 0; i < frames.size(); ++i) {
                bytes[frames[i].offset + 34] = static_cast<uint8_t>(original[i][0] + round);
                bytes[frames[i].offset + 36] = static_cast<uint8_t>(original[i][1] + round);
            }
            const double start = cpuNow();
            for (const Held& frame : frames)
                pipeline.Frame(decoder, PacketView(bytes.data() + frame.offset, frame.length),
                               frame.ms + round * 100000);
            cpu += cpuNow() - start;
        }
        best = std::min(best, cpu / static_cast<double>(frames.size() * kMemoryRounds));
    }
    return best;
}

std::atomic<long> detections{0};
struct CountingSink final : DetectionSink {
    void OnVideo(DetectedVideo) override { ++detections; }
} countingSink;

// The process's CPU time (all threads, user and system) in nanoseconds.
double ProcessCpuNanoseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ns = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) * 1e9 + static_cast<double>(time.tv_usec) * 1e3;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}
// The fewest CPU nanoseconds per frame a plain replay took (the waiting thread sleeps meanwhile).
double replayCpuNsPerFrame = 1e18;

// keyLog: replay with the TLS stages in place (the capture holds no TLS, so it is their cost on plain traffic).
double ReplayFramesPerSecond(std::shared_ptr<TlsKeyLog> keyLog = nullptr) {
    const bool plain = !keyLog;
    const double cpuStart = ProcessCpuNanoseconds();
    std::string error;
    auto session = CaptureSession::OpenFile(capturePath, kOwnAddresses, &error, std::move(keyLog));
    if (!session) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 0;
    }
    const auto start = Clock::now();
    session->SetDetectionSink(&countingSink);
    while (!session->Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (plain)
        replayCpuNsPerFrame = std::min(replayCpuNsPerFrame, (ProcessCpuNanoseconds() - cpuStart) / framesWritten);
    return framesWritten / seconds;
}

// A flood: every frame a GET on a connection of its own, never answered. The connection table stays
// within its bound (the one idle longest goes), so time per frame stays flat and memory within the
// stated total.
void Flood() {
    CapturePipeline pipeline(PipelineOptions(), [](DetectedVideo) { return true; });
    const FrameDecoder decoder;
    constexpr int kChunk = 100000;
    std::printf("\n1,000,000 GET frames, each on a connection of its own, never answered:\n");
    std::printf("  %-12s %12s %14s\n", "frames", "ns/frame", "peak RSS MiB");
    for (int chunk = 0; chunk < kFrames / kChunk; ++chunk) {
        std::vector<std::vector<uint8_t>> frames;
        frames.reserve(kChunk);
        for (int i = 0; i < kChunk; ++i) {
            const int n = chunk * kChunk + i;
            frames.push_back(Frame(kOwn, Server(n % 65536), static_cast<uint16_t>(n % 50000 + 1024), 80, Get(n),
                                   static_cast<uint32_t>(n) * 7919u, 1));
        }
        const auto start = Clock::now();
        for (const auto& frame : frames) pipeline.Frame(decoder, PacketView(frame.data(), frame.size()), 1700000000000);
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kChunk;
        std::printf("  %-12d %12.0f %14.1f\n", (chunk + 1) * kChunk, ns, static_cast<double>(PeakRssKiB()) / 1024.0);
    }
    pipeline.End(StreamEnd::Stopped);
    const CaptureLimits limits;
    std::printf("  connections evicted %lu; peak RSS %.1f MiB (the limits' stated total %.0f MiB)\n",
                static_cast<unsigned long>(pipeline.Totals().reassembly.evictions),
                static_cast<double>(PeakRssKiB()) / 1024.0, static_cast<double>(limits.TotalBytes()) / 1048576.0);
}

}  // namespace

// Optional argument: "replay", "flood" or "pipeline" (frames in memory) runs only that part (for
// profiling); "keep" runs only the replay part and leaves the capture file in place for other tools;
// "write PATH [FRAMES]" only writes the capture (the live benchmark replays it onto a network device);
// "total" prints what the default limits let one capture thread hold, in bytes (the hostile benchmark
// compares peak memory with it).
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    if (only == "total") {
        std::printf("%zu\n", CaptureLimits().TotalBytes());
        return 0;
    }
    if (only == "write" && argc > 2) {
        capturePath = argv[2];
        if (argc > 3) framesToWrite = std::max(1, std::atoi(argv[3]));
        WriteCapture();
        std::printf("%d frames written to %s\n", framesWritten, capturePath.c_str());
        return 0;
    }
    if (only == "flood") {
        Flood();
        return 0;
    }
    if (only == "pipeline") {
        framesToWrite = static_cast<int>(kMemoryFrames);
        WriteCapture();
        std::printf("pipeline on frames in memory: %.1f ns/frame (thread CPU time)\n", PipelineNanosecondsPerFrame());
        std::remove(capturePath.c_str());
        return 0;
    }
    std::printf(
        "writing %d frames to %s: per video a request, its response header, %d body frames with\n"
        "an ACK after every other one, and one request that is never answered ...\n",
        kFrames, capturePath.c_str(), kBodyFrames);
    WriteCapture();
    // Best of five runs each, so that other load on the machine distorts the figures less.
    double plain = 0, replay = 0, direct = 0, withKeyLog = 0;
    const auto keyLog = std::make_shared<TlsKeyLog>("");
    for (int run = 0; run < 5; ++run) {
        plain = std::max(plain, PlainLoopFramesPerSecond());
        direct = std::max(direct, DirectPipelineFramesPerSecond());
        replay = std::max(replay, ReplayFramesPerSecond());
        withKeyLog = std::max(withKeyLog, ReplayFramesPerSecond(keyLog));
    }
    std::printf("plain pcap_next_ex loop: %12.0f frames/s\n", plain);
    std::printf("--read replay (pipeline): %11.0f frames/s, %ld videos reported per run\n", replay,
                detections.load() / 10);
    std::printf("--read replay CPU: %.1f ns/frame (process CPU time, best of five)\n", replayCpuNsPerFrame);
    std::printf("pipeline in a plain loop: %11.0f frames/s\n", direct);
    std::printf("pipeline on frames in memory: %.1f ns/frame (thread CPU time)\n", PipelineNanosecondsPerFrame());
    std::printf("ratio replay/plain: %.2f (goal >= 0.80)\n", plain > 0 ? replay / plain : 0.0);
    std::printf("--read replay with a TLS key log (the same plain traffic): %.0f frames/s, ratio %.2f\n", withKeyLog,
                plain > 0 ? withKeyLog / plain : 0.0);
    std::printf("peak RSS after replay: %.1f MiB (goal < 64 MiB)\n", static_cast<double>(PeakRssKiB()) / 1024.0);
    if (only != "replay" && only != "keep") Flood();
    if (only != "keep") std::remove(capturePath.c_str());
    return 0;
}
