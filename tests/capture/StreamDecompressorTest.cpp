// SPDX-License-Identifier: GPL-3.0-or-later
// Compressed captures: the bytes come back whole however they arrive, and damage is named, not misread.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "capture/source/StreamDecompressor.h"
#include "tests/capture/CompressedBytes.h"

namespace tarnwick {
namespace {

using Format = StreamDecompressor::Format;

struct Outcome {
    std::string bytes;
    bool damaged = false;
    bool whole = false;  // ended exactly after a member or frame
    std::string error;
};

// Hands compressed over in pieces of inPiece bytes and takes output in room of outRoom bytes.
Outcome Decode(const std::string& compressed, size_t inPiece, size_t outRoom) {
    const auto* data = reinterpret_cast<const uint8_t*>(compressed.data());
    StreamDecompressor decompressor(StreamDecompressor::Detect({data, compressed.size()}));
    Outcome outcome;
    std::string room(outRoom, '\0');
    for (size_t at = 0; at <= compressed.size(); at += inPiece) {
        std::span<const uint8_t> input(data + at, std::min(inPiece, compressed.size() - at));
        // Until this piece is used up, then once more with no input for what the decoder holds.
        for (;;) {
            size_t written = 0;
            const bool hadInput = !input.empty();
            if (!decompressor.Decompress(input, {reinterpret_cast<uint8_t*>(room.data()), room.size()}, written)) {
                outcome.damaged = true;
                outcome.error = decompressor.Error();
                return outcome;
            }
            outcome.bytes.append(room.data(), written);
            if (written == 0 && !hadInput) break;
        }
    }
    outcome.whole = decompressor.AtStreamEnd();
    return outcome;
}

std::string SampleBytes() {
    std::mt19937 random(7);
    std::string bytes;
    // Repeats (which compress) and noise (which does not), past zstd's 128 KiB block.
    for (int i = 0; i < 3000; ++i) bytes += "GET /clip" + std::to_string(i % 17) + ".mp4 HTTP/1.1\r\n";
    for (int i = 0; i < 150000; ++i) bytes += static_cast<char>(random());
    return bytes;
}

TEST(StreamDecompressor, FormatsAreToldByTheirFirstBytes) {
    const std::string plain = SampleBytes();
    auto detect = [](const std::string& bytes) {
        return StreamDecompressor::Detect({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    };
    EXPECT_EQ(detect(testing::GzipBytes(plain)), Format::Gzip);
    EXPECT_EQ(detect(testing::ZstdBytes(plain)), Format::Zstd);
    EXPECT_EQ(detect(plain), Format::Plain);
    EXPECT_EQ(detect("\x1f"), Format::Plain);
    EXPECT_EQ(detect(std::string("\x28\xb5\x2f", 3)), Format::Plain);
}

// Several gzip members and zstd frames, as cat a.gz b.gz makes them, in pieces of every size.
TEST(StreamDecompressor, MembersAndFramesComeBackWholeInAnyPieces) {
    const std::string plain = SampleBytes();
    for (const std::string& compressed : {testing::GzipBytes(plain, 3), testing::ZstdBytes(plain, 3)}) {
        ASSERT_FALSE(compressed.empty());
        for (const auto& [inPiece, outRoom] :
             {std::pair<size_t, size_t>{1, 5}, {7, 1}, {4096, 65536}, {compressed.size(), 1u << 20}}) {
            const Outcome outcome = Decode(compressed, inPiece, outRoom);
            EXPECT_FALSE(outcome.damaged) << outcome.error;
            EXPECT_TRUE(outcome.bytes == plain) << inPiece << "/" << outRoom;
            EXPECT_TRUE(outcome.whole);
        }
    }
}

TEST(StreamDecompressor, DamageAndCutsAreNamedWithTheirPlace) {
    const std::string plain = SampleBytes();
    const std::string gzip = testing::GzipBytes(plain);
    const std::string zstd = testing::ZstdBytes(plain);

    // Cut anywhere: what came is given, and the stream does not claim to be whole.
    for (const std::string& compressed : {gzip, zstd}) {
        const Outcome cut = Decode(compressed.substr(0, compressed.size() - 5), 1000, 4096);
        EXPECT_FALSE(cut.damaged) << cut.error;
        EXPECT_FALSE(cut.whole);
        EXPECT_EQ(plain.compare(0, cut.bytes.size(), cut.bytes), 0);
    }

    // The gzip trailer's checksum no longer fits.
    std::string badChecksum = gzip;
    badChecksum[badChecksum.size() - 8] ^= 0x01;
    const Outcome checksum = Decode(badChecksum, 4096, 4096);
    EXPECT_TRUE(checksum.damaged);
    EXPECT_NE(checksum.error.find("its gzip compression is damaged at compressed byte "), std::string::npos)
        << checksum.error;
    EXPECT_NE(checksum.error.find("incorrect data check"), std::string::npos) << checksum.error;

    // Something that is no gzip member after the first.
    const Outcome trailing = Decode(gzip + "garbage", 4096, 4096);
    EXPECT_TRUE(trailing.damaged);
    EXPECT_NE(trailing.error.find("at compressed byte " + std::to_string(gzip.size()) + ": data after the end"),
              std::string::npos)
        << trailing.error;

    // A zstd frame that asks for a 2 GiB window is refused, not given the memory.
    std::string hugeWindow("\x28\xb5\x2f\xfd\x00\xa8", 6);
    hugeWindow += zstd.substr(6);
    const Outcome window = Decode(hugeWindow, 4096, 4096);
    EXPECT_TRUE(window.damaged);
    EXPECT_NE(window.error.find("its zstd compression is damaged"), std::string::npos) << window.error;
}

}  // namespace
}  // namespace tarnwick
