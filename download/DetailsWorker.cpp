// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the details of listed videos on two threads of its own, in the order they were listed.
#include "download/DetailsWorker.h"

#include <openssl/crypto.h>

#include <utility>

namespace tarnwick {

DetailsWorker::DetailsWorker(MediaDetailsReader::Settings settings, Done done)
    : settings_(std::move(settings)), done_(std::move(done)) {
    for (int i = 0; i < kThreads; ++i) threads_.emplace_back([this] { Run(); });
}

DetailsWorker::~DetailsWorker() {
    Stop();
}

void DetailsWorker::Enqueue(MediaDetailsReader::Request request) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (waiting_.size() >= kMaxWaiting) waiting_.pop_front();
        waiting_.push_back(std::move(request));
    }
    wake_.notify_one();
}

void DetailsWorker::Cancel(int serial) {
    std::lock_guard lock(mutex_);
    std::erase_if(waiting_, [serial](const MediaDetailsReader::Request& request) { return request.serial == serial; });
    if (auto running = running_.find(serial); running != running_.end()) running->second->store(true);
}

void DetailsWorker::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        waiting_.clear();
        for (auto& [serial, stop] : running_) stop->store(true);
    }
    wake_.notify_all();
    for (auto& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
}

bool DetailsWorker::Idle() const {
    std::lock_guard lock(mutex_);
    return waiting_.empty() && running_.empty();
}

void DetailsWorker::SetIdleNotifier(std::function<void()> notifier) {
    std::lock_guard lock(mutex_);
    idleNotifier_ = std::move(notifier);
}

void DetailsWorker::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) return;
        MediaDetailsReader::Request request = std::move(waiting_.front());
        waiting_.pop_front();
        auto stop = std::make_shared<std::atomic<bool>>(false);
        const int serial = request.serial;
        running_[serial] = stop;
        lock.unlock();
        auto details = std::make_shared<const MediaDetails>(MediaDetailsReader::Read(request, settings_, stop.get()));
        // The browser's request is a secret: it does not outlive the read.
        OPENSSL_cleanse(request.requestText.data(), request.requestText.size());
        if (!stop->load()) done_(serial, std::move(details));
        lock.lock();
        running_.erase(serial);
        if (waiting_.empty() && running_.empty() && idleNotifier_ && !stopping_) {
            const auto notify = idleNotifier_;
            lock.unlock();
            notify();
            lock.lock();
        }
    }
}

}  // namespace tarnwick
