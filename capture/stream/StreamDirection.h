// SPDX-License-Identifier: GPL-3.0-or-later
// Which way bytes travel on a followed connection.
#pragma once

#include <cstdint>

namespace tarnwick {

// The client is the side that opened the conversation (for TLS: the sender of the ClientHello).
enum class StreamDirection : uint8_t { ClientToServer = 0, ServerToClient = 1 };

inline constexpr int IndexOf(StreamDirection direction) {
    return static_cast<int>(direction);
}

inline constexpr StreamDirection Opposite(StreamDirection direction) {
    return direction == StreamDirection::ClientToServer ? StreamDirection::ServerToClient
                                                        : StreamDirection::ClientToServer;
}

}  // namespace tarnwick
