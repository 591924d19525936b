// Bounds-checked read access to the bytes of one captured frame.
#include "capture/PacketView.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {

std::optional<size_t> PacketView::Find(std::string_view pattern, size_t from, size_t end) const {
    end = std::min(end, size_);
    if (pattern.empty() || from > end || end - from < pattern.size()) return std::nullopt;
    // memchr finds candidates for the first byte quickly; patterns are short, so the compare is cheap.
    const auto first = static_cast<unsigned char>(pattern[0]);
    const uint8_t* candidate = bytes_ + from;
    const uint8_t* const lastStart = bytes_ + end - pattern.size();
    while (candidate <= lastStart) {
        const void* hit = std::memchr(candidate, first, static_cast<size_t>(lastStart - candidate) + 1);
        if (!hit) return std::nullopt;
        candidate = static_cast<const uint8_t*>(hit);
        if (std::memcmp(candidate + 1, pattern.data() + 1, pattern.size() - 1) == 0)
            return static_cast<size_t>(candidate - bytes_) + pattern.size();
        ++candidate;
    }
    return std::nullopt;
}

}  // namespace tarnwick
