// SPDX-License-Identifier: GPL-3.0-or-later
// The banner fetch of a window that is opening, on a thread of its own.
#include "sniffer/BannerFetch.h"

namespace tarnwick {

BannerFetch::BannerFetch(std::string url, std::string folder, BannerFetchLimits limits, std::function<void()> fresh)
    : thread_([this, url = std::move(url), folder = std::move(folder), limits, fresh = std::move(fresh)] {
          if (FetchBanner(url, folder, limits, &stop_) && fresh && !stop_) fresh();
      }) {}

BannerFetch::~BannerFetch() {
    stop_ = true;
    thread_.join();
}

}  // namespace tarnwick
