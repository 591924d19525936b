// SPDX-License-Identifier: GPL-3.0-or-later
// The value of a Content-Range header: which bytes of how large a whole one answer holds.
#include "capture/judge/ContentRange.h"

namespace tarnwick {
namespace {

// Digits at text[at...] as a number; at moves past them. Nothing without digits or beyond 18 digits,
// which keeps every sum of two such numbers inside 64 bits.
std::optional<int64_t> ReadNumber(std::string_view text, size_t& at) {
    constexpr size_t kMaxDigits = 18;
    int64_t value = 0;
    size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (++digits > kMaxDigits) return std::nullopt;
        value = value * 10 + (text[at++] - '0');
    }
    if (digits == 0) return std::nullopt;
    return value;
}

void SkipBlanks(std::string_view text, size_t& at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
}

}  // namespace

std::optional<ContentRange> ContentRange::Parse(std::string_view value) {
    constexpr std::string_view kUnit = "bytes";
    if (value.substr(0, kUnit.size()) != kUnit) return std::nullopt;
    size_t at = kUnit.size();
    const size_t afterUnit = at;
    SkipBlanks(value, at);
    if (at == afterUnit) return std::nullopt;

    ContentRange range;
    const auto first = ReadNumber(value, at);
    if (!first || at >= value.size() || value[at++] != '-') return std::nullopt;
    const auto last = ReadNumber(value, at);
    if (!last || at >= value.size() || value[at++] != '/') return std::nullopt;
    if (at < value.size() && value[at] == '*') {
        ++at;
    } else {
        range.total = ReadNumber(value, at);
        if (!range.total) return std::nullopt;
    }
    SkipBlanks(value, at);
    if (at != value.size()) return std::nullopt;
    range.first = *first;
    range.last = *last;
    if (range.last < range.first || (range.total && *range.total <= range.last)) return std::nullopt;
    return range;
}

}  // namespace tarnwick
