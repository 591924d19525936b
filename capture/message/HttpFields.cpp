// SPDX-License-Identifier: GPL-3.0-or-later
// The field lines of an HTTP message head, looked up by name in any case, as HTTP names compare.
#include "capture/message/HttpFields.h"

#include <array>
#include <cstdint>

namespace tarnwick {

namespace {

// ASCII letters in lower case, every other byte as it is.
constexpr auto kLower = [] {
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i >= 'A' && i <= 'Z' ? i - 'A' + 'a' : i);
    return table;
}();

}  // namespace

bool HttpFields::NameIs(std::string_view name, std::string_view wanted) {
    if (name.size() != wanted.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (kLower[static_cast<uint8_t>(name[i])] != kLower[static_cast<uint8_t>(wanted[i])]) return false;
    return true;
}

std::string_view HttpFields::Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<std::string_view> HttpFields::Find(std::string_view name) const {
    for (const Field& field : fields_)
        if (NameIs(field.name, name)) return field.value;
    return std::nullopt;
}

}  // namespace tarnwick
