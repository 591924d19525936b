// SPDX-License-Identifier: GPL-3.0-or-later
// What the window's buttons do with the selected video: preview, download, remove.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/AppSettings.h"
#include "config/DownloadStallLimit.h"
#include "platform/WindowServices.h"
#include "sniffer/SniffedVideoList.h"

namespace tarnwick {

// One download as the window hands it to a progress dialog.
struct DownloadRequest {
    bool replayCapturedRequest = false;  // the sharing site's videos: replay the captured request
    bool stream = false;                 // an HLS or DASH stream: copied by ffmpeg from its playlist
    std::string ffmpegPath = "ffmpeg";
    std::string url;
    // The captured request: replayed whole for the sharing site's videos; for every other download its
    // cookies, referrer, origin, agent and authorization are sent again. A secret: never logged or written.
    std::string requestText;
    std::string filePath;
    int64_t expectedSize = 0;
    // The transfer fails when nothing arrives for this long.
    uint32_t stallLimitMs = kDefaultStallLimitMs;
};

// Runs the matching download dialog modally and returns its result: 1 = the whole file is saved,
// 2 = cancelled or failed (the dialog has said why), 4 = the server does not have the file (HTTP 404).
using DownloadDialogRunner = std::function<int(const DownloadRequest&)>;
// Registers a URL (host and path, no scheme) once with every capture session's ignore list.
using IgnoreRegistrar = std::function<void(const std::string& url)>;

inline constexpr const char* kVideoDownloadCanceled = "Video Download canceled.";
inline constexpr int kDownloadResultNotFound = 4;

class VideoActions {
public:
    VideoActions(WindowServices& services, WindowHandle window, SniffedVideoList& list, const AppSettings& settings,
                 IgnoreRegistrar ignoreEverywhere, DownloadDialogRunner runDialog);

    void OnPreview();
    void OnRemove();
    void OnDownload();
    // Preview follows the selected entry: disabled for the sharing site's videos.
    void OnListItemChanged();
    void DownloadVideo(int slot);

private:
    WindowServices& services_;
    WindowHandle window_;
    SniffedVideoList& list_;
    const AppSettings& settings_;
    IgnoreRegistrar ignoreEverywhere_;
    DownloadDialogRunner runDialog_;
};

// The entry's URL without white space at either end.
std::string CleanUrl(const std::string& url);
// The form the detectors compare: the clean URL with every "http://" removed ("https://" stays).
std::string IgnoreForm(const std::string& url);
// "<temp>/Sniffer_<slot>_<size>.txt"
std::string UrlSideFilePath(const std::string& tempFolder, int slot, int64_t size);
// The type a listed entry is saved as: its own, or MP4 for a stream (ffmpeg copies it into one).
std::string SaveTypeOf(const SniffedVideo& entry);
// The "Save Video As..." dialog's title, filter, default extension and initial folder for a type.
SaveFileRequest SaveVideoRequest(const std::string& type, const AppSettings& settings);
std::string AskSaveVideoPath(WindowServices& services, WindowHandle owner, const std::string& type,
                             const AppSettings& settings);
// Starts the player on the URL as its only argument, never through a shell; nothing is waited for.
void LaunchPlayer(WindowServices& services, const std::string& playerPath, const std::string& url);
// Creates or replaces the file with the text and one line end; does nothing when it cannot.
void WriteTextLine(const std::string& path, const std::string& text);

}  // namespace tarnwick
