// Download of one URL from the terminal with a progress line.
#include <cstdio>

#include "app/FrontEnds.h"

namespace tarnwick {

int RunTerminalDownload(const CommandLine&) {
    std::fputs("tarnwick: --download is not built yet\n", stderr);
    return 1;
}

}  // namespace tarnwick
