// SPDX-License-Identifier: GPL-3.0-or-later
// Entry point: the window by default; headless capture, capture files and downloads from the command line.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/FrontEnds.h"
#include "app/SnifferApp.h"
#include "app/WindowPlatform.h"
#include "config/CommandLine.h"

namespace {

QtMessageHandler previousHandler = nullptr;

// While Qt probes the window systems in turn, the ones that cannot be reached are expected to complain.
void QuietPlatformProbe(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg && context.category && std::strncmp(context.category, "qt.qpa.", 7) == 0) return;
    previousHandler(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    tarnwick::CommandLine options = tarnwick::ParseCommandLine(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "tarnwick: %s\n\n%s", options.error.c_str(), tarnwick::UsageText().c_str());
        return 2;
    }
    // The key log is only read. Taken out of the environment, so that neither our own transfers
    // (libcurl honours it) nor a started player add their secrets to the user's file.
    if (const char* keyLog = std::getenv("SSLKEYLOGFILE")) options.environmentKeyLog = keyLog;
    unsetenv("SSLKEYLOGFILE");
    if (options.help) {
        std::fputs(tarnwick::UsageText().c_str(), stdout);
        return 0;
    }
    if (options.listAdapters) return tarnwick::RunListAdapters(options);
    if (!options.downloadUrl.empty()) return tarnwick::RunTerminalDownload(options);
    if (options.headless) return tarnwick::RunHeadless(options);

    tarnwick::WindowPlatform platform(!options.screenshot.empty());
    std::vector<std::string> extra = platform.QtArguments();
    std::vector<char*> qtArgv(argv, argv + argc);
    for (auto& argument : extra) qtArgv.push_back(argument.data());
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArgv.size()) - 1;

    previousHandler = qInstallMessageHandler(QuietPlatformProbe);
    QApplication application(qtArgc, qtArgv.data());
    qInstallMessageHandler(previousHandler);
    if (platform.NoDisplay(QGuiApplication::platformName().toStdString())) {
        std::fputs(platform.NoDisplayMessage().c_str(), stderr);
        return 1;
    }
    QApplication::setApplicationName("Tarnwick");
    return tarnwick::SnifferApp(options).Run();
}
