// SPDX-License-Identifier: GPL-3.0-or-later
// Opens a live adapter: captured by this process when it may, else through the capture helper.
#include "capture/source/AdapterSource.h"

#include "capture/source/HelperAdapterSource.h"
#include "capture/source/LiveAdapterSource.h"
#include "resources/ProgramFiles.h"

namespace tarnwick {

std::unique_ptr<PacketSource> OpenAdapterSource(const std::string& name, int bufferMiB, std::string* error) {
    bool denied = false;
    // Root, or a program granted the capabilities itself, captures directly as it always did.
    if (auto direct = LiveAdapterSource::Open(name, bufferMiB, error, &denied); direct || !denied) return direct;
    const std::string folder = ProgramFolder();
    const std::string helper = CaptureHelperPath(folder);
    if (helper.empty()) {
        *error += " Run tarnwick as root, or install its capture helper as " + InstalledCaptureHelperPath(folder) +
                  " (or beside tarnwick) and grant it the capabilities with: setcap cap_net_raw,cap_net_admin+eip " +
                  InstalledCaptureHelperPath(folder);
        return nullptr;
    }
    return HelperAdapterSource::Open(helper, name, bufferMiB, error);
}

}  // namespace tarnwick
