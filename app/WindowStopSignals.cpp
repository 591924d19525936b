// SPDX-License-Identifier: GPL-3.0-or-later
// Closes the window on SIGINT, SIGTERM or SIGHUP, so that the exit sequence runs as after a click.
#include "app/WindowStopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <iterator>

namespace tarnwick {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
// The pipe's write end, for the handler; one watcher at a time.
int signalPipe[2] = {-1, -1};

}  // namespace

void WindowStopSignals::OnSignal(int number) {
    const int saved = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
    errno = saved;
}

WindowStopSignals::WindowStopSignals(std::function<void()> stop) : stop_(std::move(stop)) {
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte;
        while (read(signalPipe[0], &byte, 1) > 0) {
        }
        if (stop_) stop_();
    });
    struct sigaction action {};
    action.sa_handler = &WindowStopSignals::OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;  // a second signal ends the process at once
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous_[i]);
}

WindowStopSignals::~WindowStopSignals() {
    if (!notifier_) return;
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
    delete notifier_;
    close(signalPipe[0]);
    close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

}  // namespace tarnwick
