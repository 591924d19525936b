// SPDX-License-Identifier: GPL-3.0-or-later
// Writes output lines on a thread of its own, so that no producer waits for whoever reads the output.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tarnwick {

// A capture thread prints while it holds the video list's lock; a reader of standard output that
// stalls must not stall it. Every write waits in poll() together with a wake-up event, so Stop() ends
// a write to a reader that never reads.
class LinePrinter {
public:
    static constexpr size_t kDefaultQueueBytes = 4u << 20;

    // descriptor: where the lines go (not closed). Producers wait once maxQueuedBytes are queued.
    explicit LinePrinter(int descriptor, size_t maxQueuedBytes = kDefaultQueueBytes);
    // Stop()s.
    ~LinePrinter();
    LinePrinter(const LinePrinter&) = delete;
    LinePrinter& operator=(const LinePrinter&) = delete;

    // Queues line and a line end. Returns at once unless the queue is full; then it waits for room,
    // or until Stop(), after which lines are dropped. Any thread.
    void Print(const std::string& line);
    // Called on the printer's thread whenever the queue has run empty; it must only wake someone.
    void SetDrainedNotifier(std::function<void()> notifier);
    // Every queued line has been written.
    bool Drained() const;
    // Waits until Drained(), or until nothing could be written for stallLimit; true when drained.
    bool WaitDrained(std::chrono::milliseconds stallLimit);
    // From now on Print() never waits: a line that finds the queue full is dropped.
    void StopWaitingForRoom();
    // Drops what is queued, ends a waiting write at once and joins the thread. Lines printed later are dropped.
    void Stop();

private:
    void Run();
    // False when stopped or when the output is gone.
    bool WriteAll(const std::string& text);

    int descriptor_;
    bool regularFile_ = false;
    int wakeUp_ = -1;
    size_t maxQueuedBytes_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool stopping_ = false;
    bool neverWait_ = false;
    std::chrono::steady_clock::time_point lastProgress_;
    std::function<void()> drainedNotifier_;
    std::thread thread_;
};

}  // namespace tarnwick
