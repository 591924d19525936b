// SPDX-License-Identifier: GPL-3.0-or-later
// Progress texts on their boundaries and the progress throttling.
#include <gtest/gtest.h>

#include "download/DownloadDisplayName.h"
#include "download/ProgressTracker.h"
#include "download/TransferTexts.h"

namespace tarnwick {
namespace {

TEST(TransferTextsTest, SizesSwitchUnitsAtTheirBoundaries) {
    EXPECT_EQ(SizeText(1023), "1023 Bytes");
    EXPECT_EQ(SizeText(1024), "1.0 KB");
    EXPECT_EQ(SizeText(1048575), "1024.0 KB");
    EXPECT_EQ(SizeText(1048576), "1.00 MB");
}

TEST(TransferTextsTest, DurationsInSecondsAndMinutes) {
    EXPECT_EQ(DurationText(59), "59 sec");
    EXPECT_EQ(DurationText(120), "2 min");
    EXPECT_EQ(DurationText(125), "2 min 5 sec");
    EXPECT_EQ(TimeLeftText(125, 3565158, 10747904), "2 min 5 sec (3.40 MB of 10.25 MB copied)");
}

TEST(TransferTextsTest, RatesBelowAndAboveOneKilobyte) {
    EXPECT_EQ(TransferRateText(0.5), "512 Bytes/Sec");
    EXPECT_EQ(TransferRateText(1.0), "1.00 KB/Sec");
    EXPECT_EQ(TransferRateText(9.994), "9.99 KB/Sec");
    EXPECT_EQ(TransferRateText(87.2), "87 KB/Sec");
}

TEST(TransferTextsTest, CaptionAndDisplayName) {
    EXPECT_EQ(PercentCaption(42, "clip.flv"), "42% of clip.flv Completed");
    EXPECT_EQ(DownloadDisplayName("/videos/clip.flv"), "clip.flv");
    EXPECT_EQ(DownloadDisplayName("/videos/"), "");
    EXPECT_EQ(DownloadDisplayName("/"), "/");
    EXPECT_EQ(DownloadDisplayName("dir\\clip.flv"), "clip.flv");
}

TEST(ProgressTrackerTest, PercentOnlyWhenItChangesAndRateAtMostOnceASecond) {
    ProgressTracker tracker;
    auto first = tracker.Advance(0, true, 1000, 5000);
    EXPECT_EQ(first.percent, 0);
    EXPECT_FALSE(first.rate);
    EXPECT_FALSE(tracker.Advance(5, true, 1000, 5500).percent);  // still 0%
    auto second = tracker.Advance(500, true, 1000, 6000);
    EXPECT_EQ(second.percent, 50);
    EXPECT_FALSE(second.rate);  // exactly 1000 ms is not more than a second
    auto third = tracker.Advance(600, true, 1000, 6001);
    ASSERT_TRUE(third.rate);
    EXPECT_DOUBLE_EQ(*third.rate, 600.0 / 1001);
    ASSERT_TRUE(third.timeLeft);
    EXPECT_EQ(third.timeLeft->seconds, 0u);  // 1001 ms for 600 bytes, 400 to go
    EXPECT_EQ(third.timeLeft->copied, 600u);
}

TEST(ProgressTrackerTest, TimeLeftCountsOnlyThisTransfersBytes) {
    ProgressTracker tracker(1000);
    tracker.Advance(0, true, 11000, 0);
    auto update = tracker.Advance(1000, true, 11000, 2000);
    EXPECT_EQ(update.percent, 18);  // (1000 + 1000) * 100 / 11000
    ASSERT_TRUE(update.timeLeft);
    EXPECT_EQ(update.timeLeft->seconds, 18u);  // 2 ms a byte, 9000 bytes to go
    EXPECT_EQ(update.timeLeft->copied, 2000u);
}

TEST(ProgressTrackerTest, GuardsForAZeroTotalAndForMoreBytesThanAnnounced) {
    ProgressTracker empty;
    EXPECT_FALSE(empty.Advance(100, true, 0, 10).percent);

    ProgressTracker over;
    over.Advance(0, true, 100, 0);
    auto update = over.Advance(150, true, 100, 2000);
    EXPECT_EQ(update.percent, 150);
    ASSERT_TRUE(update.timeLeft);
    EXPECT_EQ(update.timeLeft->seconds, 0u);
}

TEST(ProgressTrackerTest, UnknownTotalShowsNothing) {
    ProgressTracker tracker;
    for (uint32_t tick = 0; tick < 5000; tick += 600) {
        auto update = tracker.Advance(tick * 10, false, 0, tick);
        EXPECT_FALSE(update.percent);
        EXPECT_FALSE(update.rate);
    }
}

}  // namespace
}  // namespace tarnwick
