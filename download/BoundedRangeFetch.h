// SPDX-License-Identifier: GPL-3.0-or-later
// A few bytes of a video fetched into memory: one byte range, at most a given number of bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "download/HttpDownloader.h"

namespace tarnwick {

// Sends the browser's fields again as a download does and goes through Tarnwick's own sockets, so the
// capture never lists or grows an entry from it. A server that ignores the range answers 200 with the
// file from its start: the bytes are then the file's first ones (FromStart()), also when a later range
// was asked for.
class BoundedRangeFetch final : public HttpDownloader {
public:
    // stop: when it becomes true the fetch ends within about a second; may be null.
    explicit BoundedRangeFetch(const std::atomic<bool>* stop = nullptr) : stop_(stop) {}

    // Bytes first..last (inclusive) of url, at most maxBytes of them. True when any arrived: the answer
    // ended, or maxBytes were reached. Else Problem() says why.
    bool Fetch(int64_t first, int64_t last, size_t maxBytes);

    const std::string& Bytes() const { return bytes_; }
    // The answer held the file from its first byte (200), not the range asked for.
    bool FromStart() const { return fromStart_; }
    // The whole file's size as the answer gave it (Content-Range, or Content-Length of a 200).
    std::optional<int64_t> TotalSize() const { return totalSize_; }
    std::string Problem() const;

protected:
    std::string GetRequestHeaders() override;
    bool IsAborted() override;
    void OnContentLength(uint64_t length) override;
    bool OnData(const void* block, uint32_t length) override;

private:
    const std::atomic<bool>* stop_;
    int64_t first_ = 0;
    int64_t last_ = 0;
    size_t maxBytes_ = 0;
    std::string bytes_;
    bool full_ = false;
    bool fromStart_ = false;
    std::optional<int64_t> totalSize_;
    std::optional<uint64_t> contentLength_;
};

}  // namespace tarnwick
