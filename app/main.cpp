// Entry point: the window by default; headless capture, capture files and downloads from the command line.
#include <QApplication>
#include <cstdio>

#include "app/FrontEnds.h"
#include "app/SnifferApp.h"
#include "config/CommandLine.h"

int main(int argc, char** argv) {
    tarnwick::CommandLine options = tarnwick::ParseCommandLine(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "tarnwick: %s\n\n%s", options.error.c_str(), tarnwick::UsageText().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(tarnwick::UsageText().c_str(), stdout);
        return 0;
    }
    if (options.listAdapters) return tarnwick::RunListAdapters(options);
    if (!options.downloadUrl.empty()) return tarnwick::RunTerminalDownload(options);
    if (options.headless) return tarnwick::RunHeadless(options);

    QApplication application(argc, argv);
    QApplication::setApplicationName("Tarnwick");
    return tarnwick::SnifferApp(options).Run();
}
