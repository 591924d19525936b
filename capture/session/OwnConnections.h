// SPDX-License-Identifier: GPL-3.0-or-later
// The TCP connections that this process itself makes (downloads, raw replays, the relay for ffmpeg,
// details fetches), so that the capture never takes them for the user's traffic.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace tarnwick {

// A connection is this process's own when its client end uses a local port registered here, or its
// server end is a local listening port registered here (the relay that a child process fetches through),
// at a capture time within the socket's life. Registration happens before the socket connects (bind
// first, then connect), so no packet of an own connection can be seen before it is known. Capture
// times are wall-clock times (a live capture stamps packets with the real time); a replay's old times
// never match. Closed sockets stay known for a grace period, because the capture thread may read a
// connection's last packets a while after the socket closed; a port reused by another program after
// that is not taken for ours.
class OwnConnections {
public:
    static constexpr int64_t kGraceMs = 120'000;  // how long a closed socket's port stays known
    static constexpr int64_t kEarlyMs = 1'000;    // packets stamped this much before registration still match

    enum class Role : uint8_t { Client, Listener };

    // The registry of this process, shared by every capture session and every download path.
    static OwnConnections& Process();

    // Port in host byte order. Returns a token for Closed().
    uint64_t Opened(uint16_t port, Role role, int64_t nowMs);
    uint64_t Opened(uint16_t port, Role role);  // now
    void Closed(uint64_t token, int64_t nowMs);
    void Closed(uint64_t token);  // now

    // Ports in host byte order; timeMs is the packet's capture time.
    bool Owns(uint16_t clientPort, uint16_t serverPort, int64_t timeMs) const;

    // The wall clock in milliseconds, as capture times are stamped.
    static int64_t NowMs();

private:
    struct Entry {
        uint64_t token = 0;
        uint16_t port = 0;
        Role role = Role::Client;
        int64_t openedMs = 0;
        int64_t closedMs = -1;  // -1 while open
    };
    void Purge(int64_t nowMs);

    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    uint64_t nextToken_ = 1;
};

}  // namespace tarnwick
