// SPDX-License-Identifier: GPL-3.0-or-later
// The stop-signal watcher wakes its waiter on a signal and on a wake, also one made before the wait.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "app/StopSignalWatcher.h"

namespace tarnwick {
namespace {

TEST(StopSignalWatcherTest, WakesOnAWakeFromAnyTimeAndOnAStopSignal) {
    StopSignalWatcher watcher;
    watcher.Wake();  // the work ended before anyone waited
    EXPECT_EQ(watcher.Wait(), 0);

    std::thread worker([&] { watcher.Wake(); });
    EXPECT_EQ(watcher.Wait(), 0);
    worker.join();

    // Blocked and taken by the watcher: the process goes on.
    std::raise(SIGTERM);
    EXPECT_EQ(watcher.Wait(), SIGTERM);
}

}  // namespace
}  // namespace tarnwick
