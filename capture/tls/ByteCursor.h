// SPDX-License-Identifier: GPL-3.0-or-later
// Reads big-endian fields from a byte span front to back; every read is checked against the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tarnwick {

// A failed read leaves the cursor failed: every later read fails too, so a parser may read a whole
// structure and check Ok() once at the end.
class ByteCursor {
public:
    explicit ByteCursor(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool Ok() const { return ok_; }
    size_t Remaining() const { return ok_ ? bytes_.size() - position_ : 0; }
    bool AtEnd() const { return ok_ && position_ == bytes_.size(); }

    uint8_t U8() { return static_cast<uint8_t>(Read(1)); }
    uint16_t U16() { return static_cast<uint16_t>(Read(2)); }
    uint32_t U24() { return static_cast<uint32_t>(Read(3)); }
    // The next count bytes (empty and failed when fewer remain).
    std::span<const uint8_t> Bytes(size_t count) {
        if (!Has(count)) return {};
        const auto taken = bytes_.subspan(position_, count);
        position_ += count;
        return taken;
    }
    void Skip(size_t count) { Bytes(count); }
    // A sub-cursor over a vector whose length prefix is 1, 2 or 3 bytes wide.
    ByteCursor Vector(int lengthBytes) {
        const size_t length = lengthBytes == 1 ? U8() : lengthBytes == 2 ? U16() : U24();
        ByteCursor inner(Bytes(length));
        inner.ok_ = ok_;
        return inner;
    }

private:
    bool Has(size_t count) {
        if (ok_ && count <= bytes_.size() - position_) return true;
        ok_ = false;
        return false;
    }
    uint32_t Read(size_t count) {
        if (!Has(count)) return 0;
        uint32_t value = 0;
        for (size_t i = 0; i < count; ++i) value = (value << 8) | bytes_[position_ + i];
        position_ += count;
        return value;
    }

    std::span<const uint8_t> bytes_;
    size_t position_ = 0;
    bool ok_ = true;
};

}  // namespace tarnwick
