// SPDX-License-Identifier: GPL-3.0-or-later
// Opens a web address or a local page with the desktop's opener (xdg-open) and tells when that fails.
#include "platform/AddressLauncher.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QDesktopServices>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

extern char** environ;

namespace tarnwick {
namespace {

// The opener usually hands the page to a browser and ends at once; a failure shows within a moment.
// One that keeps running (a browser started in its place) is watched less often.
constexpr int kQuickPollMs = 100;
constexpr int kSlowPollMs = 1000;
constexpr int kQuickPolls = 50;

void WatchOpener(pid_t child, AddressLauncher::FailureHandler failed) {
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(kQuickPollMs);
    auto polls = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, child, polls, failed = std::move(failed)] {
        int status = 0;
        pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == 0) {
            if (++*polls == kQuickPolls) timer->setInterval(kSlowPollMs);
            return;
        }
        timer->stop();
        timer->deleteLater();
        if (ended < 0) return;  // reaped elsewhere: nothing to tell
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
        if (failed)
            failed(WIFEXITED(status) ? AddressLauncher::ExitReason(WEXITSTATUS(status))
                                     : QStringLiteral("xdg-open was stopped by signal %1").arg(WTERMSIG(status)));
    });
    timer->start();
}

}  // namespace

QString AddressLauncher::ExitReason(int status) {
    switch (status) {
        case 2:
            return QStringLiteral("the page does not exist");
        case 3:
            return QStringLiteral("no program to show it was found (install a web browser)");
        case 4:
            return QStringLiteral("the program that should show it failed");
        default:
            return QStringLiteral("xdg-open ended with status %1").arg(status);
    }
}

void AddressLauncher::Open(const QString& address, FailureHandler failed) {
    auto report = [&failed](const QString& reason) {
        // Always later and on the GUI thread, like a failure the opener reports.
        if (failed) QTimer::singleShot(0, QCoreApplication::instance(), [failed, reason] { failed(reason); });
    };
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        // Without xdg-utils only a desktop's own launcher that Qt knows of can help.
        if (!QDesktopServices::openUrl(QUrl::fromUserInput(address)))
            report(QStringLiteral("no program to open pages was found (install xdg-utils)"));
        return;
    }
    QByteArray program = opener.toLocal8Bit(), argument = address.toLocal8Bit();
    std::vector<char*> argv = {program.data(), argument.data(), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A session of its own: a browser it starts outlives Tarnwick and a Ctrl-C in its terminal.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    pid_t child = 0;
    int error = ::posix_spawn(&child, program.constData(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        report(
            QStringLiteral("%1 could not be started (%2)").arg(opener, QString::fromLocal8Bit(std::strerror(error))));
        return;
    }
    WatchOpener(child, std::move(failed));
}

}  // namespace tarnwick
