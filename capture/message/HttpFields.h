// SPDX-License-Identifier: GPL-3.0-or-later
// The field lines of an HTTP message head, looked up by name in any case, as HTTP names compare.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

// Names and values as views into the reader's copy of the head: valid while the head is handed over.
class HttpFields {
public:
    struct Field {
        std::string_view name;
        std::string_view value;  // without the blanks around it
    };

    void Clear() { fields_.clear(); }
    void Add(std::string_view name, std::string_view value) { fields_.push_back(Field{name, value}); }
    // The value of the first field of this name (compared without regard to case).
    std::optional<std::string_view> Find(std::string_view name) const;
    const std::vector<Field>& All() const { return fields_; }
    bool Empty() const { return fields_.empty(); }

    static bool NameIs(std::string_view name, std::string_view wanted);
    // text without blanks and tabs at either end.
    static std::string_view Trim(std::string_view text);

private:
    std::vector<Field> fields_;
};

}  // namespace tarnwick
