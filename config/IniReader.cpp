// SPDX-License-Identifier: GPL-3.0-or-later
// Reads one value of an INI file the way the classic profile API does.
#include "config/IniReader.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace tarnwick {
namespace {

std::string Trim(const std::string& text) {
    auto isBlank = [](unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    size_t first = 0;
    while (first < text.size() && isBlank(static_cast<unsigned char>(text[first]))) ++first;
    size_t last = text.size();
    while (last > first && isBlank(static_cast<unsigned char>(text[last - 1]))) --last;
    return text.substr(first, last - first);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Unquote(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

std::string ReadProfileString(const std::string& filePath, const std::string& section, const std::string& key,
                              const std::string& defaultValue) {
    std::ifstream in(filePath, std::ios::binary);
    if (!in) return defaultValue.substr(0, kProfileValueLimit);
    std::string line;
    bool inSection = false;
    bool firstLine = true;
    while (std::getline(in, line)) {
        if (firstLine && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // UTF-8 byte order mark
        firstLine = false;
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == ';') continue;
        if (trimmed[0] == '[') {
            size_t close = trimmed.find(']');
            inSection = close != std::string::npos && EqualsIgnoringCase(Trim(trimmed.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        size_t equals = trimmed.find('=');
        if (equals == std::string::npos || !EqualsIgnoringCase(Trim(trimmed.substr(0, equals)), key)) continue;
        return Unquote(Trim(trimmed.substr(equals + 1))).substr(0, kProfileValueLimit);
    }
    return defaultValue.substr(0, kProfileValueLimit);
}

}  // namespace tarnwick
