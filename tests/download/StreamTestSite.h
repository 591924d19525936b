// SPDX-License-Identifier: GPL-3.0-or-later
// HLS and DASH streams that ffmpeg makes from its test picture, served on 127.0.0.1 for the stream tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick::test {

// Paths: /hls/master.m3u8 (a master playlist naming /hls/index.m3u8), /dash/manifest.mpd (segments listed in a
// timeline), /stall/index.m3u8 (the same segments, but every one after the first hangs until the site ends),
// /holey/index.m3u8 (its third segment is missing: 404), /dashtpl/manifest.mpd (a static manifest of numbered
// segments of fixed length, no timeline: ffmpeg asks it for one segment past the end), /dashtplholey/ and
// /dashtplshort/ (the same with its second, or its last, video segment missing) and /guarded/... (the HLS
// files, answered 403 without the cookie kCookie and the referrer kReferer).
class StreamTestSite {
public:
    static constexpr double kDurationSeconds = 4.0;
    static constexpr const char* kCookie = "session=s3cret";
    static constexpr const char* kReferer = "http://page.example/watch";

    // One request as the site saw it: the client's port and the time it came (wall clock, milliseconds).
    struct Visit {
        int clientPort = 0;
        int64_t timeMs = 0;
        std::string path;
    };

    StreamTestSite();
    ~StreamTestSite();
    StreamTestSite(const StreamTestSite&) = delete;
    StreamTestSite& operator=(const StreamTestSite&) = delete;

    // Empty when the media were made and the server runs; else why not.
    const std::string& Problem() const { return problem_; }
    std::string Url(const std::string& path) const;
    int Port() const { return port_; }
    // Segment answers so far.
    int Segments() const { return segments_.load(); }
    // Every request so far.
    std::vector<Visit> Visits() const;
    // The folder of the media: hls/, dash/, dashtpl/.
    std::string Folder() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string problem_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<int> segments_{0};
    mutable std::mutex visitsLock_;
    std::vector<Visit> visits_;
};

// The duration ffprobe reads from a media file in seconds, or a negative number when it reads none.
double ProbeDuration(const std::string& path);

}  // namespace tarnwick::test
