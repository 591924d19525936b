// SPDX-License-Identifier: GPL-3.0-or-later
// Writes output lines on a thread of its own, so that no producer waits for whoever reads the output.
#include "app/LinePrinter.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace tarnwick {

namespace {

// Long enough to take a burst of videos in one write, short enough that a video still shows promptly.
constexpr auto kGatherTime = std::chrono::milliseconds(50);

}  // namespace

LinePrinter::LinePrinter(int descriptor, size_t maxQueuedBytes)
    : descriptor_(descriptor), maxQueuedBytes_(maxQueuedBytes) {
    wakeUp_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    struct stat status {};
    regularFile_ = fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
    lastProgress_ = std::chrono::steady_clock::now();
    thread_ = std::thread(&LinePrinter::Run, this);
}

LinePrinter::~LinePrinter() {
    Stop();
    if (wakeUp_ >= 0) close(wakeUp_);
}

void LinePrinter::Print(const std::string& line) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopping_ || neverWait_ || queuedBytes_ < maxQueuedBytes_; });
    if (stopping_ || queuedBytes_ >= maxQueuedBytes_) return;
    queue_.push_back(line + "\n");
    queuedBytes_ += queue_.back().size();
    // Only the first line of a batch wakes the printer; it takes the rest with it.
    if (queue_.size() == 1) changed_.notify_all();
}

void LinePrinter::StopWaitingForRoom() {
    std::lock_guard lock(mutex_);
    neverWait_ = true;
    changed_.notify_all();
}

void LinePrinter::SetDrainedNotifier(std::function<void()> notifier) {
    std::lock_guard lock(mutex_);
    drainedNotifier_ = std::move(notifier);
}

bool LinePrinter::Drained() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() && !writing_;
}

bool LinePrinter::WaitDrained(std::chrono::milliseconds stallLimit) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    for (;;) {
        if (queue_.empty() && !writing_) return true;
        if (stopping_) return false;
        const auto giveUpAt = std::max(lastProgress_, start) + stallLimit;
        if (std::chrono::steady_clock::now() >= giveUpAt) return false;
        changed_.wait_until(lock, giveUpAt);
    }
}

void LinePrinter::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !thread_.joinable()) return;
        stopping_ = true;
        queue_.clear();
        queuedBytes_ = 0;
        changed_.notify_all();
    }
    if (wakeUp_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(wakeUp_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
}

void LinePrinter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        // Everything queued so far goes out in one piece of work.
        std::string text;
        while (!queue_.empty()) {
            text += queue_.front();
            queue_.pop_front();
        }
        writing_ = true;
        lock.unlock();
        const bool written = WriteAll(text);
        lock.lock();
        writing_ = false;
        queuedBytes_ = queuedBytes_ > text.size() ? queuedBytes_ - text.size() : 0;
        if (!written) {
            // The reader is gone for good: nothing more can be shown, and producers must not wait for it.
            stopping_ = true;
            queue_.clear();
            queuedBytes_ = 0;
        }
        changed_.notify_all();
        if (queue_.empty() && drainedNotifier_) drainedNotifier_();
        if (!written) return;
        // Lines that come meanwhile go out together: one write and one wake-up for a burst of videos,
        // not one per video.
        changed_.wait_for(lock, kGatherTime, [this] { return stopping_ || queuedBytes_ >= maxQueuedBytes_ / 2; });
    }
}

bool LinePrinter::WriteAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        pollfd waits[2] = {{descriptor_, POLLOUT, 0}, {wakeUp_, POLLIN, 0}};
        if (poll(waits, wakeUp_ >= 0 ? 2 : 1, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (wakeUp_ >= 0 && waits[1].revents != 0) return false;
        if (waits[0].revents & (POLLERR | POLLNVAL)) return false;
        // No more than a pipe's atomic size after POLLOUT, so the write itself cannot wait; a file
        // never makes a write wait.
        const size_t piece = regularFile_ ? text.size() - done : std::min<size_t>(text.size() - done, PIPE_BUF);
        const ssize_t count = write(descriptor_, text.data() + done, piece);
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return false;
        }
        done += static_cast<size_t>(count);
        std::lock_guard lock(mutex_);
        lastProgress_ = std::chrono::steady_clock::now();
    }
    return true;
}

}  // namespace tarnwick
