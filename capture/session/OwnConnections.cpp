// SPDX-License-Identifier: GPL-3.0-or-later
// The TCP connections that this process itself makes, so that the capture never takes them for the
// user's traffic.
#include "capture/session/OwnConnections.h"

#include <algorithm>
#include <chrono>

namespace tarnwick {

OwnConnections& OwnConnections::Process() {
    static OwnConnections registry;
    return registry;
}

int64_t OwnConnections::NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint64_t OwnConnections::Opened(uint16_t port, Role role) {
    return Opened(port, role, NowMs());
}

void OwnConnections::Closed(uint64_t token) {
    Closed(token, NowMs());
}

uint64_t OwnConnections::Opened(uint16_t port, Role role, int64_t nowMs) {
    std::lock_guard lock(mutex_);
    Purge(nowMs);
    const uint64_t token = nextToken_++;
    entries_.push_back(Entry{token, port, role, nowMs, -1});
    return token;
}

void OwnConnections::Closed(uint64_t token, int64_t nowMs) {
    std::lock_guard lock(mutex_);
    for (Entry& entry : entries_)
        if (entry.token == token && entry.closedMs < 0) entry.closedMs = nowMs;
}

bool OwnConnections::Owns(uint16_t clientPort, uint16_t serverPort, int64_t timeMs) const {
    std::lock_guard lock(mutex_);
    for (const Entry& entry : entries_) {
        const uint16_t port = entry.role == Role::Client ? clientPort : serverPort;
        if (entry.port != port || timeMs < entry.openedMs - kEarlyMs) continue;
        if (entry.closedMs < 0 || timeMs <= entry.closedMs + kEarlyMs) return true;
    }
    return false;
}

void OwnConnections::Purge(int64_t nowMs) {
    std::erase_if(entries_,
                  [nowMs](const Entry& entry) { return entry.closedMs >= 0 && nowMs - entry.closedMs > kGraceMs; });
}

}  // namespace tarnwick
