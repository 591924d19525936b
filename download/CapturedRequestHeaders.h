// SPDX-License-Identifier: GPL-3.0-or-later
// The fields of the browser's request for a video that a download sends again, so that a server which checks
// the Referer, a cookie or a token answers us as it answered the browser.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// Read from the captured request head (HTTP/1.1 form: request line, field lines, blank line). The values are
// secrets like the key log: they are sent to the server and never logged, printed, written to a file or put
// into a message; they are wiped from memory when the object goes.
class CapturedRequestHeaders {
public:
    // A value longer than this is left out whole rather than sent cut.
    static constexpr size_t kMaxValueBytes = 16 * 1024;

    struct Field {
        std::string name;
        std::string value;
    };

    CapturedRequestHeaders() = default;
    ~CapturedRequestHeaders();
    CapturedRequestHeaders(const CapturedRequestHeaders& other) = default;
    CapturedRequestHeaders& operator=(const CapturedRequestHeaders& other) = default;

    // Takes Cookie (several are joined with "; "), Referer, Origin, User-Agent and Authorization; never Range,
    // Host or connection fields. A value with a control character (CR, LF, NUL...) is refused.
    static CapturedRequestHeaders Parse(std::string_view requestText);

    // The fields to send to `host` (a name or address, with or without port and brackets): Cookie and
    // Authorization only when it is the captured request's own host, the others to every host (a browser
    // sends its agent and the page's address to the servers of a page's media as well).
    std::vector<Field> For(std::string_view host) const;

    bool Empty() const;
    const std::string& UserAgent() const { return userAgent_; }
    const std::string& Referer() const { return referer_; }
    // The captured Host field's name or address, in lower case, without port or brackets.
    const std::string& Host() const { return host_; }

    // A host as compared here: lower case, without port or brackets.
    static std::string HostName(std::string_view authority);

private:
    std::string host_;
    std::string cookie_;
    std::string referer_;
    std::string origin_;
    std::string userAgent_;
    std::string authorization_;
};

}  // namespace tarnwick
