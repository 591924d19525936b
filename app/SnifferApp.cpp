// The application object: start-up checks, the modal sniffer window, and the exit sequence.
#include "app/SnifferApp.h"

#include <QColor>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QThread>
#include <cstdio>
#include <optional>

#include "config/StartupConfiguration.h"
#include "config/UserDataFolder.h"
#include "resources/ResourceFiles.h"
#include "sniffer/QuillmarkSnifferWindow.h"

namespace tarnwick {
namespace {
std::optional<QIcon> appIcon;
std::optional<QBrush> backgroundBrush;
}  // namespace

SnifferApp::SnifferApp(CommandLine options) : options_(std::move(options)) {}

const QIcon& SnifferApp::AppIcon() {
    static const QIcon none;
    return appIcon ? *appIcon : none;
}

const QBrush& SnifferApp::DialogBackgroundBrush() {
    static const QBrush fallback(QColor(210, 210, 210));
    return backgroundBrush ? *backgroundBrush : fallback;
}

QtWindowServices& SnifferApp::Services() {
    static QtWindowServices services;
    return services;
}

int SnifferApp::Run() {
    InitInstance();
    return ExitInstance();
}

bool SnifferApp::InitInstance() {
    appIcon.emplace(QString::fromLatin1(ResourceFile(kAppIconId)));
    backgroundBrush.emplace(QColor(210, 210, 210));
    if (!LoadStartupSettings(Services(), Settings(), ExecutableFolder())) {
        exitCode_ = 1;
        return false;
    }
    {
        const CommandLine& options = options_;
        QuillmarkSnifferWindow window(Services(), [&options] { return StartCapture(options); });
        if (options_.screenshot.empty()) {
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
    backgroundBrush.reset();
    appIcon.reset();
    return exitCode_;
}

}  // namespace tarnwick
