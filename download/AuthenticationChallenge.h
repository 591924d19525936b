// SPDX-License-Identifier: GPL-3.0-or-later
// What a server's or proxy's demand for credentials says about itself: the realm that names the
// protected area, read from a WWW-Authenticate or Proxy-Authenticate field.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

class AuthenticationChallenge {
public:
    // Longest realm kept; a longer one is cut (it is only shown to the user).
    static constexpr size_t kMaxRealm = 200;

    // The realm of the first challenge in the field's value that names one ("Basic realm="videos"" gives
    // videos); empty when none does. Characters that cannot be shown become '?'.
    static std::string Realm(std::string_view fieldValue);
};

}  // namespace tarnwick
