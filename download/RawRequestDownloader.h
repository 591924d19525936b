// SPDX-License-Identifier: GPL-3.0-or-later
// Replays a captured HTTP request over a plain TCP connection and saves the response body to a file.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "config/DownloadStallLimit.h"
#include "download/DownloadTargetFile.h"
#include "download/OwnSocket.h"

namespace tarnwick {

class RawRequestDownloader {
public:
    RawRequestDownloader() = default;
    virtual ~RawRequestDownloader();
    RawRequestDownloader(const RawRequestDownloader&) = delete;
    RawRequestDownloader& operator=(const RawRequestDownloader&) = delete;

    // 1 after a complete 2xx response body was saved; 0 after a failure or a cancel (ErrorText says which).
    // The body is written beside the target and takes its place only on success, so a failure leaves an
    // existing file as it was.
    int Download();
    // From any thread; a download waiting on a silent server stops within a fraction of a second.
    void Abort();
    std::string ErrorText() const;

    // The host of `url`: every "http://" removed, cut before the first "/" (a written port stays).
    static std::string HostOf(const std::string& url);

    std::string url;
    std::string requestText;
    std::string filePath;
    int64_t expectedSize = 0;
    int32_t promptOverwrite = 1;
    std::atomic<int32_t> abortFlag{0};
    int outputFile = -1;
    // The server's TCP port; the captured requests all went to 80.
    uint16_t port = 80;
    // The download fails when nothing has arrived for this long (connecting included); 0: no limit.
    uint32_t stallLimitMs = kDefaultStallLimitMs;

protected:
    virtual bool OnData(const void* block, uint32_t length);
    virtual void OnProgress(int64_t bytes, int32_t totalKnown, int64_t total);
    virtual void SetStatusText(const std::string& text);
    virtual void SetStatusTextWith(int messageId, const std::string& text);
    virtual void SetStatusTextById(int messageId);

private:
    int Fail(std::string text);
    bool Connect(const std::string& host, OwnSocket& connection);
    bool SendAll(int socket);
    bool WriteBody(const char* data, size_t length);
    int Receive(int socket);

    mutable std::mutex errorLock_;
    std::string errorText_;
    DownloadTargetFile targetFile_;
};

}  // namespace tarnwick
