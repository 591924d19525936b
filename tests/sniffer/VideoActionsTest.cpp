// SPDX-License-Identifier: GPL-3.0-or-later
// Preview, Download and Remove driven through recorded window services: what is asked, written,
// registered and shown.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/RecordingWindowServices.h"
#include "resources/ResourceIds.h"
#include "sniffer/VideoActions.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

class VideoActionsTest : public ::testing::Test {
protected:
    testing::TempDir dir;
    testing::ScopedEnv appdata{"APPDATA", dir.path().c_str()};
    RecordingWindowServices services;
    int window = 0;
    WindowHandle handle = &window;
    SniffedVideoList list{&services, handle};
    AppSettings settings;
    std::vector<std::string> ignored;
    std::vector<DownloadRequest> downloads;
    int dialogResult = kIdOk;
    std::function<void()> duringDialog;
    VideoActions actions{services,
                         handle,
                         list,
                         settings,
                         [this](const std::string& url) { ignored.push_back(url); },
                         [this](const DownloadRequest& r) {
                             downloads.push_back(r);
                             if (duringDialog) duringDialog();
                             return dialogResult;
                         }};

    void SetUp() override {
        settings.playerPath = "/usr/bin/ffplay";
        settings.tempFolder = dir.path().string();
        settings.configFilePath =
            dir.Write("Tarnwick/Tarnwick.ini", "[Tarnwick]\nProjectFilePath=/videos\nCurrentFilePath=/avi-videos\n");
    }
    void Add(const std::string& url, int64_t size, const std::string& type = "mp4\r\n") {
        list.AddDetectedVideo({"http://" + url, "GET / HTTP/1.1\r\n\r\n", std::to_string(size) + "\r\n", type, "t", 0});
    }
    int RowImageOfUrl(const std::string& url) { return list.Slot(list.FindByUrl(url)).rowImage; }
};

TEST_F(VideoActionsTest, WithoutASelectionNothingHappens) {
    Add("host/a.mp4", 200000);
    services.ClearSelection(handle, kVideoListId);
    actions.OnPreview();
    actions.OnDownload();
    actions.OnRemove();
    EXPECT_TRUE(services.StartedPrograms().empty());
    EXPECT_TRUE(services.SaveRequests().empty());
    EXPECT_TRUE(services.Messages().empty());
    EXPECT_TRUE(ignored.empty());
    EXPECT_EQ(list.Count(), 1);
}

TEST_F(VideoActionsTest, CancellingTheSaveDialogWritesAndRegistersNothing) {
    Add("host/a.mp4", 200000);
    actions.OnDownload();
    EXPECT_EQ(services.SaveRequests().size(), 1u);
    EXPECT_TRUE(downloads.empty());
    EXPECT_TRUE(ignored.empty());
    EXPECT_FALSE(std::filesystem::exists(dir / "Sniffer_0_200000.txt"));
    EXPECT_EQ(list.Slot(0).rowImage, 0);
    EXPECT_TRUE(services.Messages().empty());
}

TEST_F(VideoActionsTest, DownloadWritesTheSideFileRegistersTheUrlAndFinishesWithPictureTwo) {
    Add("host/a.mp4", 200000);
    Add("host/b.mp4", 300000);
    Add("host/c.flv?next=http://other/x", 1500000, "x-flv\r\n");
    services.QueueSaveFileAnswer(dir / "saved.flv");
    actions.OnDownload();  // row 0 is the newest: slot 2
    EXPECT_EQ(testing::ReadFile(dir / "Sniffer_2_1500000.txt"), "http://host/c.flv?next=http://other/x\n");
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0], "host/c.flv?next=other/x");  // every "http://" removed
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_FALSE(downloads[0].replayCapturedRequest);
    EXPECT_EQ(downloads[0].url, "http://host/c.flv?next=http://other/x");
    EXPECT_EQ(downloads[0].filePath, dir / "saved.flv");
    EXPECT_EQ(downloads[0].expectedSize, 1500000);
    EXPECT_EQ(list.Slot(2).rowImage, 2);
    EXPECT_EQ(services.Rows(handle, kVideoListId)[0].image, 2);
    EXPECT_TRUE(services.Messages().empty());
    EXPECT_EQ(list.Count(), 3);  // the entry stays
}

