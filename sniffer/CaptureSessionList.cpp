// The running capture sessions, in adapter order, and how they are started.
#include "sniffer/CaptureSessionList.h"

#include "capture/CaptureAdapters.h"

namespace tarnwick {

CaptureSessions& CaptureSessionList() {
    static CaptureSessions sessions;
    return sessions;
}

CaptureStart StartCapture(const CommandLine& options) {
    CaptureStart start;
    if (!options.readFile.empty()) {
        std::optional<Ipv4Address> own;
        if (!options.ownAddress.empty()) own = ParseAddress(options.ownAddress);
        std::string error;
        auto session = CaptureSession::OpenFile(options.readFile, own, &error);
        if (session) start.sessions.push_back(std::move(session));
        else start.problem = error;
        return start;
    }
    std::string error;
    std::vector<CaptureAdapter> adapters = ListUsableAdapters(&error);
    if (adapters.empty()) {
        start.problem = error.empty() ? "No network adapter with a usable IPv4 address was found, so no traffic "
                                        "can be watched."
                                      : error;
        return start;
    }
    std::string firstError;
    bool anyStarted = false;
    for (const auto& adapter : adapters) {
        auto session = std::make_unique<CaptureSession>(adapter.name);
        if (session->CaptureStarted()) anyStarted = true;
        else if (firstError.empty()) firstError = session->StartError();
        start.sessions.push_back(std::move(session));
    }
    if (!anyStarted) start.problem = firstError;
    return start;
}

}  // namespace tarnwick
