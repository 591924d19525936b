// SPDX-License-Identifier: GPL-3.0-or-later
// The value of a Content-Range header: which bytes of how large a whole one answer holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;              // inclusive
    std::optional<int64_t> total;  // nothing when the sender wrote "*"

    // "bytes FIRST-LAST/TOTAL" or "bytes FIRST-LAST/*", blanks allowed after the unit and at the end.
    // Nothing for any other text, for LAST before FIRST, a TOTAL not beyond LAST, or numbers too large.
    static std::optional<ContentRange> Parse(std::string_view value);

    // The size of the whole: the total when it is known, else as far as this piece reaches.
    int64_t WholeSize() const { return total ? *total : last + 1; }
};

}  // namespace tarnwick
