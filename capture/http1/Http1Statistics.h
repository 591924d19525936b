// What the HTTP/1 reader of reassembled connections saw and why it gave connections up.
#pragma once

#include <cstdint>

namespace tarnwick {

struct Http1Statistics {
    uint64_t connections = 0;
    uint64_t requests = 0;
    uint64_t responses = 0;
    uint64_t videos = 0;     // responses judged to be videos (before the ignore list and the video table)
    uint64_t malformed = 0;  // connections given up: bytes that are not HTTP/1 messages, or beyond a bound
    uint64_t upgraded = 0;   // connections that switched to another protocol; not read further
};

}  // namespace tarnwick
