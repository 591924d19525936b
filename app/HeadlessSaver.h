// SPDX-License-Identifier: GPL-3.0-or-later
// Headless saving: downloads every accepted video into a folder, off the capture threads: files one at a time,
// streams beside them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/DownloadStallLimit.h"
#include "sniffer/SniffedVideo.h"

namespace tarnwick {

class HttpDownloader;
class RawRequestDownloader;
class StreamDownloader;

// Files are saved one at a time by one worker. A stream is copied by ffmpeg for as long as it plays (a live
// stream for as long as it lasts), so streams are copied beside the files, at most kMaxStreamCopies at a
// time, and never hold up the files queued behind them.
class HeadlessSaver {
public:
    static constexpr int kMaxStreamCopies = 2;

    // ignoreEverywhere registers a URL (no scheme) once with every capture session; print writes one
    // output line (the caller serialises it with its other output). A download fails when nothing
    // arrives for stallLimitMs.
    HeadlessSaver(std::string folder, std::function<void(const std::string&)> ignoreEverywhere,
                  std::function<void(const std::string&)> print, uint32_t stallLimitMs = kDefaultStallLimitMs);
    ~HeadlessSaver();
    HeadlessSaver(const HeadlessSaver&) = delete;
    HeadlessSaver& operator=(const HeadlessSaver&) = delete;

    // A stream is saved with ffmpeg (ffmpegPath: a bare name is looked up in PATH) once it has been quiet
    // for quietMs: no segment counted into it for that long.
    void SetStreamOptions(std::string ffmpegPath, uint32_t quietMs);

    // Queues the video and returns at once; a stream waits until it is quiet. Safe from any thread.
    // The video's captured request is sent along (its cookies, referrer, agent), never printed.
    void Enqueue(const SniffedVideo& video);
    // A stream's figures grew: its quiet time starts anew.
    void Grew(const SniffedVideo& video);
    // Saves every stream still waiting without waiting for it to go quiet (a replay has ended).
    void SaveStreamsNow();
    // Every queued video and stream has been saved or has failed.
    bool Idle() const;
    // Called on a worker's thread whenever it has finished a video; it must only wake someone.
    void SetIdleNotifier(std::function<void()> notifier);
    // Cancels the running download and drops the queue; returns when the worker has ended.
    void Stop();

    // The last segment of the URL's path, made safe as a file name: no separators or control
    // characters, no leading dot, at most 120 bytes; "video.<type>" when nothing usable is left.
    static std::string FileNameFor(const std::string& url, const std::string& type);
    // The same for a stream, saved as MP4: the playlist's name with ".mp4" in place of its extension.
    static std::string StreamFileNameFor(const std::string& url);
    // folder/name, or folder/"name (2).ext", "name (3).ext"... when taken; reserves it by creating it.
    static std::string ReserveUniquePath(const std::string& folder, const std::string& name);

private:
    using Clock = std::chrono::steady_clock;
    struct WaitingStream {
        SniffedVideo video;
        Clock::time_point changed;
    };

    void Run();
    void RunStreams();
    // Moves the streams quiet since before `now` to the stream queue; the time the next one will be.
    std::optional<Clock::time_point> QueueQuietStreamsLocked(Clock::time_point now);
    void Save(const SniffedVideo& video);
    // ffmpeg copies the stream into path; the reason when it did not.
    bool SaveStream(const SniffedVideo& video, const std::string& url, const std::string& path, std::string& failure);
    void Finished();

    std::string folder_;
    uint32_t stallLimitMs_;
    std::function<void(const std::string&)> ignoreEverywhere_;
    std::function<void(const std::string&)> print_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SniffedVideo> queue_;
    std::deque<SniffedVideo> streamQueue_;         // quiet streams waiting for a copier
    std::map<int, WaitingStream> waitingStreams_;  // by serial
    std::string ffmpegPath_ = "ffmpeg";
    std::chrono::milliseconds streamQuiet_{10 * 1000};
    bool busy_ = false;
    int streamsCopying_ = 0;
    std::function<void()> idleNotifier_;
    bool stopping_ = false;
    HttpDownloader* runningHttp_ = nullptr;
    RawRequestDownloader* runningRaw_ = nullptr;
    std::set<StreamDownloader*> runningStreams_;
    std::thread worker_;
    std::vector<std::thread> streamWorkers_;
};

}  // namespace tarnwick
