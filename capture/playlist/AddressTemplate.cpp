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
            compiled.literals_.push_back(std::move(literal));
            literal.clear();
        } else {
            return std::nullopt;
        }
        at = close + 1;
    }
    if (compiled.literals_.empty()) return std::nullopt;
    compiled.literals_.push_back(std::move(literal));
    return compiled;
}

bool AddressTemplate::Matches(std::string_view address) const {
    if (literals_.empty() || address.substr(0, literals_[0].size()) != literals_[0]) return false;
    return MatchFrom(address.substr(literals_[0].size()), 1);
}

// address begins where the digits before literals_[part] stand. Each run of digits may be shorter than
// all the digits there (a literal may begin with a digit), so the lengths are tried longest first; with
// at most kMaxPlaceholders runs of at most kMaxDigits that stays a few hundred comparisons.
bool AddressTemplate::MatchFrom(std::string_view address, size_t part) const {
    size_t digits = 0;
    while (digits < address.size() && digits < kMaxDigits && address[digits] >= '0' && address[digits] <= '9') ++digits;
    for (size_t length = digits; length >= 1; --length) {
        const std::string_view rest = address.substr(length);
        const std::string& literal = literals_[part];
        if (rest.substr(0, literal.size()) != literal) continue;
        if (part + 1 == literals_.size()) {
            if (rest.size() == literal.size()) return true;
        } else if (MatchFrom(rest.substr(literal.size()), part + 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace tarnwick
