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

namespace tarnwick {

std::string BannerFolder(const AppSettings& settings) {
    if (access(settings.programFolder.c_str(), W_OK) == 0) return settings.programFolder;
    return EnsureUserDataFolder(kUserFolderName);
}

bool FetchBanner(const std::string& url, const std::string& folder, int budgetMilliseconds) {
    HttpDownloader downloader;
    downloader.url = url;
    downloader.filePath = FreshBannerFile(folder);
    downloader.promptOverwrite = 0;
    downloader.userAgent = kDownloadUserAgent;

    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!done.wait_for(lock, std::chrono::milliseconds(budgetMilliseconds), [&] { return finished; }))
            downloader.Abort();
    });
    int result = downloader.DownloadToFile();
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    done.notify_one();
    watchdog.join();

    if (result == 1) {
        std::remove(BannerFile(folder).c_str());
        return std::rename(FreshBannerFile(folder).c_str(), BannerFile(folder).c_str()) == 0;
    }
    std::remove(FreshBannerFile(folder).c_str());
    return false;
}

}  // namespace tarnwick
