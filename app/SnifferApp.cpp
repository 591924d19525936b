// The application object: start-up checks, the modal sniffer window, and the exit sequence.
#include "app/SnifferApp.h"

#include <QColor>
#include <optional>

#include "app/StartupConfiguration.h"
#include "app/UserDataFolder.h"
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
        QuillmarkSnifferWindow window(Services(), options_);
        window.exec();
        exitCode_ = window.ExitCode();
    }
    // No message loop of our own follows the modal window: start-up "fails" and the process ends.
    return false;
}

int SnifferApp::ExitInstance() {
    backgroundBrush.reset();
    appIcon.reset();
    return exitCode_;
}

}  // namespace tarnwick
