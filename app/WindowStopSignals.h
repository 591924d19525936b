// SPDX-License-Identifier: GPL-3.0-or-later
// Closes the window on SIGINT, SIGTERM or SIGHUP, so that the exit sequence runs as after a click.
#pragma once

#include <signal.h>

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace tarnwick {

// A Ctrl-C in the terminal or the end of the desktop session would otherwise end the process on the
// spot, leaving the capture threads unjoined and a started browser's key log and profile on disk. The
// signal is handed to the GUI thread through a pipe; a second one ends the process at once, as usual.
class WindowStopSignals : public QObject {
public:
    // stop runs on the GUI thread once a signal came.
    explicit WindowStopSignals(std::function<void()> stop);
    ~WindowStopSignals() override;
    WindowStopSignals(const WindowStopSignals&) = delete;
    WindowStopSignals& operator=(const WindowStopSignals&) = delete;

private:
    static void OnSignal(int number);

    std::function<void()> stop_;
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction previous_[3] = {};
};

}  // namespace tarnwick
