// SPDX-License-Identifier: GPL-3.0-or-later
// A segment address with number placeholders ($Number$, $Number%05d$, $Time$, $SubNumber$), matched
// against the addresses a player asks for.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

class AddressTemplate {
public:
    // Templates with more placeholders than this are not followed (real ones have one or two).
    static constexpr size_t kMaxPlaceholders = 4;
    // A placeholder stands for 1 to this many decimal digits.
    static constexpr size_t kMaxDigits = 20;

    // Nothing for a template with no placeholder, an unknown or unclosed one, or too many.
    static std::optional<AddressTemplate> Compile(std::string_view text);

    // Linear in the address's length, and at most Cost() bytes compared.
    bool Matches(std::string_view address) const;
    // The text every matching address begins with.
    const std::string& Prefix() const { return literals_.front(); }
    // The bytes compared and digits read at most by Matches.
    size_t Cost() const { return cost_; }

    // An address with each run of digits written as one NUL. Every address a template matches has the
    // template's shape (each number lies in a run of digits with the digits of the text around it), so
    // that templates are looked up by it instead of being tried one by one.
    static std::string ShapeOf(std::string_view address);
    const std::string& Shape() const { return shape_; }

private:
    // literals_[0], digits, literals_[1], digits, ..., literals_[n]: one more literal than placeholders.
    std::vector<std::string> literals_;
    std::string shape_;
    size_t cost_ = 0;
};

}  // namespace tarnwick
