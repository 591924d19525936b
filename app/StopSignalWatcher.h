// SPDX-License-Identifier: GPL-3.0-or-later
// Takes SIGINT and SIGTERM for the process and wakes one waiter at once, on a signal or when told the work ended.
#pragma once

#include <signal.h>

#include <atomic>

namespace tarnwick {

class StopSignalWatcher {
public:
    // Blocks the two signals in the calling thread. Create it before any other thread starts: threads
    // inherit the block, so the signals are only ever taken by Wait().
    StopSignalWatcher();
    // Restores the calling thread's signal mask.
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // Sleeps until a stop signal arrives (its number is returned), Wake() is called or timeoutMs
    // (when not negative) have passed (0 is returned). A Wake() that came before the Wait() is not
    // lost; each Wait() consumes the wakes made so far.
    int Wait(int timeoutMs = -1);
    // From any thread, also from a signal handler.
    void Wake();

private:
    sigset_t signals_;
    sigset_t previous_;
    int signalFd_ = -1;
    int wakeFd_ = -1;
    std::atomic<bool> woken_{false};
};

}  // namespace tarnwick
