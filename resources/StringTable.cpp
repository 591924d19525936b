// SPDX-License-Identifier: GPL-3.0-or-later
// The program's string table (ids 1600-1628) and plain %1/%2 substitution.
#include "resources/StringTable.h"

#include <map>

namespace tarnwick {
namespace {

const std::map<int, std::string>& Table() {
    static const std::map<int, std::string> table = {
        {1600, "%1 from %2"},
        {1601, "Connected to %1"},
        {1602, "Resolving name: %1"},
        {1603, "Resolved name to %1"},
        {1604, "Connecting to %1"},
        {1605, "Redirecting to %1"},
        {1606, "Getting file information"},
        {1608, "An error occurred while attempting to download the file, Error:%1"},
        {1609, "An error occurred connecting to the server, Error:%1"},
        {1610, "Failed to receive a valid response from the server, Error:%1"},
        {1611, "Failed to receive a valid HTTP response from the server, Response Code:%1"},
        {1612, "An error occurred while downloading the file, Error:%1"},
        {1613, "%1% of %2 Completed"},
        {1614, "Retrieving the file"},
        {1615, "%1 of %2"},
        {1616, "%1 sec"},
        {1617, "%1 min"},
        {1618, "%1 min %2 sec"},
        {1619, "%1 Bytes"},
        {1620, "%1 KB"},
        {1621, "%1 MB"},
        {1622, "%1 (%2 copied)"},
        {1623, "%1 Bytes/Sec"},
        {1624, "%1 KB/Sec"},
        {1625, "The file '%1' already exists.\nDo you want to replace it?"},
        {1626, "An error occured while opening the file to be downloaded, Error:%1"},
        {1627, "Aborting transfer"},
        {1628, "An error occurred while seeking to the end of the file to be downloaded, Error:%1"},
    };
    return table;
}

}  // namespace

std::optional<std::string> LoadString(int id) {
    auto it = Table().find(id);
    if (it == Table().end()) return std::nullopt;
    return it->second;
}

std::string FormatMessage(const std::string& text, const std::string& first, const std::string& second) {
    std::string out;
    out.reserve(text.size() + first.size() + second.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == '1' || text[i + 1] == '2')) {
            out += text[i + 1] == '1' ? first : second;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string FormatString(int id, const std::string& first, const std::string& second) {
    auto text = LoadString(id);
    return text ? FormatMessage(*text, first, second) : std::string();
}

}  // namespace tarnwick
