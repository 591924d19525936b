// URLs whose next detections are swallowed, so the program's own fetch of a video is not listed again.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace tarnwick {

// Filled from the window's thread, consumed on the capture thread.
class IgnoreList {
public:
    // Appends url count times (nothing for a count of 0 or less). url is in the detector's form:
    // host and path without a scheme.
    void IgnoreUrl(const std::string& url, int count);
    // Erases the first entry equal to url and returns true, or returns false when there is none.
    bool ConsumeIfPresent(const std::string& url);
    void Clear();
    size_t Size() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> urls_;
    // Mirrors urls_.size() so the capture thread's check of an empty list, by far the common case,
    // takes no lock. Written under the mutex after urls_ changes.
    std::atomic<size_t> count_{0};
};

}  // namespace tarnwick
