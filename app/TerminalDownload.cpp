// SPDX-License-Identifier: GPL-3.0-or-later
// Download of one URL from the terminal with a progress line; Ctrl-C cancels.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "app/FrontEnds.h"
#include "app/StopSignalWatcher.h"
#include "config/StartupConfiguration.h"
#include "download/HttpDownloader.h"
#include "download/ProgressTracker.h"
#include "download/TransferTexts.h"
#include "resources/StringTable.h"

namespace tarnwick {
namespace {

class TerminalDownloader final : public HttpDownloader {
public:
    std::string Message() const { return message_; }

    // The line once more with the final figures, then a line break.
    void FinishLine() {
        if (!drawn_) return;
        Draw();
        std::fputc('\n', stderr);
    }

protected:
    void OnSystemError(int messageId, uint32_t code) override {
        message_ = FormatString(messageId, std::to_string(code));
        std::string description = LastErrorDescription();
        if (!description.empty()) message_ += " (" + description + ")";
    }
    void OnHttpError(int messageId, uint32_t number) override {
        message_ = FormatString(messageId, std::to_string(number));
    }
    void OnProgress(uint64_t bytes, int32_t known, uint64_t total) override {
        ProgressTracker::Update update = tracker_.Advance(bytes, known != 0, total);
        if (update.percent) percent_ = std::to_string(*update.percent) + "%";
        if (update.rate) rate_ = TransferRateText(*update.rate);
        if (update.timeLeft)
            timeLeft_ = TimeLeftText(update.timeLeft->seconds, update.timeLeft->copied, update.timeLeft->total);
        copied_ = bytes + resumeOffset;
        uint32_t now = ProgressTracker::TickCount();
        if (!drawn_ || now - lastDrawTick_ >= 1000) {
            Draw();
            drawn_ = true;
            lastDrawTick_ = now;
        }
    }

private:
    void Draw() {
        std::string line = percent_.empty() ? SizeText(copied_) + " copied" : percent_;
        if (!timeLeft_.empty()) line += "  " + timeLeft_;
        if (!rate_.empty()) line += "  " + rate_;
        // Padding wipes what a longer earlier line left behind.
        if (line.size() < lastLength_) line.append(lastLength_ - line.size(), ' ');
        lastLength_ = line.size();
        std::fprintf(stderr, "\r%s", line.c_str());
        std::fflush(stderr);
    }

    std::string message_;
    ProgressTracker tracker_;
    std::string percent_, timeLeft_, rate_;
    uint64_t copied_ = 0;
    uint32_t lastDrawTick_ = 0;
    bool drawn_ = false;
    size_t lastLength_ = 0;
};

}  // namespace

int RunTerminalDownload(const CommandLine& options) {
    TerminalDownloader downloader;
    downloader.url = options.downloadUrl;
    downloader.filePath = options.outputFile;
    downloader.userAgent = kDownloadUserAgent;
    downloader.promptOverwrite = 0;
    downloader.stallLimitMs = DownloadStallLimitMs(UserConfigFilePath());

    // Interrupt and terminate cancel the transfer in an orderly way; the watcher ends with the download.
    StopSignalWatcher stopSignals;
    std::atomic<int> caught{0};
    std::thread watcher([&] {
        if (int signal = stopSignals.Wait()) {
            caught = signal;
            downloader.Abort();
        }
    });
    int result = downloader.DownloadToFile();
    stopSignals.Wake();
    watcher.join();
    downloader.FinishLine();

    if (result == 1) return 0;
    std::string message = downloader.Message();
    if (caught.load() != 0) message = "download cancelled";
    if (message.empty()) message = downloader.LastErrorDescription();
    if (message.empty()) message = "download failed";
    std::fprintf(stderr, "tarnwick: %s\n", message.c_str());
    return 1;
}

}  // namespace tarnwick
