// SPDX-License-Identifier: GPL-3.0-or-later
// Shows that connections crafted to share a hash bucket cannot slow the pending-request table down: a
// capture whose requests all fall into one bucket under an unkeyed hash (the one this table used before
// its hash took per-process keys) replays within twice the time of the same capture with random
// connections. The same for the TLS key log's table: client randoms that agree in the bytes the table
// once hashed alone (its first 8), or that count up, against random ones.
#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture/session/CaptureSession.h"
#include "capture/tls/TlsKeyLog.h"

namespace {

using namespace tarnwick;
using Clock = std::chrono::steady_clock;

constexpr int kRequests = 65536;
constexpr int kAnswers = 20000;
constexpr uint8_t kOwn[4] = {192, 168, 1, 5};
constexpr uint64_t kBucketBits = 16;  // the table's buckets at its default cap of 65,536 entries

struct Connection {
    uint8_t server[4];
    uint16_t clientPort;  // as in the packet
};

// The unkeyed hash: a fixed mix of the addresses and ports as they stand in the packet,
// Mix(addresses ^ Mix(ports)).
uint64_t Mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

// Searches servers 10.0.0.0/8 on client ports from 1024 up, on both cores, for connections whose
// unkeyed hash ends in the same kBucketBits bits: they share one bucket at every table size.
std::vector<Connection> CraftCollisions() {
    constexpr int kThreads = 2;
    constexpr uint64_t kMask = (uint64_t{1} << kBucketBits) - 1;
    uint32_t client = 0;
    std::memcpy(&client, kOwn, 4);
    std::vector<std::vector<Connection>> found(kThreads);
    std::atomic<int> total{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, client, &found, &total] {
            for (uint32_t port = 1024 + t; port < 65536 && total.load() < kRequests; port += kThreads) {
                const uint16_t clientPort = htons(static_cast<uint16_t>(port));
                const uint64_t ports = (static_cast<uint64_t>(clientPort) << 16) | htons(80);
                const uint64_t base = (static_cast<uint64_t>(client) << 32) ^ Mix(ports);
                for (uint32_t host = 0; host < (1u << 24); ++host) {
                    const uint8_t server[4] = {10, uint8_t(host >> 16), uint8_t(host >> 8), uint8_t(host)};
                    uint32_t serverWord = 0;
                    std::memcpy(&serverWord, server, 4);
                    if ((Mix(base ^ serverWord) & kMask) != 0) continue;
                    found[t].push_back({{server[0], server[1], server[2], server[3]}, clientPort});
                    if (++total >= kRequests) return;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::vector<Connection> all;
    for (const auto& part : found) all.insert(all.end(), part.begin(), part.end());
    all.resize(std::min<size_t>(all.size(), kRequests));
    return all;
}

std::vector<Connection> RandomConnections() {
    std::mt19937 random(14);
    std::vector<Connection> all;
    for (int i = 0; i < kRequests; ++i) {
        const uint32_t host = random();
        all.push_back({{10, uint8_t(host >> 16), uint8_t(host >> 8), uint8_t(host)},
                       htons(static_cast<uint16_t>(1024 + random() % 64000))});
    }
    return all;
}

std::vector<uint8_t> Frame(const uint8_t* from, const uint8_t* to, uint16_t fromPort, uint16_t toPort,
                           const std::string& payload) {
    std::vector<uint8_t> frame(54 + payload.size(), 0);
    frame[12] = 0x08;
    frame[14] = 0x45;
    const size_t total = 40 + payload.size();
    frame[16] = static_cast<uint8_t>(total >> 8);
    frame[17] = static_cast<uint8_t>(total);
    frame[22] = 64;
    frame[23] = 6;
    std::memcpy(&frame[26], from, 4);
    std::memcpy(&frame[30], to, 4);
    std::memcpy(&frame[34], &fromPort, 2);
    std::memcpy(&frame[36], &toPort, 2);
    frame[46] = 0x50;
    std::memcpy(frame.data() + 54, payload.data(), payload.size());
    return frame;
}

// Every request in one second (nothing expires), then answers to the newest kAnswers of them: with one
// chain, each answer walks past the older requests first.
void WriteCapture(const std::string& path, const std::vector<Connection>& connections) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    auto dump = [dumper](const std::vector<uint8_t>& frame) {
        pcap_pkthdr header{};
        header.ts.tv_sec = 1700000000;
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, frame.data());
    };
    const uint16_t http = htons(80);
    for (const auto& c : connections) dump(Frame(kOwn, c.server, c.clientPort, http, "GET / HTTP/1.1\r\n\r\n"));
    const size_t first = connections.size() - std::min<size_t>(kAnswers, connections.size());
    for (size_t i = connections.size(); i-- > first;) {
        const auto& c = connections[i];
        dump(Frame(c.server, kOwn, http, c.clientPort, "HTTP/1.1 204 No Content\r\n\r\n"));
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

struct IgnoringSink final : DetectionSink {
    void OnVideo(DetectedVideo) override {}
} ignoringSink;

// The --read path, best of three.
double ReplaySeconds(const std::string& path) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        std::string error;
        auto session =
            CaptureSession::OpenFile(path, OwnAddresses{IpAddress(kOwn[0], kOwn[1], kOwn[2], kOwn[3])}, &error);
        if (!session) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 0;
        }
        const auto start = Clock::now();
        session->SetDetectionSink(&ignoringSink);
        while (!session->Finished()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

constexpr int kKeyLogConnections = 30000;

// kKeyLogConnections key log lines (TLS 1.3: four secrets per connection), then a lookup of each.
double KeyLogSeconds(const std::vector<TlsClientRandom>& randoms) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const auto& random : randoms) {
        std::string hex;
        for (uint8_t byte : random) hex += {digits[byte >> 4], digits[byte & 15]};
        for (const char* label : {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET",
                                  "CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"})
            text += std::string(label) + " " + hex + " " + std::string(64, '7') + "\n";
    }
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        const auto start = Clock::now();
        TlsKeyLog keyLog("");
        keyLog.AddLines(text);
        TlsSessionSecrets secrets;
        int found = 0;
        for (const auto& random : randoms) found += keyLog.Find(random, true, secrets) ? 1 : 0;
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
        if (found != static_cast<int>(randoms.size())) std::fprintf(stderr, "only %d found\n", found);
    }
    return best;
}

void KeyLogFigures() {
    std::vector<TlsClientRandom> sharedPrefix, counting, random;
    std::mt19937_64 generator(24);
    for (int i = 0; i < kKeyLogConnections; ++i) {
        TlsClientRandom shared{}, count{}, drawn{};
        for (size_t b = 0; b < shared.size(); ++b) {
            shared[b] = b < 8 ? 0x42 : static_cast<uint8_t>(generator());
            drawn[b] = static_cast<uint8_t>(generator());
        }
        for (size_t b = 0; b < 4; ++b) count[31 - b] = static_cast<uint8_t>(i >> (8 * b));
        sharedPrefix.push_back(shared);
        counting.push_back(count);
        random.push_back(drawn);
    }
    const double sharedSeconds = KeyLogSeconds(sharedPrefix);
    const double countingSeconds = KeyLogSeconds(counting);
    const double randomSeconds = KeyLogSeconds(random);
    std::printf("TLS key log: %d connections' secrets read from memory, then each looked up (best of 3):\n",
                kKeyLogConnections);
    std::printf(
        "  randoms sharing their first 8 bytes: %.3f s\n  counting randoms:                   %.3f s\n"
        "  random randoms:                     %.3f s\n",
        sharedSeconds, countingSeconds, randomSeconds);
    std::printf("  ratio crafted/random: %.2f and %.2f (goal <= 2)\n", sharedSeconds / randomSeconds,
                countingSeconds / randomSeconds);
}

}  // namespace

