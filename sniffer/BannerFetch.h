// SPDX-License-Identifier: GPL-3.0-or-later
// The banner fetch of a window that is opening: runs on a thread of its own, so the window never waits
// for the maker's site, and tells when a fresh banner is in place.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "sniffer/BannerFiles.h"

namespace tarnwick {

class BannerFetch {
public:
    // fresh runs on the fetch's thread after a complete fetch has replaced image.gif.
    BannerFetch(std::string url, std::string folder, BannerFetchLimits limits, std::function<void()> fresh);
    // Abandons a fetch still running (image.gif stays as it was) and waits for its thread.
    ~BannerFetch();
    BannerFetch(const BannerFetch&) = delete;
    BannerFetch& operator=(const BannerFetch&) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace tarnwick
