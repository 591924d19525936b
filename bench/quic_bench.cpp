// SPDX-License-Identifier: GPL-3.0-or-later
// Prints the decryption speed of a QUIC connection carrying HTTP/3 against OpenSSL's AES-128-GCM alone.
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/quic/QuicTracker.h"
#include "capture/session/VideoFinder.h"
#include "tests/capture/QuicTestConnection.h"

namespace {

using namespace tarnwick;
using testing::QuicTestConnection;

constexpr size_t kBodyBytes = 64u << 20;
constexpr size_t kStreamBytesPerPacket = 1200;  // a full packet on a 1500-byte path
constexpr int kRuns = 5;

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One connection: a request, then a video of kBodyBytes in full-size 1-RTT packets, with a key update
// by the server every 16 MiB.
void Record(QuicTestConnection& connection) {
    connection.Handshake();
    connection.Send(
        StreamDirection::ClientToServer,
        QuicTestConnection::StreamFrame(
            0, 0,
            QuicTestConnection::Http3Frame(0x01, QuicTestConnection::RequestBlock("videohost.test", "/video.mp4")),
            true));
    std::vector<uint8_t> answer = QuicTestConnection::Http3Frame(0x01, QuicTestConnection::AnswerBlock("video/mp4"));
    // A DATA frame header for the whole body (a 4-byte length), then the body.
    answer.insert(answer.end(),
                  {0x00, static_cast<uint8_t>(0x80 | kBodyBytes >> 24), static_cast<uint8_t>(kBodyBytes >> 16),
                   static_cast<uint8_t>(kBodyBytes >> 8), static_cast<uint8_t>(kBodyBytes)});
    const std::string signature(
        "\x00\x00\x00\x18"
        "ftypisom\x00\x00\x02\x00"
        "isomiso2",
        24);
    answer.insert(answer.end(), signature.begin(), signature.end());
    const size_t total = answer.size() + kBodyBytes - signature.size();
    std::vector<uint8_t> piece;
    for (uint64_t offset = 0; offset < total; offset += kStreamBytesPerPacket) {
        const size_t size = std::min<size_t>(kStreamBytesPerPacket, total - offset);
        piece.assign(size, 'v');
        for (size_t i = 0; i < size && offset + i < answer.size(); ++i) piece[i] = answer[offset + i];
        if (offset > 0 && offset % (16u << 20) < kStreamBytesPerPacket)
            connection.UpdateKeys(StreamDirection::ServerToClient);
        connection.Send(StreamDirection::ServerToClient,
                        QuicTestConnection::StreamFrame(0, offset, piece, offset + size == total));
    }
}

// Feeds the datagrams through the tracker, decryption, the HTTP/3 reader and the one sink, as a
// capture session does. Returns the CPU seconds taken.
double Replay(const QuicTestConnection& connection, uint64_t& decrypted, int& videos) {
    TlsKeyLog keyLog("");
    keyLog.AddText(connection.KeyLog());
    videos = 0;
    const CaptureLimits limits;
    LimitHits hits;
    ByteBudget messages(limits.Bytes(Limit::MessageBytes), Limit::MessageBytes, nullptr);
    ByteBudget playlists(limits.Bytes(Limit::PlaylistsBytes), Limit::PlaylistsBytes, nullptr);
    ByteBudget quic(limits.Bytes(Limit::QuicBytes), Limit::QuicBytes, nullptr);
    VideoReporter reporter(
        [&videos](DetectedVideo) {
            ++videos;
            return true;
        },
        "bench");
    StreamTracker streams;
    VideoFinder finder(VideoFinder::Context{reporter, streams, messages, playlists, 2u << 20, false, true}, {}, false);
    QuicStatistics statistics;
    const uint8_t client[4] = {10, 0, 0, 1}, server[4] = {10, 0, 0, 2};
    const auto clientEnd = FlowEndpoint::FromBytes(client, 4, 40000);
    const auto serverEnd = FlowEndpoint::FromBytes(server, 4, 443);
    const double start = CpuSeconds();
    {
        QuicTracker tracker(QuicTracker::Context{finder, limits, statistics, quic, &hits, &keyLog, {}});
        int64_t time = 0;
        for (const auto& datagram : connection.Datagrams()) {
            const bool fromClient = datagram.direction == StreamDirection::ClientToServer;
            tracker.Datagram(fromClient ? clientEnd : serverEnd, fromClient ? serverEnd : clientEnd,
                             PacketDirection::Loopback, datagram.bytes, ++time / 64);
        }
        tracker.EndAll();
    }
    finder.Flush();
    decrypted = statistics.bytesDecrypted;
    return CpuSeconds() - start;
}

// AES-128-GCM decryption of blocks of one size, one IV each.
double AesGcmAloneMegabytesPerSecond(size_t blockSize) {
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    const uint8_t key[16] = {1}, iv[12] = {2};
    std::vector<uint8_t> in(blockSize, 'x'), out(blockSize);
    EVP_EncryptInit_ex(context, cipher, nullptr, key, iv);
    const int blocks = static_cast<int>((128u << 20) / blockSize);
    const double start = CpuSeconds();
    int length = 0;
    for (int i = 0; i < blocks; ++i) {
        EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, iv);
        EVP_DecryptUpdate(context, out.data(), &length, in.data(), static_cast<int>(in.size()));
    }
    const double seconds = CpuSeconds() - start;
    EVP_CIPHER_free(cipher);
    EVP_CIPHER_CTX_free(context);
    return static_cast<double>(blocks) * static_cast<double>(blockSize) / seconds / 1e6;
}

}  // namespace

int main() {
    std::printf("building a QUIC connection carrying a %zu MiB video over HTTP/3 ...\n", kBodyBytes >> 20);
    QuicTestConnection connection;
    Record(connection);
    double best = 1e9;
    uint64_t decrypted = 0;
    int videos = 0;
    for (int run = 0; run < kRuns; ++run) best = std::min(best, Replay(connection, decrypted, videos));
    const double pipeline = static_cast<double>(decrypted) / best / 1e6;
    double alone = 0, alonePacket = 0;
    for (int run = 0; run < kRuns; ++run) {
        alone = std::max(alone, AesGcmAloneMegabytesPerSecond(16384));
        alonePacket = std::max(alonePacket, AesGcmAloneMegabytesPerSecond(kStreamBytesPerPacket));
    }
    std::printf("QUIC + HTTP/3: %.0f MB/s of plaintext (CPU time, %zu datagrams, %d video listed)\n", pipeline,
                connection.Datagrams().size(), videos);
    std::printf("AES-128-GCM alone, 16 KiB blocks:  %.0f MB/s (compare: openssl speed -evp aes-128-gcm)\n", alone);
    std::printf("AES-128-GCM alone, %zu-byte blocks: %.0f MB/s\n", kStreamBytesPerPacket, alonePacket);
    std::printf("ratio: %.2f against 16 KiB blocks, %.2f against packet-size blocks (goal >= 0.50)\n",
                alone > 0 ? pipeline / alone : 0.0, alonePacket > 0 ? pipeline / alonePacket : 0.0);
    return 0;
}
