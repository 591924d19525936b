// Resolves an address a playlist names against the playlist's own address, as a browser would.
#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

class UrlResolver {
public:
    // base and the result are in the detector's form: host and path without "http://". reference may
    // be absolute ("http://host/x"), host-relative ("//host/x"), path-absolute ("/x") or relative
    // ("x", "../x"); dot segments are removed and a fragment is dropped. Empty when the reference is
    // not a plain-HTTP address (another scheme) or cannot be read as one.
    static std::string Resolve(std::string_view base, std::string_view reference);
};

}  // namespace tarnwick
