// SPDX-License-Identifier: GPL-3.0-or-later
// A segment address with number placeholders ($Number$, $Number%05d$, $Time$, $SubNumber$), matched
// against the addresses a player asks for.
#include "capture/playlist/AddressTemplate.h"

namespace tarnwick {
namespace {

// "Number", "Time" or "SubNumber", with an optional printf width ("%05d").
bool IsNumberPlaceholder(std::string_view identifier) {
    const size_t percent = identifier.find('%');
    const std::string_view name = identifier.substr(0, percent);
    if (name != "Number" && name != "Time" && name != "SubNumber") return false;
    if (percent == std::string_view::npos) return true;
    const std::string_view format = identifier.substr(percent + 1);
    if (format.size() < 2 || format.back() != 'd') return false;
    for (char c : format.substr(0, format.size() - 1))
        if (c < '0' || c > '9') return false;
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<AddressTemplate> AddressTemplate::Compile(std::string_view text) {
    AddressTemplate compiled;
    std::string literal;
    size_t at = 0;
    while (at < text.size()) {
        const size_t open = text.find('$', at);
        if (open == std::string_view::npos) {
            literal.append(text.substr(at));
            break;
        }
        literal.append(text.substr(at, open - at));
        const size_t close = text.find('$', open + 1);
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view identifier = text.substr(open + 1, close - open - 1);
        if (identifier.empty()) {
            literal += '$';  // "$$" stands for one dollar sign
        } else if (IsNumberPlaceholder(identifier)) {
            if (compiled.literals_.size() == kMaxPlaceholders) return std::nullopt;
            // Two numbers side by side, or a number followed by a digit, cannot be told apart in an
            // address: such a pattern is not followed.
            if (!compiled.literals_.empty() && (literal.empty() || IsDigit(literal.front()))) return std::nullopt;
            compiled.literals_.push_back(std::move(literal));
            literal.clear();
        } else {
            return std::nullopt;
        }
        at = close + 1;
    }
    if (compiled.literals_.empty()) return std::nullopt;
    if (!literal.empty() && IsDigit(literal.front())) return std::nullopt;
    compiled.literals_.push_back(std::move(literal));
    // The shape: the literals' own digits and the numbers between them make the runs.
    bool inRun = false;
    for (size_t part = 0; part < compiled.literals_.size(); ++part) {
        for (const char c : compiled.literals_[part]) {
            if (IsDigit(c)) {
                if (!inRun) compiled.shape_ += '\0';
                inRun = true;
            } else {
                compiled.shape_ += c;
                inRun = false;
            }
            ++compiled.cost_;
        }
        if (part + 1 < compiled.literals_.size()) {
            if (!inRun) compiled.shape_ += '\0';
            inRun = true;
            compiled.cost_ += kMaxDigits + 1;
        }
    }
    compiled.cost_ += compiled.literals_.back().size();  // the end is compared first, then again in turn
    return compiled;
}

std::string AddressTemplate::ShapeOf(std::string_view address) {
    std::string shape;
    shape.reserve(address.size());
    bool inRun = false;
    for (const char c : address) {
        if (IsDigit(c)) {
            if (!inRun) shape += '\0';
            inRun = true;
        } else {
            shape += c;
            inRun = false;
        }
    }
    return shape;
}

// Each number takes every digit that follows (no literal after it begins with a digit), so the address
// is read once from left to right.
bool AddressTemplate::Matches(std::string_view address) const {
    if (literals_.empty()) return false;
    const std::string& last = literals_.back();
    if (address.size() < literals_.front().size() + last.size() ||
        address.substr(0, literals_.front().size()) != literals_.front() ||
        address.substr(address.size() - last.size()) != last)
        return false;
    size_t at = literals_.front().size();
    for (size_t part = 1; part < literals_.size(); ++part) {
        size_t digits = 0;
        while (at + digits < address.size() && IsDigit(address[at + digits])) ++digits;
        if (digits == 0 || digits > kMaxDigits) return false;
        at += digits;
        const std::string& literal = literals_[part];
        if (address.substr(at, literal.size()) != literal) return false;
        at += literal.size();
    }
    return at == address.size();
}

}  // namespace tarnwick
