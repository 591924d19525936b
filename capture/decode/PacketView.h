// SPDX-License-Identifier: GPL-3.0-or-later
// Bounds-checked read access to the bytes of one captured frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Every read of frame bytes goes through this view: a read past the captured length yields nothing.
class PacketView {
public:
    PacketView(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(bytes ? size : 0) {}

    size_t Size() const { return size_; }
    bool Has(size_t offset, size_t count) const { return offset <= size_ && count <= size_ - offset; }

    std::optional<uint8_t> ByteAt(size_t offset) const {
        if (offset >= size_) return std::nullopt;
        return bytes_[offset];
    }
    // The address of the byte at offset, for reading bytes already checked with Has(); never dereference
    // it beyond them.
    const uint8_t* Pointer(size_t offset) const { return bytes_ + offset; }
    // Copies count bytes starting at offset into out; false (out untouched) when they are not all there.
    bool Copy(size_t offset, size_t count, uint8_t* out) const {
        if (!Has(offset, count)) return false;
        if (count > 0) std::memcpy(out, bytes_ + offset, count);
        return true;
    }
    // The bytes [from, to) as text; empty when the range is not wholly inside the frame.
    std::string Text(size_t from, size_t to) const { return std::string(View(from, to)); }
    // The same bytes without a copy; valid as long as the frame is.
    std::string_view View(size_t from, size_t to) const {
        if (from > to || !Has(from, to - from)) return {};
        return {reinterpret_cast<const char*>(bytes_ + from), to - from};
    }
    bool StartsWith(size_t offset, std::string_view pattern) const {
        return Has(offset, pattern.size()) &&
               (pattern.empty() || std::memcmp(bytes_ + offset, pattern.data(), pattern.size()) == 0);
    }

    // First occurrence of pattern lying wholly inside [from, end) (end is clamped to the frame);
    // yields the position just after it. An occurrence ending exactly at end counts.
    // Inline so that the compare of a literal pattern compiles to a few instructions.
    std::optional<size_t> Find(std::string_view pattern, size_t from, size_t end) const {
        end = end < size_ ? end : size_;
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

private:
    const uint8_t* bytes_;
    size_t size_;
};

}  // namespace tarnwick
