// SPDX-License-Identifier: GPL-3.0-or-later
// The realm of a server's or proxy's demand for credentials.
#include "download/AuthenticationChallenge.h"

#include <cctype>

namespace tarnwick {
namespace {

bool IsTokenCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

void Keep(std::string& realm, char c) {
    if (realm.size() < AuthenticationChallenge::kMaxRealm)
        realm += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
}

}  // namespace

std::string AuthenticationChallenge::Realm(std::string_view value) {
    // Look for the parameter name "realm" at the start of a word, followed by '='.
    for (size_t at = 0; at + 6 <= value.size(); ++at) {
        bool wordStart = at == 0 || !IsTokenCharacter(value[at - 1]);
        if (!wordStart) continue;
        size_t i = 0;
        while (i < 5 && std::tolower(static_cast<unsigned char>(value[at + i])) == "realm"[i]) ++i;
        if (i < 5) continue;
        size_t pos = at + 5;
        while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t')) ++pos;
        if (pos >= value.size() || value[pos] != '=') continue;
        ++pos;
        while (pos < value.size() && (value[pos] == ' ' || value[pos] == '\t')) ++pos;
        std::string realm;
        if (pos < value.size() && value[pos] == '"') {
            // A quoted string: a backslash takes the next character as it is.
            for (++pos; pos < value.size() && value[pos] != '"'; ++pos) {
                if (value[pos] == '\\' && pos + 1 < value.size()) ++pos;
                Keep(realm, value[pos]);
            }
        } else {
            for (; pos < value.size() && IsTokenCharacter(value[pos]); ++pos) Keep(realm, value[pos]);
        }
        return realm;
    }
    return {};
}

}  // namespace tarnwick
