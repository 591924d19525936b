// Bounds-checked read access to the bytes of one captured frame.
#include "capture/PacketView.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {

std::optional<uint8_t> PacketView::ByteAt(size_t offset) const {
    if (offset >= size_) return std::nullopt;
    return bytes_[offset];
}

bool PacketView::Copy(size_t offset, size_t count, uint8_t* out) const {
    if (!Has(offset, count)) return false;
    if (count > 0) std::memcpy(out, bytes_ + offset, count);
    return true;
}

std::string PacketView::Text(size_t from, size_t to) const {
    if (from > to || !Has(from, to - from)) return {};
    return std::string(reinterpret_cast<const char*>(bytes_ + from), to - from);
}

bool PacketView::StartsWith(size_t offset, std::string_view pattern) const {
    return Has(offset, pattern.size()) &&
           (pattern.empty() || std::memcmp(bytes_ + offset, pattern.data(), pattern.size()) == 0);
}

std::optional<size_t> PacketView::Find(std::string_view pattern, size_t from, size_t end) const {
    end = std::min(end, size_);
    if (pattern.empty() || from > end || end - from < pattern.size()) return std::nullopt;
    const uint8_t* first = bytes_ + from;
    const uint8_t* last = bytes_ + end;
    const auto* needle = reinterpret_cast<const uint8_t*>(pattern.data());
    const uint8_t* hit = std::search(first, last, needle, needle + pattern.size());
    if (hit == last) return std::nullopt;
    return static_cast<size_t>(hit - bytes_) + pattern.size();
}

}  // namespace tarnwick
