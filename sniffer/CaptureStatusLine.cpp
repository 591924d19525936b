// SPDX-License-Identifier: GPL-3.0-or-later
// The window's word on its captures: a line under the banner when the kernel dropped packets (the
// figures in its tooltip), and a message when a capture ends by itself before its end.
#include "sniffer/CaptureStatusLine.h"

#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <cctype>

#include "platform/ShowMessage.h"

namespace tarnwick {

namespace {

// Under the banner, across the window.
const QRect kLineArea(8, 238, 370, 16);

// 12345678 -> "12,345,678", whatever the process locale.
std::string Grouped(uint64_t number) {
    std::string digits = std::to_string(number);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
    return digits;
}

}  // namespace

CaptureStatusLine::CaptureStatusLine(QWidget* window, WindowServices& services, WindowHandle handle, Poll poll)
    : QObject(window), services_(services), handle_(handle), poll_(std::move(poll)) {
    label_ = new QLabel(window);
    label_->setGeometry(kLineArea);
    label_->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    label_->setStyleSheet("color: #a00000;");
    label_->hide();
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &CaptureStatusLine::Refresh);
    timer_->start(kRefreshMs);
}

std::vector<CaptureStatusLine::SessionReport> CaptureStatusLine::ReportsOf(const CaptureSessions& sessions) {
    std::vector<SessionReport> reports;
    for (const auto& session : sessions) {
        if (!session) continue;
        SessionReport report{session->Name(), session->Statistics(), {}, session->IsReplay()};
        if (session->Finished()) report.endError = session->EndError();
        reports.push_back(std::move(report));
    }
    return reports;
}

std::string CaptureStatusLine::LossText(const std::vector<SessionReport>& reports) {
    uint64_t lost = 0;
    std::string names;
    for (const auto& report : reports) {
        if (!report.figures) continue;
        const uint64_t dropped = report.figures->dropped + report.figures->interfaceDropped;
        if (dropped == 0) continue;
        lost += dropped;
        names += (names.empty() ? "" : ", ") + report.name;
    }
    if (lost == 0) return {};
    return Grouped(lost) + (lost == 1 ? " packet" : " packets") + " lost under load on " + names;
}

std::string CaptureStatusLine::FiguresText(const std::vector<SessionReport>& reports) {
    std::string text;
    for (const auto& report : reports) {
        if (!report.figures) continue;
        const CaptureStatistics& figures = *report.figures;
        if (!text.empty()) text += "\n";
        text += report.name + ": " + Grouped(figures.received) + " packets received by filter, " +
                Grouped(figures.dropped) + " dropped by the kernel";
        if (figures.interfaceDropped != 0) text += ", " + Grouped(figures.interfaceDropped) + " by the interface";
    }
    if (!text.empty()) text += "\nVideos may be missed while packets are lost; a larger --buffer-size helps.";
    return text;
}

void CaptureStatusLine::Refresh() {
    const std::vector<SessionReport> reports = poll_ ? poll_() : std::vector<SessionReport>{};
    const std::string loss = LossText(reports);
    label_->setText(QString::fromStdString(loss));
    label_->setToolTip(QString::fromStdString(FiguresText(reports)));
    label_->setVisible(!loss.empty());

    for (const auto& report : reports) {
        if (report.endError.empty() || !endsShown_.insert(report.name).second) continue;
        // Marked first: the message box runs a loop of its own, in which this timer fires again.
        std::string text =
            report.replay ? report.endError + ".\n\nThe videos found before it are listed." : report.endError + ".";
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
        ShowMessage(services_, handle_, kAppCaption, kMbOk | kMbIconExclamation, "%s", text.c_str());
    }
}

}  // namespace tarnwick
