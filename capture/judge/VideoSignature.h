// SPDX-License-Identifier: GPL-3.0-or-later
// Recognises a video container by the first bytes of a body whose answer names no video type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tarnwick {

class VideoSignature {
public:
    // An MPEG transport stream is told apart by its sync byte at 0, 188 and 376.
    static constexpr size_t kTransportStreamProbe = 377;

    // The listed type of a body that starts with these bytes: "mp4", "mov", "3gp", "webm", "mkv", "ts" or
    // "avi"; empty when no known container starts so or too few bytes are there to tell.
    static std::string_view TypeOf(std::span<const uint8_t> body);

private:
    static std::string_view IsoMediaType(std::span<const uint8_t> body);
    static std::string_view EbmlType(std::span<const uint8_t> body);
};

}  // namespace tarnwick
