// The bytes all HTTP/2 connections of one capture thread may hold for their streams together.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tarnwick {

// Shared by the readers of one capture thread (never across threads). A reader that cannot take what a
// new stream needs does not follow that stream.
class Http2MemoryBudget {
public:
    static constexpr size_t kDefaultLimit = 64u << 20;

    explicit Http2MemoryBudget(size_t limit = kDefaultLimit) : limit_(limit) {}

    bool Take(size_t bytes) {
        if (bytes > limit_ - used_) return false;
        used_ += bytes;
        return true;
    }
    void Give(size_t bytes) { used_ -= std::min(bytes, used_); }
    size_t Used() const { return used_; }

private:
    size_t limit_;
    size_t used_ = 0;
};

}  // namespace tarnwick
