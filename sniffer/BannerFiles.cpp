// SPDX-License-Identifier: GPL-3.0-or-later
// The banner's files: where they live and how a fresh banner replaces the last good one.
#include "sniffer/BannerFiles.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "config/StartupConfiguration.h"
#include "config/UserDataFolder.h"
#include "download/HttpDownloader.h"
#include "resources/ProgramFiles.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

// A download that notes when it reached the server and when bytes last arrived, for the watchdog.
class WatchedDownloader : public HttpDownloader {
public:
    WatchedDownloader() { Touch(); }

    bool Connected() const { return connected_.load(); }
    Clock::time_point LastActivity() const { return Clock::time_point(Clock::duration(lastActivity_.load())); }

protected:
    void OnStatusCallback(void*, uint32_t status, const void*, uint32_t) override {
        // A redirect to another site connects anew: its connection time counts from here.
        if (status == kStatusConnected)
            connected_ = true;
        else if (status == kStatusConnecting)
            connected_ = false;
        Touch();
    }
    void OnProgress(uint64_t, int32_t, uint64_t) override { Touch(); }

private:
    void Touch() { lastActivity_ = Clock::now().time_since_epoch().count(); }

    std::atomic<bool> connected_{false};
    std::atomic<Clock::rep> lastActivity_{0};
};

}  // namespace

std::string BannerFolder(const AppSettings& settings) {
    // An installed program's folder is the system's (bin/), even where root could write it.
    if (!IsInstalledCopy(settings.programFolder) && access(settings.programFolder.c_str(), W_OK) == 0)
        return settings.programFolder;
    return EnsureUserDataFolder(kUserFolderName);
}

bool FetchBanner(const std::string& url, const std::string& folder, const BannerFetchLimits& limits,
                 const std::atomic<bool>* stop) {
    WatchedDownloader downloader;
    downloader.url = url;
    downloader.filePath = FreshBannerFile(folder);
    downloader.promptOverwrite = 0;
    downloader.userAgent = kDownloadUserAgent;

    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
        const auto connectLimit = std::chrono::milliseconds(limits.connectMilliseconds);
        const auto stallLimit = std::chrono::milliseconds(limits.stallMilliseconds);
        std::unique_lock lock(mutex);
        while (!done.wait_for(lock, std::chrono::milliseconds(50), [&] { return finished; })) {
            auto quiet = Clock::now() - downloader.LastActivity();
            if ((stop && stop->load()) || quiet > (downloader.Connected() ? stallLimit : connectLimit)) {
                downloader.Abort();
                return;
            }
        }
    });
    int result = downloader.DownloadToFile();
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    done.notify_one();
    watchdog.join();

    if (result == 1) {
        // rename() replaces image.gif in one step: a reader sees the old banner or the new one.
        return std::rename(FreshBannerFile(folder).c_str(), BannerFile(folder).c_str()) == 0;
    }
    std::remove(FreshBannerFile(folder).c_str());
    return false;
}

}  // namespace tarnwick
