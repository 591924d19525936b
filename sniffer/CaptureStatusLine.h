// SPDX-License-Identifier: GPL-3.0-or-later
// The window's word on its captures: a line under the banner when the kernel dropped packets (the
// figures in its tooltip), and a message when a capture ends by itself before its end.
#pragma once

#include <QObject>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/source/CaptureStatistics.h"
#include "platform/WindowServices.h"
#include "sniffer/CaptureSessionList.h"

class QLabel;
class QTimer;
class QWidget;

namespace tarnwick {

class CaptureStatusLine : public QObject {
    Q_OBJECT
public:
    // What the line needs to know of one session.
    struct SessionReport {
        std::string name;
        std::optional<CaptureStatistics> figures;  // live sessions only
        std::string endError;                      // set once the session ended by itself before its end
        bool replay = false;
    };
    using Poll = std::function<std::vector<SessionReport>()>;

    static constexpr int kRefreshMs = 500;

    // The line is a child of window, hidden until there is something to say; poll is asked every
    // kRefreshMs on the window's thread.
    CaptureStatusLine(QWidget* window, WindowServices& services, WindowHandle handle, Poll poll);

    static std::vector<SessionReport> ReportsOf(const CaptureSessions& sessions);
    // "12,345 packets lost under load on eth0"; empty when nothing was dropped.
    static std::string LossText(const std::vector<SessionReport>& reports);
    // One line of figures per live adapter.
    static std::string FiguresText(const std::vector<SessionReport>& reports);

    QLabel* Label() const { return label_; }
    // Looks at the sessions now (the timer does it every kRefreshMs).
    void Refresh();

private:
    WindowServices& services_;
    WindowHandle handle_;
    Poll poll_;
    QLabel* label_ = nullptr;
    QTimer* timer_ = nullptr;
    std::set<std::string> endsShown_;
};

}  // namespace tarnwick
