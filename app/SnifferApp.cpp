// SPDX-License-Identifier: GPL-3.0-or-later
// The application object: start-up checks, the modal sniffer window, and the exit sequence.
#include "app/SnifferApp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QThread>
#include <cstdio>

#include "app/WindowStopSignals.h"
#include "config/StartupConfiguration.h"
#include "config/UserDataFolder.h"
#include "platform/AppDrawingResources.h"
#include "sniffer/QuillmarkSnifferWindow.h"

namespace tarnwick {

SnifferApp::SnifferApp(CommandLine options) : options_(std::move(options)) {}

QtWindowServices& SnifferApp::Services() {
    static QtWindowServices services;
    return services;
}

int SnifferApp::Run() {
    InitInstance();
    return ExitInstance();
}

bool SnifferApp::InitInstance() {
    // A screenshot run never waits for a click: every message goes to standard error only.
    if (!options_.screenshot.empty()) Services().SetUnattended(true);
    AppDrawingResources::Load();
    if (!LoadStartupSettings(Services(), Settings(), ExecutableFolder())) {
        exitCode_ = 1;
        return false;
    }
    {
        const CommandLine& options = options_;
        // A key log is always shared, so that a browser started from the window can be read.
        QuillmarkSnifferWindow window(Services(), [&options] { return StartCapture(options, true); });
        if (options_.browser && options_.screenshot.empty()) window.OpenKeyLoggingBrowser(options_.browserName);
        if (options_.screenshot.empty()) {
            WindowStopSignals stopSignals([&window] { window.reject(); });
            window.exec();
        } else {
            exitCode_ = TakeScreenshot(window, options_.screenshot, !options_.readFile.empty());
        }
    }
    // No message loop of our own follows the modal window: start-up "fails" and the process ends.
    return false;
}

int SnifferApp::TakeScreenshot(QuillmarkSnifferWindow& window, const std::string& path, bool waitForReplay) {
    window.show();
    // Let a capture-file replay run to its end and its rows reach the list before rendering.
    QElapsedTimer waited;
    waited.start();
    while (waitForReplay && !window.AllCaptureFinished() && waited.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QPixmap picture = window.grab();
    if (picture.isNull() || !picture.save(QString::fromStdString(path), "PNG")) {
        std::fprintf(stderr, "tarnwick: cannot write the screenshot to %s\n", path.c_str());
        return 1;
    }
    return 0;
}

int SnifferApp::ExitInstance() {
    AppDrawingResources::Release();
    return exitCode_;
}

}  // namespace tarnwick