TEST_F(VideoActionsTest, AStreamIsSavedAsMp4ByFfmpegFromItsPlaylist) {
    settings.configFilePath = dir.Write("Tarnwick/Tarnwick.ini", "[Tarnwick]\nFFmpegExe=/opt/ffmpeg/bin/ffmpeg\n");
    DetectedVideo stream{"http://host/live/master.m3u8", "", "", "hls", "t", 0};
    stream.extent = VideoExtent::Stream;
    stream.totalSize = 400000;
    stream.segments = 5;
    list.AddDetectedVideo(stream);
    services.QueueSaveFileAnswer(dir / "show.mp4");
    actions.OnDownload();
    const auto asked = services.SaveRequests();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].defaultExtension, "mp4");
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_TRUE(downloads[0].stream);
    EXPECT_EQ(downloads[0].ffmpegPath, "/opt/ffmpeg/bin/ffmpeg");
    EXPECT_EQ(downloads[0].url, "http://host/live/master.m3u8");
    EXPECT_EQ(ignored, std::vector<std::string>{"host/live/master.m3u8"});
    // Preview plays the playlist.
    actions.OnPreview();
    ASSERT_EQ(services.StartedPrograms().size(), 1u);
    EXPECT_EQ(services.StartedPrograms()[0].arguments, std::vector<std::string>{"http://host/live/master.m3u8"});
}

TEST_F(VideoActionsTest, CancelledOrFailedDownloadGoesBackToPictureZeroWithAMessage) {
    Add("host/a.mp4", 200000);
    dialogResult = kIdCancel;
    services.QueueSaveFileAnswer(dir / "a.mp4");
    int imageDuring = -1;
    duringDialog = [&] { imageDuring = list.Slot(0).rowImage; };
    actions.OnDownload();
    EXPECT_EQ(imageDuring, 1);
    EXPECT_EQ(list.Slot(0).rowImage, 0);
    ASSERT_EQ(services.Messages().size(), 1u);
    EXPECT_EQ(services.Messages()[0].text, "Video Download canceled.");
    EXPECT_EQ(services.Messages()[0].caption, "Tarnwick");
    EXPECT_EQ(services.Messages()[0].type, 0u);

    // Not found on the server: no file, so no finished picture, and the user is told why.
    dialogResult = 4;
    services.QueueSaveFileAnswer(dir / "a.mp4");
    actions.OnDownload();
    EXPECT_EQ(list.Slot(0).rowImage, 0);
    ASSERT_EQ(services.Messages().size(), 2u);
    EXPECT_THAT(services.Messages()[1].text, ::testing::HasSubstr("Response Code:404"));
    EXPECT_THAT(services.Messages()[1].text, ::testing::HasSubstr("no longer has this video"));
}

TEST_F(VideoActionsTest, ThePictureFollowsItsEntryWhenNewVideosShiftTheSlots) {
    for (int i = 0; i < 25; ++i) Add("host/v" + std::to_string(i), 200000 + i);
    services.SelectRow(handle, kVideoListId, 20);  // slot 4: host/v4
    services.QueueSaveFileAnswer(dir / "v4.mp4");
    // The save dialog's event loop lets new videos in too: the running picture must follow the entry.
    services.SetWhileSaveDialogOpen([&] { Add("host/early", 800000); });  // evicts v0
    int imageDuring = -1;
    duringDialog = [&] {
        imageDuring = RowImageOfUrl("http://host/v4");
        for (int i = 0; i < 3; ++i) Add("host/new" + std::to_string(i), 900000 + i);  // evicts v1..v3
    };
    actions.OnDownload();
    EXPECT_EQ(imageDuring, 1);
    EXPECT_EQ(RowImageOfUrl("http://host/v4"), 2);
    EXPECT_EQ(RowImageOfUrl("http://host/early"), 0);
    for (int i = 3; i < 25; ++i) {
        if (i != 4 && list.FindByUrl("http://host/v" + std::to_string(i)) != -1) {
            EXPECT_EQ(RowImageOfUrl("http://host/v" + std::to_string(i)), 0) << i;
        }
    }
}

