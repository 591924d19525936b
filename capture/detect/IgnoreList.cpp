// URLs whose next detections are swallowed, so the program's own fetch of a video is not listed again.
#include "capture/detect/IgnoreList.h"

#include <algorithm>

namespace tarnwick {

void IgnoreList::IgnoreUrl(const std::string& url, int count) {
    std::lock_guard lock(mutex_);
    for (int i = 0; i < count; ++i) urls_.push_back(url);
    count_.store(urls_.size(), std::memory_order_release);
}

bool IgnoreList::ConsumeIfPresent(const std::string& url) {
    if (count_.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard lock(mutex_);
    auto it = std::find(urls_.begin(), urls_.end(), url);
    if (it == urls_.end()) return false;
    urls_.erase(it);
    count_.store(urls_.size(), std::memory_order_release);
    return true;
}

void IgnoreList::Clear() {
    std::lock_guard lock(mutex_);
    urls_.clear();
    count_.store(0, std::memory_order_release);
}

size_t IgnoreList::Size() const {
    std::lock_guard lock(mutex_);
    return urls_.size();
}

}  // namespace tarnwick
