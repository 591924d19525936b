// Headless saving: downloads every accepted video into a folder, one at a time, off the capture threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sniffer/SniffedVideo.h"

namespace tarnwick {

class HttpDownloader;
class RawRequestDownloader;

class HeadlessSaver {
public:
    // ignoreEverywhere registers a URL (no scheme) once with every capture session; print writes one
    // output line (the caller serialises it with its other output). A download fails when nothing
    // arrives for stallLimitMs.
    HeadlessSaver(std::string folder, std::function<void(const std::string&)> ignoreEverywhere,
                  std::function<void(const std::string&)> print, uint32_t stallLimitMs = 60 * 1000);
    ~HeadlessSaver();
    HeadlessSaver(const HeadlessSaver&) = delete;
    HeadlessSaver& operator=(const HeadlessSaver&) = delete;

    // Queues the video and returns at once; safe from any thread.
    void Enqueue(const SniffedVideo& video);
    // Every queued video has been saved or has failed.
    bool Idle() const;
    // Called on the worker's thread whenever it has run out of work; it must only wake someone.
    void SetIdleNotifier(std::function<void()> notifier);
    // Cancels the running download and drops the queue; returns when the worker has ended.
    void Stop();

    // The last segment of the URL's path, made safe as a file name: no separators or control
    // characters, no leading dot, at most 120 bytes; "video.<type>" when nothing usable is left.
    static std::string FileNameFor(const std::string& url, const std::string& type);
    // folder/name, or folder/"name (2).ext", "name (3).ext"... when taken; reserves it by creating it.
    static std::string ReserveUniquePath(const std::string& folder, const std::string& name);

private:
    void Run();
    void Save(const SniffedVideo& video);

    std::string folder_;
    uint32_t stallLimitMs_;
    std::function<void(const std::string&)> ignoreEverywhere_;
    std::function<void(const std::string&)> print_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SniffedVideo> queue_;
    bool busy_ = false;
    std::function<void()> idleNotifier_;
    bool stopping_ = false;
    HttpDownloader* runningHttp_ = nullptr;
    RawRequestDownloader* runningRaw_ = nullptr;
    std::thread worker_;
};

}  // namespace tarnwick