// Optional argument "keep": leaves both captures in /tmp, to be replayed by other builds with
// tarnwick --headless --read FILE --own-address 192.168.1.5; "keylog": the key log's figures only.
int main(int argc, char** argv) {
    const bool keep = argc > 1 && std::string(argv[1]) == "keep";
    KeyLogFigures();
    if (argc > 1 && std::string(argv[1]) == "keylog") return 0;
    std::printf("searching for %d connections that share one bucket under the unkeyed hash ...\n", kRequests);
    const auto start = Clock::now();
    const auto crafted = CraftCollisions();
    std::printf("  found %zu in %.1f s\n", crafted.size(), std::chrono::duration<double>(Clock::now() - start).count());
    const std::string stem = "/tmp/tarnwick-collisions-" + std::to_string(getpid());
    const std::string craftedPath = stem + "-crafted.pcap", randomPath = stem + "-random.pcap";
    WriteCapture(craftedPath, crafted);
    WriteCapture(randomPath, RandomConnections());
    const double craftedSeconds = ReplaySeconds(craftedPath);
    const double randomSeconds = ReplaySeconds(randomPath);
    std::printf("%d requests, then %d answers to the newest of them (--read replay, best of 3):\n", kRequests,
                kAnswers);
    std::printf("  crafted connections: %.3f s\n  random connections:  %.3f s\n", craftedSeconds, randomSeconds);
    std::printf("  ratio crafted/random: %.2f (goal <= 2)\n", randomSeconds > 0 ? craftedSeconds / randomSeconds : 0.0);
    if (keep) {
        std::printf("kept %s and %s\n", craftedPath.c_str(), randomPath.c_str());
    } else {
        std::remove(craftedPath.c_str());
        std::remove(randomPath.c_str());
    }
    return 0;
}
