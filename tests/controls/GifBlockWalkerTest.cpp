// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the GIF block walk: header, block lengths, frame counting and cutting out, bounds.
#include <gtest/gtest.h>

#include "controls/GifBlockWalker.h"
#include "tests/controls/GifBuilder.h"

namespace tarnwick {
namespace {

using test::GifBuilder;
using Kind = GifBlockWalker::BlockKind;

TEST(GifBlockWalkerTest, OnlyKnownVersionsAreWalked) {
    GifBlockWalker walker(GifBuilder(300, 2, "GIF87a").Bytes());
    EXPECT_TRUE(walker.IsGif() && walker.ScreenWidth() == 300 && walker.Position() == 13u + 12u);
    EXPECT_FALSE(GifBlockWalker(GifBuilder(3, 2, "GIF88a").Bytes()).IsGif());
    const std::vector<uint8_t> headerOnly = {'G', 'I', 'F', '8', '9', 'a'};
    EXPECT_EQ(GifBlockWalker(headerOnly).CountFrames(), 0);  // nothing read past the six bytes
}

TEST(GifBlockWalkerTest, BlockLengthsCoverWholeChainsInsideTheData) {
    GifBuilder gif(10, 8);
    gif.Raw({0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0});
    gif.Comment("hello").Control(7, 2).Image(0, 0, 2, 2, 1, true).PlainText(1, 2, 3, 4).Raw({0x21, 0x99});
    GifBlockWalker walker(gif.Bytes());
    const std::vector<std::pair<Kind, size_t>> blocks = {{Kind::ApplicationExtension, 19},
                                                         {Kind::CommentExtension, 9},
                                                         {Kind::GraphicControlExtension, 8},
                                                         {Kind::ImageDescriptor, 11 + 12 + 5},
                                                         {Kind::PlainTextExtension, 19}};
    for (const auto& [kind, length] : blocks) {
        ASSERT_EQ(walker.Kind(), kind);
        ASSERT_EQ(walker.BlockLength(), length);
        ASSERT_TRUE(walker.SkipBlock());
    }
    EXPECT_EQ(walker.Kind(), Kind::Unrecognised);  // unknown label
    EXPECT_FALSE(walker.SkipBlock());

    // A block may end exactly at the end of the data; one byte less and its chain has no length.
    auto comment = GifBuilder(4, 4).Comment("abc").Bytes();
    EXPECT_TRUE(GifBlockWalker(comment).SkipBlock());
    comment.pop_back();
    EXPECT_EQ(GifBlockWalker(comment).BlockLength(), 0u);
}

TEST(GifBlockWalkerTest, FramesAreCountedUntilTheStructureEnds) {
    const auto count = [](const GifBuilder& gif) { return GifBlockWalker(gif.Bytes()).CountFrames(); };
    EXPECT_EQ(count(GifBuilder(8, 8).Image(0, 0, 8, 8, 0).Control(3, 0).PlainText(0, 0, 8, 8)), 2);  // no trailer
    EXPECT_EQ(count(GifBuilder(8, 8).Image(0, 0, 8, 8, 0).Raw({0}).Image(0, 0, 8, 8, 0)), 1);
    EXPECT_EQ(count(GifBuilder(8, 8).Image(0, 0, 8, 8, 0).Control(10, 0).Comment("no image").Trailer()), 1);
    EXPECT_EQ(count(GifBuilder(8, 8).Trailer().Image(0, 0, 8, 8, 0)), 0);
}

TEST(GifBlockWalkerTest, EachFrameIsCutOutAsAStandAloneGif) {
    GifBuilder gif(10, 8);
    gif.Control(0, 1).Image(0, 0, 10, 8, 0);
    const size_t second = gif.Size();
    gif.Control(4, 2).Comment("between").Image(2, 1, 3, 2, 1);
    const size_t third = gif.Size();
    gif.Comment("before");
    const size_t thirdImage = gif.Size();
    gif.Image(1, 2, 4, 4, 2).Trailer();
    const auto& data = gif.Bytes();

    const auto frames = GifBlockWalker(data).ExtractFrames();
    ASSERT_EQ(frames.size(), 3u);
    std::vector<uint8_t> expected(data.begin(), data.begin() + 25);  // header, screen, global table
    expected.insert(expected.end(), data.begin() + long(second), data.begin() + long(third));
    expected.push_back(0x3B);
    EXPECT_EQ(frames[1].gif, expected);  // the comment after the control extension goes with the frame
    EXPECT_EQ(frames[2].gif.size(), 25u + (data.size() - 1 - thirdImage) + 1);  // the comment before does not

    EXPECT_EQ(std::tie(frames[1].left, frames[1].top, frames[1].width, frames[1].height), std::tuple(2, 1, 3, 2));
    EXPECT_EQ(std::tie(frames[1].delay, frames[1].disposal), std::tuple(4u, 2u));
    EXPECT_EQ(std::tie(frames[2].delay, frames[2].disposal), std::tuple(kNoFrameDelay, 0u));

    const auto text = GifBlockWalker(GifBuilder(40, 40).PlainText(5, 6, 16, 8).Bytes()).ExtractFrames();
    ASSERT_EQ(text.size(), 1u);
    EXPECT_EQ(std::tie(text[0].left, text[0].top, text[0].width, text[0].height), std::tuple(5, 6, 16, 8));
}

TEST(GifBlockWalkerTest, FrameWaitFollowsTheDelayRule) {
    for (auto [delay, wait] : std::vector<std::pair<uint32_t, uint32_t>>{
             {0, 100}, {4, 100}, {5, 50}, {50, 500}, {65535, 655350}, {kNoFrameDelay, 100}})
        EXPECT_EQ(FrameWaitMilliseconds(delay), wait) << delay;
}

// Each input sits in a buffer of exactly its size, so AddressSanitizer sees any read past it.
TEST(GifBlockWalkerTest, TruncatedAndCorruptDataIsNeverReadOutside) {
    GifBuilder gif(10, 8);
    gif.Control(0, 1).Image(0, 0, 10, 8, 0).Control(4, 3).Comment("c").Image(2, 1, 3, 2, 1, true).Trailer();
    const auto& good = gif.Bytes();
    int previous = 0;
    for (size_t length = 0; length <= good.size(); ++length) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + long(length));
        GifBlockWalker walker(cut);
        const int count = walker.CountFrames();
        EXPECT_EQ(walker.ExtractFrames().size(), size_t(count));
        EXPECT_GE(count, previous) << length;
        previous = count;
    }
    EXPECT_EQ(previous, 2);
    for (size_t at = 0; at < good.size(); ++at) {
        for (uint8_t value : {0x00, 0x21, 0x2C, 0x3B, 0x80, 0xF9, 0xFF}) {
            std::vector<uint8_t> corrupt = good;
            corrupt[at] = value;
            GifBlockWalker walker(corrupt);
            EXPECT_EQ(walker.ExtractFrames().size(), size_t(walker.CountFrames()));
        }
    }
}

}  // namespace
}  // namespace tarnwick
