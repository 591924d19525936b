// SPDX-License-Identifier: GPL-3.0-or-later
// Reads QUIC's variable-length integers and fixed fields from a byte span; every read is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace tarnwick {

// A failed read leaves the cursor failed: every later read fails too, so a parser may read a whole
// structure and check Ok() once.
class QuicCursor {
public:
    explicit QuicCursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool Ok() const { return ok_; }
    size_t Position() const { return position_; }
    size_t Remaining() const { return ok_ ? bytes_.size() - position_ : 0; }
    bool AtEnd() const { return !ok_ || position_ == bytes_.size(); }

    uint8_t U8() { return static_cast<uint8_t>(Fixed(1)); }
    uint32_t U32() { return static_cast<uint32_t>(Fixed(4)); }
    // A variable-length integer: the top two bits of its first byte give its width (1, 2, 4 or 8 bytes).
    uint64_t VarInt() {
        if (!ok_) return 0;
        const auto read = PeekVarInt(bytes_.subspan(position_));
        if (!read) {
            ok_ = false;
            return 0;
        }
        position_ += read->second;
        return read->first;
    }
    std::span<const uint8_t> Bytes(size_t count) {
        if (!Has(count)) return {};
        const auto taken = bytes_.subspan(position_, count);
        position_ += count;
        return taken;
    }
    std::span<const uint8_t> Rest() { return Bytes(Remaining()); }
    void Fail() { ok_ = false; }

    // The value of a whole variable-length integer at the start of bytes and its width; nothing while
    // bytes hold too few for it.
    static std::optional<std::pair<uint64_t, size_t>> PeekVarInt(std::span<const uint8_t> bytes) {
        if (bytes.empty()) return std::nullopt;
        const size_t width = size_t{1} << (bytes[0] >> 6);
        if (bytes.size() < width) return std::nullopt;
        uint64_t value = bytes[0] & 0x3F;
        for (size_t i = 1; i < width; ++i) value = value << 8 | bytes[i];
        return std::pair<uint64_t, size_t>{value, width};
    }

private:
    bool Has(size_t count) {
        if (ok_ && count <= bytes_.size() - position_) return true;
        ok_ = false;
        return false;
    }
    uint64_t Fixed(size_t count) {
        if (!Has(count)) return 0;
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i) value = value << 8 | bytes_[position_ + i];
        position_ += count;
        return value;
    }

    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
    bool ok_ = true;
};

}  // namespace tarnwick
