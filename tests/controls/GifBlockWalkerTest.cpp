// Tests of the GIF block walk: header, block kinds and lengths, frame counting and frame extraction.
#include "controls/GifBlockWalker.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/controls/GifBuilder.h"

namespace tarnwick {
namespace {

using test::GifBuilder;
using Kind = GifBlockWalker::BlockKind;

const GifBuilder::Palette kPalette = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};

std::vector<uint8_t> Bytes(const char* text) { return {text, text + std::strlen(text)}; }

// Three frames with the extras real banners carry: a looping extension, a comment between a frame's
// control extension and its image, a frame with a local colour table.
GifBuilder ThreeFrames() {
    GifBuilder gif(10, 8, kPalette);
    gif.Loop().Control(0, 1).Image(0, 0, 10, 8, 0);
    gif.Control(4, 2).Comment("between").Image(2, 1, 3, 2, 1);
    gif.Control(50, 3, 3).Image(1, 2, 4, 4, 2, &kPalette);
    return gif;
}

TEST(GifBlockWalkerTest, HeaderDecidesWhetherDataIsWalkedAsGif) {
    for (const char* version : {"GIF87a", "GIF89a"}) {
        GifBuilder gif(300, 2, kPalette, version);
        GifBlockWalker walker(gif.Bytes());
        EXPECT_TRUE(walker.IsGif()) << version;
        EXPECT_EQ(walker.ScreenWidth(), 300);
        EXPECT_EQ(walker.ScreenHeight(), 2);
        EXPECT_EQ(walker.GlobalColourTableSize(), 12u);
        EXPECT_EQ(walker.Position(), 25u);  // first block after the table
    }
    for (const char* notGif : {"GIF88a", "GIF8", "", "\x89PNG\r\n\x1a\n", "gif89a"}) {
        const auto bytes = Bytes(notGif);
        EXPECT_FALSE(GifBlockWalker(bytes).IsGif()) << notGif;
    }

    auto noTable = GifBuilder(4, 4, kPalette).Bytes();
    noTable[10] = 0x07;  // size bits set but no table flag
    noTable.resize(13);
    EXPECT_EQ(GifBlockWalker(noTable).GlobalColourTableSize(), 0u);

    // A header alone: a GIF with nothing in it, and nothing read past the six bytes.
    const std::vector<uint8_t> headerOnly = Bytes("GIF89a");
    GifBlockWalker bare(headerOnly);
    EXPECT_TRUE(bare.IsGif());
    EXPECT_EQ(bare.Kind(), Kind::Unrecognised);
    EXPECT_EQ(bare.CountFrames(), 0);
}

TEST(GifBlockWalkerTest, KindsAndLengthsOfEveryBlock) {
    GifBuilder gif(10, 8, kPalette);
    gif.Loop().Comment("hello").Control(7, 2).Image(0, 0, 2, 2, 1, &kPalette).PlainText(1, 2, 3, 4, "hi");
    gif.Raw({0x21, 0x99, 0x00}).Trailer();
    GifBlockWalker walker(gif.Bytes());

    const std::vector<std::pair<Kind, size_t>> expected = {
        {Kind::ApplicationExtension, 14 + 4 + 1},  // 3 data bytes in one sub-block, then the terminator
        {Kind::CommentExtension, 2 + 6 + 1},
        {Kind::GraphicControlExtension, 8},
        {Kind::ImageDescriptor, 11 + 12 + 5},  // local table, then 3 bytes of codes in one sub-block
        {Kind::PlainTextExtension, 15 + 3 + 1},
    };
    for (const auto& [kind, length] : expected) {
        ASSERT_EQ(walker.Kind(), kind);
        EXPECT_EQ(walker.BlockLength(), length);
        const size_t before = walker.Position();
        ASSERT_TRUE(walker.SkipBlock());
        EXPECT_EQ(walker.Position(), before + length);
    }
    // An extension with an unknown label is not followed.
    EXPECT_EQ(walker.Kind(), Kind::Unrecognised);
    EXPECT_EQ(walker.BlockLength(), 0u);
    EXPECT_FALSE(walker.SkipBlock());
}

TEST(GifBlockWalkerTest, BlocksMustLieInsideTheData) {
    GifBuilder gif(4, 4, kPalette);
    gif.Comment("abc");
    const size_t commentEnd = gif.Size();

    // Ending exactly at the end of the data is fine.
    GifBlockWalker exact(gif.Bytes());
    EXPECT_EQ(exact.BlockLength(), 2u + 4u + 1u);
    EXPECT_TRUE(exact.SkipBlock());
    EXPECT_EQ(exact.Position(), commentEnd);
    EXPECT_EQ(exact.Kind(), Kind::Unrecognised);  // at the end: nothing to read

    // Without its terminator the chain cannot be measured.
    std::vector<uint8_t> cut(gif.Bytes().begin(), gif.Bytes().end() - 1);
    GifBlockWalker unterminated(cut);
    EXPECT_EQ(unterminated.BlockLength(), 0u);
    EXPECT_FALSE(unterminated.SkipBlock());

    // A fixed-length block that runs past the end is not skipped, and the introducer alone has no kind.
    std::vector<uint8_t> control = GifBuilder(4, 4, kPalette).Control(5, 0).Bytes();
    control.pop_back();
    GifBlockWalker shortControl(control);
    EXPECT_EQ(shortControl.Kind(), Kind::GraphicControlExtension);
    EXPECT_FALSE(shortControl.SkipBlock());
    EXPECT_FALSE(shortControl.ExtractFrame().has_value());
    std::vector<uint8_t> introducer = GifBuilder(4, 4, kPalette).Raw({0x21}).Bytes();
    EXPECT_EQ(GifBlockWalker(introducer).Kind(), Kind::Unrecognised);

    // An image descriptor cut before its packed byte has no length.
    std::vector<uint8_t> descriptor = GifBuilder(4, 4, kPalette).Raw({0x2C, 0, 0, 0, 0, 1, 0, 1}).Bytes();
    EXPECT_EQ(GifBlockWalker(descriptor).BlockLength(), 0u);
}

TEST(GifBlockWalkerTest, CountsWholeFramesUntilTheStructureEnds) {
    GifBuilder withTrailer = ThreeFrames();
    withTrailer.Trailer();
    EXPECT_EQ(GifBlockWalker(withTrailer.Bytes()).CountFrames(), 3);
    // No trailer: the last image ends exactly at the end of the data and still counts.
    EXPECT_EQ(GifBlockWalker(ThreeFrames().Bytes()).CountFrames(), 3);
    // Frames without a control extension, and a plain-text extension, are graphic blocks too.
    GifBuilder bare(8, 8, kPalette);
    bare.Image(0, 0, 8, 8, 0).Image(0, 0, 4, 4, 1).Control(3, 0).PlainText(0, 0, 8, 8, "x").Trailer();
    EXPECT_EQ(GifBlockWalker(bare.Bytes()).CountFrames(), 3);
    // The walk stops at the first block it cannot follow; the frames before it count.
    GifBuilder broken = ThreeFrames();
    broken.Raw({0x00}).Control(10, 0).Image(0, 0, 1, 1, 0);
    EXPECT_EQ(GifBlockWalker(broken.Bytes()).CountFrames(), 3);
    // A control extension with no image after it is not a frame.
    GifBuilder dangling(8, 8, kPalette);
    dangling.Image(0, 0, 8, 8, 0).Control(10, 0).Comment("no image").Trailer();
    EXPECT_EQ(GifBlockWalker(dangling.Bytes()).CountFrames(), 1);
    EXPECT_EQ(GifBlockWalker(GifBuilder(8, 8, kPalette).Trailer().Bytes()).CountFrames(), 0);
}

TEST(GifBlockWalkerTest, ExtractsEachFrameAsAStandAloneGif) {
    GifBuilder gif(10, 8, kPalette);
    gif.Loop();
    const size_t firstRun = gif.Size();
    gif.Control(0, 1).Image(0, 0, 10, 8, 0);
    const size_t secondRun = gif.Size();
    gif.Control(4, 2).Comment("between").Image(2, 1, 3, 2, 1);
    const size_t thirdRun = gif.Size();
    gif.Comment("before, not part of the frame");
    const size_t thirdStart = gif.Size();
    gif.Image(1, 2, 4, 4, 2, &kPalette);
    const size_t end = gif.Size();
    gif.Trailer();
    const auto& data = gif.Bytes();

    GifBlockWalker walker(data);
    const auto frames = walker.ExtractFrames();
    ASSERT_EQ(frames.size(), 3u);

    const auto standAlone = [&](size_t from, size_t to) {
        std::vector<uint8_t> expected;
        for (size_t i = 0; i < 25; ++i) expected.push_back(data[i]);
        for (size_t i = from; i < to; ++i) expected.push_back(data[i]);
        expected.push_back(0x3B);
        return expected;
    };
    EXPECT_EQ(frames[0].gif, standAlone(firstRun, secondRun));
    EXPECT_EQ(frames[1].gif, standAlone(secondRun, thirdRun));  // the comment goes with its frame
    EXPECT_EQ(frames[2].gif, standAlone(thirdStart, end));

    EXPECT_EQ(std::tie(frames[0].left, frames[0].top, frames[0].width, frames[0].height), std::tuple(0, 0, 10, 8));
    EXPECT_EQ(std::tie(frames[1].left, frames[1].top, frames[1].width, frames[1].height), std::tuple(2, 1, 3, 2));
    EXPECT_EQ(std::tie(frames[2].left, frames[2].top, frames[2].width, frames[2].height), std::tuple(1, 2, 4, 4));
    EXPECT_EQ(frames[0].delay, 0u);
    EXPECT_EQ(frames[0].disposal, 1u);
    EXPECT_EQ(frames[1].delay, 4u);
    EXPECT_EQ(frames[1].disposal, 2u);
    EXPECT_EQ(frames[2].delay, kNoFrameDelay);  // no control extension
    EXPECT_EQ(frames[2].disposal, 0u);

    // A plain-text frame is placed on its text grid.
    GifBuilder text(40, 40, kPalette);
    text.Control(9, 0).PlainText(5, 6, 16, 8, "hello");
    const auto textFrames = GifBlockWalker(text.Bytes()).ExtractFrames();
    ASSERT_EQ(textFrames.size(), 1u);
    EXPECT_EQ(std::tie(textFrames[0].left, textFrames[0].top, textFrames[0].width, textFrames[0].height),
              std::tuple(5, 6, 16, 8));
}

TEST(GifBlockWalkerTest, FrameWaitFollowsTheDelayRule) {
    EXPECT_EQ(FrameWaitMilliseconds(0), 100u);
    EXPECT_EQ(FrameWaitMilliseconds(4), 100u);
    EXPECT_EQ(FrameWaitMilliseconds(5), 50u);
    EXPECT_EQ(FrameWaitMilliseconds(50), 500u);
    EXPECT_EQ(FrameWaitMilliseconds(65535), 655350u);
    EXPECT_EQ(FrameWaitMilliseconds(kNoFrameDelay), 100u);  // not an endless hold
}

// Every cut of a good file, and every single-byte corruption of it, walks without reading outside the
// data (each input sits in a buffer of exactly its size, so AddressSanitizer sees any overrun).
TEST(GifBlockWalkerTest, TruncatedAndCorruptDataStaysInside) {
    GifBuilder gif = ThreeFrames();
    gif.Trailer();
    const auto& good = gif.Bytes();
    int previousCount = 0;
    for (size_t length = 0; length <= good.size(); ++length) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(length));
        GifBlockWalker walker(cut);
        const int count = walker.CountFrames();
        const auto frames = walker.ExtractFrames();
        EXPECT_GE(count, previousCount) << "cut at " << length;
        EXPECT_LE(count, 3);
        EXPECT_EQ(frames.size(), static_cast<size_t>(count)) << "cut at " << length;
        previousCount = count;
    }
    EXPECT_EQ(previousCount, 3);

    for (size_t at = 0; at < good.size(); ++at) {
        for (uint8_t value : {0x00, 0x01, 0x21, 0x2C, 0x3B, 0x80, 0xF9, 0xFF}) {
            std::vector<uint8_t> corrupt = good;
            corrupt[at] = value;
            GifBlockWalker walker(corrupt);
            walker.CountFrames();
            for (const GifFrame& frame : walker.ExtractFrames()) {
                EXPECT_LE(frame.gif.size(), corrupt.size() + 1);
                EXPECT_EQ(frame.gif.back(), 0x3B);
            }
        }
    }
}

}  // namespace
}  // namespace tarnwick
