// SPDX-License-Identifier: GPL-3.0-or-later
// One request head that ffmpeg sends to the loopback relay, read and rewritten for the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "download/CapturedRequestHeaders.h"

namespace tarnwick {

// Three forms are read: "CONNECT host:port" (a secure connection to open), "GET http://host:port/path" (a plain
// request through the proxy) and "GET /path" with a Host field (the request inside a secure connection). Only
// GET is relayed. The head is bounded; anything else, or anything malformed, is Invalid.
class ProxyRequest {
public:
    enum class Form { Invalid, Connect, Absolute, Origin };

    static constexpr size_t kMaxHeadBytes = 32 * 1024;
    static constexpr size_t kMaxFields = 100;

    // `head` runs up to and including the blank line.
    static ProxyRequest Parse(std::string_view head);

    Form TargetForm() const { return form_; }
    // The server's name or address (IPv6 without brackets) and port.
    const std::string& Host() const { return host_; }
    uint16_t Port() const { return port_; }
    // Why the head is Invalid, for the relay's answer (no secret ever: no field value is quoted).
    const std::string& Problem() const { return problem_; }

    // The head for the server: origin form, the given fields in place of ffmpeg's fields of the same name,
    // hop-by-hop and proxy fields dropped, and "Connection: close" so that the server ends the connection
    // after its answer. An Origin request keeps its own Host field.
    std::string ForServer(const std::vector<CapturedRequestHeaders::Field>& replacements) const;

private:
    struct Field {
        std::string name;
        std::string value;
    };

    Form form_ = Form::Invalid;
    std::string method_;
    std::string host_;
    uint16_t port_ = 0;
    std::string path_;
    std::string version_;
    std::vector<Field> fields_;
    std::string problem_;
};

}  // namespace tarnwick
