// SPDX-License-Identifier: GPL-3.0-or-later
// What the window's buttons do with the selected video: preview, download, remove.
#include "sniffer/VideoActions.h"

#include <cctype>
#include <cstdio>

#include "config/StartupConfiguration.h"
#include "config/UserDataFolder.h"
#include "platform/ShowMessage.h"
#include "resources/StringTable.h"

namespace tarnwick {
namespace {

// The filter text had to fit a 50-character buffer with its two closing zeros.
constexpr size_t kFilterBufferSize = 50;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    return home && *home ? home : "/";
}

}  // namespace

std::string CleanUrl(const std::string& url) {
    size_t first = 0, last = url.size();
    while (first < last && std::isspace(static_cast<unsigned char>(url[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(url[last - 1]))) --last;
    return url.substr(first, last - first);
}

std::string IgnoreForm(const std::string& url) {
    std::string form = CleanUrl(url);
    const std::string scheme = "http://";
    for (size_t at = form.find(scheme); at != std::string::npos; at = form.find(scheme, at))
        form.erase(at, scheme.size());
    return form;
}

std::string UrlSideFilePath(const std::string& tempFolder, int slot, int64_t size) {
    return tempFolder + "/Sniffer_" + std::to_string(slot) + "_" + std::to_string(size) + ".txt";
}

std::string SaveTypeOf(const SniffedVideo& entry) {
    return entry.isStream ? "mp4" : entry.type;
}

SaveFileRequest SaveVideoRequest(const std::string& type, const AppSettings& settings) {
    SaveFileRequest request;
    request.title = "Save Video As...";
    request.promptOverwrite = true;
    std::string shortType = type.substr(0, kFilterBufferSize - 1);
    // "%s File (*.%s)" + "*.%s" + the separators and the two closing zeros
    bool fits = 3 * shortType.size() + 15 <= kFilterBufferSize;
    if (type == "???" || !fits) {
        // A type too long for the filter falls back to all files rather than a cut pattern.
        request.filters = {{"File (*.*)", "*.*"}};
    } else {
        request.filters = {{Upper(shortType) + " File (*." + shortType + ")", "*." + shortType}};
    }
    request.defaultExtension = type == "???" ? "" : type;
    std::string key = type == "avi" ? "CurrentFilePath" : "ProjectFilePath";
    request.initialFolder = ReadConfigValue(settings, key, HomeFolder());
    return request;
}

std::string AskSaveVideoPath(WindowServices& services, WindowHandle owner, const std::string& type,
                             const AppSettings& settings) {
    return services.AskSaveFileName(owner, SaveVideoRequest(type, settings));
}

void LaunchPlayer(WindowServices& services, const std::string& playerPath, const std::string& url) {
    std::string clean = CleanUrl(url);
    if (clean.empty()) return;
    services.StartProgram(playerPath, {clean});
}

void WriteTextLine(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return;
    std::fprintf(file, "%s\n", text.c_str());
    std::fclose(file);
}

VideoActions::VideoActions(WindowServices& services, WindowHandle window, SniffedVideoList& list,
                           const AppSettings& settings, IgnoreRegistrar ignoreEverywhere,
                           DownloadDialogRunner runDialog)
    : services_(services),
      window_(window),
      list_(list),
      settings_(settings),
      ignoreEverywhere_(std::move(ignoreEverywhere)),
      runDialog_(std::move(runDialog)) {}

void VideoActions::OnPreview() {
    int row = list_.GetSelectedRow();
    if (row == -1) return;
    SniffedVideo entry = list_.Slot(list_.SlotOfRow(row));
    if (ignoreEverywhere_) ignoreEverywhere_(IgnoreForm(entry.url));
    LaunchPlayer(services_, settings_.playerPath, entry.url);
}

void VideoActions::OnRemove() {
    int row = list_.GetSelectedRow();
    if (row == -1) return;
    list_.RemoveAt(list_.SlotOfRow(row));
}

void VideoActions::OnDownload() {
    int row = list_.GetSelectedRow();
    if (row == -1) return;
    DownloadVideo(list_.SlotOfRow(row));
}

void VideoActions::OnListItemChanged() {
    int row = list_.GetSelectedRow();
    if (row == -1) return;
    SniffedVideo entry = list_.Slot(list_.SlotOfRow(row));
    services_.EnableControl(window_, SniffedVideoList::kPreviewButton, !entry.isYouTube);
}

void VideoActions::DownloadVideo(int slot) {
    SniffedVideo entry = list_.Slot(slot);
    std::string path = AskSaveVideoPath(services_, window_, SaveTypeOf(entry), settings_);
    if (path.empty()) return;
    // The save dialog's event loop let new detections shift the slots: every picture change from here on
    // follows the entry's serial, and an entry that has left the list gets none.
    int now = list_.FindBySerial(entry.serial);
    std::string url = CleanUrl(entry.url);
    WriteTextLine(UrlSideFilePath(settings_.tempFolder, now != -1 ? now : slot, entry.size), url);

    DownloadRequest request;
    request.replayCapturedRequest = ReplaysCapturedRequest(entry);
    request.stream = entry.isStream;
    request.ffmpegPath = StreamCopierPath(settings_.configFilePath);
    request.url = url;
    request.requestText = entry.requestText;
    request.filePath = path;
    request.expectedSize = entry.size;
    request.stallLimitMs = DownloadStallLimitMs(settings_.configFilePath);
    // Registered before the transfer starts, so our own fetch is swallowed once by every detector.
    if (ignoreEverywhere_) ignoreEverywhere_(IgnoreForm(url));

    if (now != -1) list_.SetRowImage(now, 1);
    int result = runDialog_ ? runDialog_(request) : kIdCancel;
    now = list_.FindBySerial(entry.serial);
    // Only a whole file on disk earns the finished picture.
    if (now != -1) list_.SetRowImage(now, result == kIdOk ? 2 : 0);
    if (result == kIdOk) return;
    if (result == kDownloadResultNotFound) {
        ShowMessage(services_, window_, kAppCaption, kMbOk | kMbIconExclamation, "%s\n\n%s",
                    "The server no longer has this video.", FormatString(1611, "404").c_str());
        return;
    }
    ShowMessage(services_, window_, kAppCaption, kMbOk, "%s", kVideoDownloadCanceled);
}

}  // namespace tarnwick
