// SPDX-License-Identifier: GPL-3.0-or-later
// Takes SIGINT and SIGTERM for the process and wakes one waiter at once, on a signal or when told the work ended.
#include "app/StopSignalWatcher.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace tarnwick {
namespace {

constexpr int kFallbackSliceMs = 50;

}  // namespace

StopSignalWatcher::StopSignalWatcher() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals_, &previous_);
    signalFd_ = signalfd(-1, &signals_, SFD_CLOEXEC | SFD_NONBLOCK);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

StopSignalWatcher::~StopSignalWatcher() {
    if (signalFd_ >= 0) ::close(signalFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int StopSignalWatcher::Wait(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        pollfd watched[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        // Without a wake descriptor (none could be made) the flag is looked at in short slices instead.
        if (wakeFd_ < 0 && woken_.exchange(false)) return 0;
        int slice = wakeFd_ < 0 ? kFallbackSliceMs : -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return 0;
            slice = slice < 0 ? static_cast<int>(left) : std::min(slice, static_cast<int>(left));
        }
        if (::poll(watched, 2, slice) < 0) {
            if (errno == EINTR) continue;
            return 0;  // nothing left to wait on; let the caller end its work
        }
        if (watched[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                return static_cast<int>(info.ssi_signo);
        }
        if (watched[1].revents & POLLIN) {
            uint64_t count = 0;
            if (::read(wakeFd_, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) return 0;
        }
        if ((watched[0].revents | watched[1].revents) & (POLLERR | POLLNVAL)) return 0;
    }
}

void StopSignalWatcher::Wake() {
    woken_.store(true);
    const uint64_t one = 1;
    // Only fails when the counter is about to overflow, and then a wake is pending anyway.
    [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

}  // namespace tarnwick
