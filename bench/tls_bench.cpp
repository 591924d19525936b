// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the decryption speed of a reassembled TLS connection against OpenSSL's AES-128-GCM alone.
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "capture/session/ConnectionRouter.h"
#include "capture/session/VideoFinder.h"
#include "capture/stream/TcpReassembler.h"
#include "tests/capture/TlsTestSession.h"

namespace {

using namespace tarnwick;

constexpr size_t kBodyBytes = 64u << 20;
constexpr size_t kSegmentBytes = 1448;
constexpr int kRuns = 5;

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Conversation {
    std::vector<testing::TlsTestSession::Chunk> wire;
    std::string keyLog;
};

// One TLS 1.3 AES-128-GCM connection: a request, then a video of kBodyBytes in full-size records.
Conversation Record() {
    testing::TlsTestOptions options;
    options.suites = "TLS_AES_128_GCM_SHA256";
    testing::TlsTestSession session(options);
    session.Handshake();
    session.ClientSends("GET /video.mp4 HTTP/1.1\r\nHost: videohost.test\r\n\r\n");
    session.ServerSends("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: " + std::to_string(kBodyBytes) +
                        "\r\n\r\n");
    const std::string piece(256 * 1024, 'v');
    for (size_t sent = 0; sent < kBodyBytes; sent += piece.size()) session.ServerSends(piece);
    return {session.Wire(), session.KeyLog()};
}

// Cuts the conversation into TCP segments and feeds them through reassembly, decryption and the
// HTTP/1 reader, as a capture session does. Returns the CPU seconds taken.
double Replay(const Conversation& conversation, uint64_t& decrypted, int& videos) {
    TlsKeyLog keyLog("");
    keyLog.AddText(conversation.keyLog);
    videos = 0;
    // The stages a capture thread runs: reassembly, the router, TLS, the HTTP/1 reader, the one sink.
    const CaptureLimits limits;
    PipelineTotals totals;
    ByteBudget messages(limits.Bytes(Limit::MessageBytes), Limit::MessageBytes, nullptr);
    ByteBudget playlists(limits.Bytes(Limit::PlaylistsBytes), Limit::PlaylistsBytes, nullptr);
    ByteBudget http2(limits.Bytes(Limit::Http2Bytes), Limit::Http2Bytes, nullptr);
    ByteBudget tls(limits.Bytes(Limit::TlsBytes), Limit::TlsBytes, nullptr);
    VideoReporter reporter(
        [&videos](DetectedVideo) {
            ++videos;
            return true;
        },
        "bench");
    StreamTracker streams;
    VideoFinder finder(VideoFinder::Context{reporter, streams, messages, playlists, 2u << 20, false, true}, {}, false);
    ConnectionRouter router(ConnectionRouter::Context{finder, limits, totals, &keyLog, messages, http2, tls});
    TcpReassembler tracker(router, TcpReassembler::Limits::From(limits));
    const uint8_t client[4] = {10, 0, 0, 1}, server[4] = {10, 0, 0, 2};
    const FlowEndpoint clientEnd = FlowEndpoint::FromBytes(client, 4, 40000);
    const FlowEndpoint serverEnd = FlowEndpoint::FromBytes(server, 4, 443);
    uint32_t sequence[2] = {1000, 5000000};
    const double start = CpuSeconds();
    for (const auto& chunk : conversation.wire) {
        const int side = IndexOf(chunk.direction);
        for (size_t at = 0; at < chunk.bytes.size(); at += kSegmentBytes) {
            StreamSegment segment;
            segment.source = side ? serverEnd : clientEnd;
            segment.destination = side ? clientEnd : serverEnd;
            segment.sequence = sequence[side];
            segment.acknowledgement = sequence[1 - side];
            segment.flags = StreamSegment::kAck;
            segment.payload = chunk.bytes.data() + at;
            segment.payloadLength = std::min(kSegmentBytes, chunk.bytes.size() - at);
            segment.wireLength = segment.payloadLength;
            sequence[side] += static_cast<uint32_t>(segment.payloadLength);
            tracker.Process(segment, 1);
        }
    }
    const double seconds = CpuSeconds() - start;
    decrypted = totals.tls.bytesDecrypted;
    return seconds;
}

// What `openssl speed -evp aes-128-gcm` measures for its largest block: decryption of 16 KiB buffers.
double AesGcmAloneMegabytesPerSecond() {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    const uint8_t key[16] = {1}, iv[12] = {2};
    std::vector<uint8_t> in(16384, 'x'), out(16384);
    EVP_EncryptInit_ex(context, cipher, nullptr, key, iv);
    constexpr int kBlocks = 8192;
    const double start = CpuSeconds();
    int length = 0;
    for (int i = 0; i < kBlocks; ++i) {
        EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, iv);
        EVP_DecryptUpdate(context, out.data(), &length, in.data(), static_cast<int>(in.size()));
    }
    const double seconds = CpuSeconds() - start;
    EVP_CIPHER_free(cipher);
    EVP_CIPHER_CTX_free(context);
    return kBlocks * 16384.0 / seconds / 1e6;
}

}  // namespace

int main() {
    std::printf("recording a TLS 1.3 AES-128-GCM connection carrying a %zu MiB video ...\n", kBodyBytes >> 20);
    const Conversation conversation = Record();
    double best = 1e9;
    uint64_t decrypted = 0;
    int videos = 0;
    for (int run = 0; run < kRuns; ++run) best = std::min(best, Replay(conversation, decrypted, videos));
    const double pipeline = static_cast<double>(decrypted) / best / 1e6;
    double alone = 0;
    for (int run = 0; run < kRuns; ++run) alone = std::max(alone, AesGcmAloneMegabytesPerSecond());
    std::printf(
        "reassembly + decryption + HTTP/1: %.0f MB/s of plaintext (CPU time, %zu-byte segments, "
        "%d video listed)\n",
        pipeline, kSegmentBytes, videos);
    std::printf("AES-128-GCM alone, 16 KiB blocks:  %.0f MB/s (compare: openssl speed -evp aes-128-gcm)\n", alone);
    std::printf("ratio: %.2f (goal >= 0.50)\n", alone > 0 ? pipeline / alone : 0.0);
    return 0;
}
