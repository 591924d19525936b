// A GET request seen leaving this host, waiting for the response of its connection.
#pragma once

#include <cstdint>
#include <string>

#include "capture/decode/IpAddress.h"

namespace tarnwick {

// Addresses (of either family) and ports exactly as they stand in the packet; no byte-order conversion.
struct ConnectionKey {
    IpAddress clientAddress;
    IpAddress serverAddress;
    uint16_t clientPort = 0;
    uint16_t serverPort = 0;

    bool operator==(const ConnectionKey&) const = default;
};

struct PendingRequest {
    ConnectionKey key;
    std::string host;         // Host header value; may be empty
    std::string path;         // request target followed by the blank that ended it
    std::string requestText;  // payload from its first byte through the blank line; may be empty
    int64_t timeAdded = 0;    // seconds, stamped by the table

    // An empty entry stands for "no request found"; only its texts are meaningful.
    bool IsEmpty() const { return host.empty() && path.empty() && requestText.empty(); }
};

}  // namespace tarnwick
