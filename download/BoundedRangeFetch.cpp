// SPDX-License-Identifier: GPL-3.0-or-later
// A few bytes of a video fetched into memory: one byte range, at most a given number of bytes.
#include "download/BoundedRangeFetch.h"

#include <algorithm>

namespace tarnwick {

bool BoundedRangeFetch::Fetch(int64_t first, int64_t last, size_t maxBytes) {
    first_ = std::max<int64_t>(first, 0);
    last_ = std::max(last, first_);
    maxBytes_ = maxBytes;
    bytes_.clear();
    full_ = false;
    fromStart_ = false;
    totalSize_.reset();
    contentLength_.reset();
    filePath.clear();
    resumeOffset = 0;
    const bool done = DownloadToFile() == 1;
    const long status = ResponseCode();
    fromStart_ = status == 200;
    if (status == 206)
        totalSize_ = RangeTotal();
    else if (status == 200 && contentLength_)
        totalSize_ = static_cast<int64_t>(*contentLength_);
    // Stopping at maxBytes ends the transfer the way a failed write would: what arrived is what was wanted.
    return (done || (full_ && (status == 200 || status == 206))) && !bytes_.empty();
}

std::string BoundedRangeFetch::Problem() const {
    if (stop_ && stop_->load()) return "stopped";
    std::string problem = LastErrorDescription();
    return problem.empty() ? "the server sent nothing" : problem;
}

std::string BoundedRangeFetch::GetRequestHeaders() {
    return "Range: bytes=" + std::to_string(first_) + "-" + std::to_string(last_) + "\r\n";
}

bool BoundedRangeFetch::IsAborted() {
    return HttpDownloader::IsAborted() || (stop_ && stop_->load());
}

void BoundedRangeFetch::OnContentLength(uint64_t length) {
    contentLength_ = length;
}

bool BoundedRangeFetch::OnData(const void* block, uint32_t length) {
    const size_t room = maxBytes_ - bytes_.size();
    const size_t taken = std::min<size_t>(room, length);
    bytes_.append(static_cast<const char*>(block), taken);
    if (bytes_.size() >= maxBytes_) {
        full_ = true;
        return false;
    }
    return !IsAborted();
}

}  // namespace tarnwick
