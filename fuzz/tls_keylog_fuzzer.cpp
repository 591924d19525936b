// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: key log text in pieces (as a file gives it) and whole (as a capture carries it), then lookups.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "capture/tls/TlsKeyLog.h"

// Input: key log text; the first byte also sets the size of the pieces it is handed over in.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    if (size < 1) return 0;
    const size_t piece = data[0] == 0 ? size : data[0];
    TlsKeyLog keyLog("");
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!text.empty()) {
        const size_t take = std::min(piece, text.size());
        keyLog.AddText(text.substr(0, take));
        text.remove_prefix(take);
    }
    keyLog.TakeUnfinishedLine();
    TlsSessionSecrets secrets;
    TlsClientRandom random{};
    if (size > 32) std::copy_n(data + size - 32, 32, random.begin());
    keyLog.Find(random, data[0] & 1, secrets);
    // The same text as a capture's own secrets, whole lines at once.
    TlsKeyLog captured("");
    captured.AddLines(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    captured.Find(random, data[0] & 1, secrets);
    return 0;
}
