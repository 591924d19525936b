// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the details of listed videos on two threads of its own, in the order they were listed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "download/MediaDetailsReader.h"

namespace tarnwick {

// At most kThreads entries are fetched and decoded at once, so at most that many decoders run. An entry
// cancelled (removed from the list) before its turn is never fetched; one cancelled meanwhile is stopped,
// and its details are not handed on. Done runs on a worker thread.
class DetailsWorker {
public:
    static constexpr int kThreads = 2;
    // The list holds far fewer entries; more waiting than this are dropped, the oldest first.
    static constexpr size_t kMaxWaiting = 64;

    using Done = std::function<void(int serial, std::shared_ptr<const MediaDetails> details)>;

    DetailsWorker(MediaDetailsReader::Settings settings, Done done);
    ~DetailsWorker();
    DetailsWorker(const DetailsWorker&) = delete;
    DetailsWorker& operator=(const DetailsWorker&) = delete;

    // Any thread.
    void Enqueue(MediaDetailsReader::Request request);
    void Cancel(int serial);
    // Stops every running read and joins the threads; nothing is handed on afterwards.
    void Stop();
    // Nothing waits and nothing runs.
    bool Idle() const;
    // Called (on a worker thread) whenever the worker becomes idle.
    void SetIdleNotifier(std::function<void()> notifier);

private:
    void Run();

    const MediaDetailsReader::Settings settings_;
    const Done done_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<MediaDetailsReader::Request> waiting_;
    std::map<int, std::shared_ptr<std::atomic<bool>>> running_;
    std::function<void()> idleNotifier_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace tarnwick
