// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the frames of decrypted QUIC packets, with their CRYPTO and STREAM data put back in order
// (out of order, repeated, overlapping) under a small bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>

#include "capture/quic/QuicFrameReader.h"
#include "capture/quic/QuicStreamAssembler.h"
#include "fuzz/FuzzChunks.h"

namespace {

using namespace tarnwick;

// Checks that what each stream delivers continues exactly where it stopped.
class Reassembly final : public QuicFrameReader::Handler {
public:
    void OnCrypto(uint64_t offset, std::span<const uint8_t> bytes) override { Add(UINT64_MAX, offset, bytes, false); }
    void OnStream(uint64_t streamId, uint64_t offset, std::span<const uint8_t> bytes, bool fin) override {
        Add(streamId % 8, offset, bytes, fin);
    }
    void OnResetStream(uint64_t streamId) override { streams_[streamId % 8].assembler.Stop(); }
    void OnNewConnectionId(std::span<const uint8_t> id) override {
        if (id.empty() || id.size() > 20) std::abort();
    }
    void OnConnectionClose() override {}

private:
    struct Stream {
        QuicStreamAssembler assembler;
        uint64_t delivered = 0;
    };
    void Add(uint64_t key, uint64_t offset, std::span<const uint8_t> bytes, bool fin) {
        Stream& stream = streams_[key];
        stream.assembler.Add(offset, bytes, fin, 16 * 1024, [&stream](std::span<const uint8_t> piece) {
            stream.delivered += piece.size();
            return stream.delivered < 1'000'000;
        });
        if (!stream.assembler.Stopped() && stream.assembler.Delivered() != stream.delivered) std::abort();
        if (stream.assembler.Held() > 16 * 1024) std::abort();
    }
    std::map<uint64_t, Stream> streams_;
};

}  // namespace

// Input: chunks (see FuzzChunks.h), each one packet's plaintext.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reassembly reassembly;
    for (const auto& chunk : tarnwick::fuzz::SplitChunks({data, size})) QuicFrameReader::Read(chunk.bytes, reassembly);
    return 0;
}
