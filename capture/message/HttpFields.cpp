// The field lines of an HTTP message head, looked up by name in any case, as HTTP names compare.
#include "capture/message/HttpFields.h"

namespace tarnwick {

bool HttpFields::NameIs(std::string_view name, std::string_view wanted) {
    if (name.size() != wanted.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char a = name[i], b = wanted[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
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
