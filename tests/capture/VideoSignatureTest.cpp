// SPDX-License-Identifier: GPL-3.0-or-later
// Containers known by their first bytes, and Content-Range values: what is recognised and what is not.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture/judge/ContentRange.h"
#include "capture/judge/VideoSignature.h"

namespace tarnwick {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string TypeOf(const std::vector<uint8_t>& body) {
    return std::string(VideoSignature::TypeOf(body));
}

std::vector<uint8_t> Ebml(const std::string& docType) {
    // EBML header: version 1, then the doc type, then a Segment element start.
    std::string children =
        std::string("\x42\x86\x81\x01", 4) + "\x42\x82" + static_cast<char>(0x80 | docType.size()) + docType;
    std::string header = "\x1A\x45\xDF\xA3" + std::string(1, static_cast<char>(0x80 | children.size())) + children;
    return Bytes(header + "\x18\x53\x80\x67");
}

std::vector<uint8_t> TransportStream(size_t packets) {
    std::vector<uint8_t> body(188 * packets, 0xFF);
    for (size_t i = 0; i < packets; ++i) body[188 * i] = 0x47;
    return body;
}

TEST(VideoSignature, KnownContainersAndLookAlikes) {
    EXPECT_EQ(TypeOf(Bytes(std::string("\0\0\0\x18"
                                       "ftypisom\0\0\x02\0isomiso2",
                                       24))),
              "mp4");
    EXPECT_EQ(TypeOf(Bytes(std::string("\0\0\0\x14"
                                       "ftypqt  \0\0\0\0qt  ",
                                       20))),
              "mov");
    EXPECT_EQ(TypeOf(Bytes(std::string("\0\0\0\x18"
                                       "ftyp3gp5\0\0\0\0",
                                       16))),
              "3gp");
    // An audio-only brand, an unknown brand and a box too small to be a file type box.
    EXPECT_EQ(TypeOf(Bytes(std::string("\0\0\0\x18"
                                       "ftypM4A \0\0\0\0",
                                       16))),
              "");
    EXPECT_EQ(TypeOf(Bytes(std::string("\0\0\0\x18"
                                       "ftypheic\0\0\0\0",
                                       16))),
              "");
    EXPECT_EQ(TypeOf(Bytes(std::string("\0\0\0\x08"
                                       "ftypisom\0\0\0\0",
                                       16))),
              "");

    EXPECT_EQ(TypeOf(Ebml("webm")), "webm");
    EXPECT_EQ(TypeOf(Ebml("matroska")), "mkv");
    EXPECT_EQ(TypeOf(Ebml("notvideo")), "");
    // Too few bytes to reach the doc type: the general container.
    EXPECT_EQ(TypeOf(Bytes("\x1A\x45\xDF\xA3\x9F\x42")), "mkv");

    EXPECT_EQ(TypeOf(TransportStream(3)), "ts");
    auto broken = TransportStream(3);
    broken[376] = 0x00;
    EXPECT_EQ(TypeOf(broken), "");
    EXPECT_EQ(TypeOf(TransportStream(2)), "");

    EXPECT_EQ(TypeOf(Bytes(std::string("RIFF\x10\0\0\0"
                                       "AVI LIST",
                                       16))),
              "avi");
    EXPECT_EQ(TypeOf(Bytes(std::string("RIFF\x10\0\0\0"
                                       "WAVEfmt ",
                                       16))),
              "");
    EXPECT_EQ(TypeOf(Bytes("FLV\x01\x05")), "");  // the Flash signature has a rule of its own
    EXPECT_EQ(TypeOf(Bytes("<html><body>")), "");
    EXPECT_EQ(TypeOf({}), "");
}

TEST(VideoSignature, EveryCutOfAKnownStartIsReadSafely) {
    // A cut body either still names its container or nothing; a cut Matroska start is the general "mkv".
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> samples = {
        {Bytes(std::string("\0\0\0\x18"
                           "ftypisom\0\0\x02\0isomiso2",
                           24)),
         "mp4"},
        {Ebml("webm"), "webm"},
        {TransportStream(3), "ts"},
        {Bytes(std::string("RIFF\x10\0\0\0"
                           "AVI LIST",
                           16)),
         "avi"},
    };
    for (const auto& [body, type] : samples)
        for (size_t length = 0; length <= body.size(); ++length) {
            // An exact-size copy, so a read past its end is caught by the sanitizers.
            const std::vector<uint8_t> cut(body.begin(), body.begin() + static_cast<long>(length));
            const std::string seen = TypeOf(cut);
            EXPECT_TRUE(seen.empty() || seen == type || (type == "webm" && seen == "mkv"))
                << type << " cut at " << length;
        }
}

TEST(ContentRange, PiecesOfAKnownOrUnknownWhole) {
    auto range = ContentRange::Parse("bytes 0-99999/250000");
    ASSERT_TRUE(range);
    EXPECT_EQ(range->first, 0);
    EXPECT_EQ(range->last, 99999);
    EXPECT_EQ(range->WholeSize(), 250000);
    range = ContentRange::Parse("bytes  200000-249999/*  ");
    ASSERT_TRUE(range);
    EXPECT_FALSE(range->total);
    EXPECT_EQ(range->WholeSize(), 250000);
    EXPECT_EQ(ContentRange::Parse("bytes 5-5/6")->WholeSize(), 6);
    EXPECT_EQ(ContentRange::Parse("bytes 0-1/999999999999999999")->WholeSize(), 999999999999999999);
}

TEST(ContentRange, AnythingElseIsNoPiece) {
    for (const char* text : {"bytes */250000", "bytes 10-9/100", "bytes 0-99/99", "bytes 0-99/50", "items 0-1/2",
                             "bytes0-1/2", "bytes 0-99", "bytes 0-99/", "bytes -5/10", "bytes 0-1/2x",
                             "bytes 0-1/2,3-4/9", "bytes 0-1/9999999999999999999", "bytes 0-9999999999999999999/*", ""})
        EXPECT_FALSE(ContentRange::Parse(text)) << text;
}

}  // namespace
}  // namespace tarnwick
