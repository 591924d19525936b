// Headless capture and adapter listing.
#include <cstdio>

#include "app/FrontEnds.h"

namespace tarnwick {

int RunListAdapters(const CommandLine&) {
    std::fputs("tarnwick: --list-adapters is not built yet\n", stderr);
    return 1;
}

int RunHeadless(const CommandLine&) {
    std::fputs("tarnwick: --headless is not built yet\n", stderr);
    return 1;
}

}  // namespace tarnwick
