// SPDX-License-Identifier: GPL-3.0-or-later
// Feeds arbitrary bytes to the realm reading of a demand for credentials: it must stay inside them and
// keep its bounds.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "download/AuthenticationChallenge.h"

using tarnwick::AuthenticationChallenge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string realm = AuthenticationChallenge::Realm({reinterpret_cast<const char*>(data), size});
    if (realm.size() > AuthenticationChallenge::kMaxRealm || realm.size() > size) std::abort();
    for (char c : realm)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
    return 0;
}
