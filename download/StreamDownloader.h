// SPDX-License-Identifier: GPL-3.0-or-later
// Copies an HLS or DASH stream into one file with ffmpeg, without re-encoding.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/DownloadStallLimit.h"

namespace tarnwick {

class FfmpegProgressReader;
class LoopbackRelay;

// ffmpeg runs as a child process with an argument list (never a shell), in a process group of its own
// so that a terminal's Ctrl-C reaches only Tarnwick, which then stops it. It fetches through a LoopbackRelay
// of this download, which makes its connections our own, checks the certificates of HTTPS servers and sends
// the browser's fields. The copy goes to a temporary file beside the target that replaces the target only
// when ffmpeg has finished and the copy is whole.
class StreamDownloader {
public:
    struct Progress {
        int64_t bytesWritten = 0;
        int64_t copiedUs = 0;
        std::optional<int64_t> durationUs;  // nothing for a live stream
    };

    std::string ffmpegPath = "ffmpeg";  // a bare name is looked up in PATH
    std::string url;                    // the playlist's address, with its scheme
    std::string filePath;
    // The browser's request for the playlist (HTTP/1.1 head): its Cookie, Referer, Origin, User-Agent and
    // Authorization are sent again. A secret: never logged or written.
    std::string capturedRequest;
    // The CA certificates that HTTPS servers are checked against; empty: the system's store.
    std::string caBundle;
    // The copy fails when ffmpeg says nothing for this long; 0 waits for ever.
    uint32_t stallLimitMs = kDefaultStallLimitMs;
    // Called on the downloading thread whenever ffmpeg reports.
    std::function<void(const Progress&)> onProgress;

    // 1 when the whole stream is in filePath, 0 otherwise (ErrorText() says why; nothing after Abort()).
    int Download();
    // Stops ffmpeg from any thread; Download() then returns 0 promptly and leaves no partial file.
    void Abort() { aborted_.store(true); }
    bool IsAborted() const { return aborted_.load(); }
    std::string ErrorText() const;

    // ffmpeg's arguments after its name: copy every chosen stream of url, fetched through the proxy, into
    // output as `format`.
    static std::vector<std::string> Arguments(const std::string& url, const std::string& output,
                                              const std::string& format, const std::string& proxyUrl);
    // How far short of the stream's duration each copied stream may end and still count as whole.
    static constexpr int64_t kWholeToleranceUs = 500'000;
    // The container ffmpeg writes for a file name: by its extension, MP4 when it names none that fits.
    static std::string FormatFor(const std::string& path);

private:
    void SetError(std::string text);
    // Runs ffmpeg until it ends, is stopped or stalls; true when it ended with status 0 and copied everything.
    bool RunCopier(const std::string& output, const LoopbackRelay& relay);
    // ffmpeg skipped segments only past the last one copied: the copy counts when every stream in it reaches
    // the stream's duration (by ffprobe when it can be run, else by ffmpeg's own figure).
    bool CopiedWhole(const FfmpegProgressReader& reader, const std::string& output) const;

    std::atomic<bool> aborted_{false};
    mutable std::mutex errorLock_;
    std::string error_;
};

}  // namespace tarnwick
