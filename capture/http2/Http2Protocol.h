// SPDX-License-Identifier: GPL-3.0-or-later
// The parts of the HTTP/2 wire format the reader needs: the preface, frame types, flags and settings.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarnwick::Http2 {

// What a client sends first, before its first frame.
inline constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

inline constexpr size_t kFrameHeaderSize = 9;
inline constexpr uint32_t kDefaultMaxFrameSize = 16384;
inline constexpr uint32_t kLargestMaxFrameSize = (1u << 24) - 1;
inline constexpr uint32_t kDefaultHeaderTableSize = 4096;

enum FrameType : uint8_t {
    kData = 0x0,
    kHeaders = 0x1,
    kPriority = 0x2,
    kRstStream = 0x3,
    kSettings = 0x4,
    kPushPromise = 0x5,
    kPing = 0x6,
    kGoAway = 0x7,
    kWindowUpdate = 0x8,
    kContinuation = 0x9,
};

enum FrameFlag : uint8_t {
    kEndStream = 0x01,       // DATA, HEADERS
    kAck = 0x01,             // SETTINGS, PING
    kEndHeaders = 0x04,      // HEADERS, PUSH_PROMISE, CONTINUATION
    kPadded = 0x08,          // DATA, HEADERS, PUSH_PROMISE
    kPriorityFields = 0x20,  // HEADERS
};

enum Setting : uint16_t {
    kHeaderTableSize = 0x1,
    kMaxFrameSize = 0x5,
};

struct FrameHeader {
    uint32_t length = 0;  // of the payload
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t streamId = 0;  // the reserved bit cleared

    bool Has(uint8_t flag) const { return (flags & flag) != 0; }
};

}  // namespace tarnwick::Http2
