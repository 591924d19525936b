// SPDX-License-Identifier: GPL-3.0-or-later
// The running capture sessions, in adapter order, and how they are started.
#include "sniffer/CaptureSessionList.h"

#include "capture/source/CaptureAdapters.h"
#include "config/StartupConfiguration.h"

namespace tarnwick {

CaptureSessions& CaptureSessionList() {
    static CaptureSessions sessions;
    return sessions;
}

namespace {

// The key log the sessions share, read once now; a file that is not there yet is read when it appears.
std::shared_ptr<TlsKeyLog> OpenKeyLog(const CommandLine& options, bool keyLogForLater, std::string& warnings) {
    const std::string path = KeyLogFilePath(options, UserConfigFilePath());
    if (path.empty()) return keyLogForLater || options.browser ? std::make_shared<TlsKeyLog>("") : nullptr;
    auto keyLog = std::make_shared<TlsKeyLog>(path);
    if (const std::string problem = keyLog->Load(); !problem.empty())
        warnings = "cannot read the TLS key log " + path + " yet (" + problem + "); it is read once it can be";
    return keyLog;
}

}  // namespace

CaptureStart StartCapture(const CommandLine& options, bool keyLogForLater) {
    CaptureStart start;
    std::string keyLogWarning;
    start.keyLog = OpenKeyLog(options, keyLogForLater, keyLogWarning);
    std::string limitWarnings;
    const CaptureLimits limits = CaptureLimitsFromConfig(UserConfigFilePath(), &limitWarnings);
    if (!limitWarnings.empty()) keyLogWarning += (keyLogWarning.empty() ? "" : "\n") + limitWarnings;
    start.warnings = keyLogWarning;
    if (!options.readFile.empty()) {
        OwnAddresses own;
        for (const auto& text : options.ownAddresses)
            if (const auto address = IpAddress::Parse(text)) own.Add(*address);
        std::string error;
        auto session = CaptureSession::OpenFile(options.readFile, own, &error, start.keyLog, limits);
        if (session)
            start.sessions.push_back(std::move(session));
        else
            start.problem = error;
        return start;
    }
    std::string error;
    const std::vector<CaptureAdapter> usable = ListUsableAdapters(&error);
    if (!error.empty()) {
        start.problem = error;
        return start;
    }
    std::vector<std::string> names;
    for (const auto& adapter : usable)
        if (options.interfaces.empty()) names.push_back(adapter.name);
    for (const auto& name : options.interfaces) {
        bool known = name == kAnyAdapter;  // every adapter at once
        for (const auto& adapter : usable) known = known || adapter.name == name;
        if (!known) {
            start.problem = "unknown or unusable adapter \"" + name + "\" (see tarnwick --list-adapters)";
            return start;
        }
        names.push_back(name);
    }
    if (names.empty()) {
        start.problem = "no usable network adapter: none has an IPv4 or global IPv6 address to watch";
        return start;
    }
    std::string failures;
    bool anyStarted = false;
    for (const auto& name : names) {
        auto session = std::make_unique<CaptureSession>(
            name, options.bufferMiB > 0 ? options.bufferMiB : LiveAdapterSource::kDefaultBufferMiB, start.keyLog,
            limits);
        if (session->CaptureStarted())
            anyStarted = true;
        else
            failures += (failures.empty() ? "" : "\n") + session->StartError();
        start.sessions.push_back(std::move(session));
    }
    if (anyStarted)
        start.warnings = failures + (failures.empty() || keyLogWarning.empty() ? "" : "\n") + keyLogWarning;
    else
        start.problem = failures;
    return start;
}

}  // namespace tarnwick