TEST_F(VideoActionsTest, SaveDialogFilterExtensionAndFolderFollowTheType) {
    SaveFileRequest flv = SaveVideoRequest("flv", settings);
    EXPECT_EQ(flv.title, "Save Video As...");
    ASSERT_EQ(flv.filters.size(), 1u);
    EXPECT_EQ(flv.filters[0], (std::pair<std::string, std::string>{"FLV File (*.flv)", "*.flv"}));
    EXPECT_EQ(flv.defaultExtension, "flv");
    EXPECT_EQ(flv.initialFolder, "/videos");
    EXPECT_TRUE(flv.promptOverwrite);

    SaveFileRequest avi = SaveVideoRequest("avi", settings);
    EXPECT_EQ(avi.filters[0].first, "AVI File (*.avi)");
    EXPECT_EQ(avi.initialFolder, "/avi-videos");

    SaveFileRequest unknown = SaveVideoRequest("???", settings);
    EXPECT_EQ(unknown.filters[0], (std::pair<std::string, std::string>{"File (*.*)", "*.*"}));
    EXPECT_EQ(unknown.defaultExtension, "");

    SaveFileRequest longType = SaveVideoRequest("vnd.some-very-long-type", settings);
    EXPECT_EQ(longType.filters[0].second, "*.*");

    settings.configFilePath = dir / "none.ini";
    testing::ScopedEnv home("HOME", "/home/user");
    EXPECT_EQ(SaveVideoRequest("mp4", settings).initialFolder, "/home/user");
}

TEST_F(VideoActionsTest, PreviewRegistersTheUrlAndStartsThePlayerWithTheUrlAlone) {
    Add("host/a.mp4?x=1;rm -rf /", 200000);
    actions.OnPreview();
    ASSERT_EQ(services.StartedPrograms().size(), 1u);
    EXPECT_EQ(services.StartedPrograms()[0].program, "/usr/bin/ffplay");
    EXPECT_EQ(services.StartedPrograms()[0].arguments, (std::vector<std::string>{"http://host/a.mp4?x=1;rm -rf /"}));
    EXPECT_EQ(ignored, (std::vector<std::string>{"host/a.mp4?x=1;rm -rf /"}));

    LaunchPlayer(services, "/usr/bin/ffplay", "  http://host/b.mp4 \t");
    EXPECT_EQ(services.StartedPrograms()[1].arguments, (std::vector<std::string>{"http://host/b.mp4"}));
    LaunchPlayer(services, "/usr/bin/ffplay", "   ");
    EXPECT_EQ(services.StartedPrograms().size(), 2u);
}

TEST_F(VideoActionsTest, PreviewIsDisabledWhileASharingSiteVideoIsSelected) {
    Add("host/a.mp4", 200000);
    Add("www.youtube.com/videoplayback?id=7", 300000);
    actions.OnListItemChanged();
    EXPECT_FALSE(services.Control(handle, kPreviewButtonId).enabled);
    services.SelectRow(handle, kVideoListId, 1);
    actions.OnListItemChanged();
    EXPECT_TRUE(services.Control(handle, kPreviewButtonId).enabled);

    services.SelectRow(handle, kVideoListId, 0);
    services.QueueSaveFileAnswer(dir / "yt.mp4");
    actions.OnDownload();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_TRUE(downloads[0].replayCapturedRequest);
    EXPECT_EQ(downloads[0].requestText, "GET / HTTP/1.1\r\n\r\n");
}

// The replay speaks plain HTTP: a sharing-site video caught over HTTPS goes through the normal
// transfer, its captured request kept with it.
TEST_F(VideoActionsTest, ASharingSiteVideoCaughtOverHttpsIsFetchedByItsAddress) {
    list.AddDetectedVideo(
        {"https://www.youtube.com/videoplayback?id=8", "GET / HTTP/1.1\r\n\r\n", "300000\r\n", "mp4\r\n", "t", 0});
    services.QueueSaveFileAnswer(dir / "yt.mp4");
    actions.OnDownload();
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_FALSE(downloads[0].replayCapturedRequest);
    EXPECT_EQ(downloads[0].url, "https://www.youtube.com/videoplayback?id=8");
    EXPECT_EQ(downloads[0].requestText, "GET / HTTP/1.1\r\n\r\n");
}

TEST_F(VideoActionsTest, RemoveDropsTheSelectedEntry) {
    Add("host/a.mp4", 200000);
    Add("host/b.mp4", 300000);
    services.SelectRow(handle, kVideoListId, 1);
    actions.OnRemove();
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Slot(0).url, "http://host/b.mp4");
}

}  // namespace
}  // namespace tarnwick
