// SPDX-License-Identifier: GPL-3.0-or-later
// An HTTP request or answer head as every transport hands it on: HTTP/1 in the clear or in TLS, HTTP/2.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "capture/decode/TcpSegment.h"
#include "capture/message/HttpFields.h"
#include "capture/stream/FlowKey.h"

namespace tarnwick {

enum class HttpTransport : uint8_t { Http1, Http2, Http3 };

// The connection a message travelled on.
struct ConnectionFacts {
    FlowKey key;                       // client and server ends
    std::string_view scheme = "http";  // "https" inside TLS; always a literal
    std::string serverName;            // named by the TLS handshake; stands in when a request names no host
    HttpTransport transport = HttpTransport::Http1;
    // How the link layer saw the client's packets: this host sent them (Outgoing), received them
    // (Incoming), both (Loopback), or it cannot tell (Unknown: the own addresses decide).
    PacketDirection clientLinkDirection = PacketDirection::Unknown;
};

// Views valid during the call that hands the head over.
struct HttpRequestHead {
    std::string_view method;
    std::string_view scheme;     // "http" or "https"; empty: the connection's
    std::string_view authority;  // the Host field or :authority; empty when the request names none
    std::string_view target;     // the path and query as the request line or :path gives them
    const HttpFields* fields = nullptr;
    // The head in HTTP/1.1 form through its blank line: for HTTP/1 as captured, for HTTP/2 rebuilt.
    std::string_view text;
    bool pushed = false;  // promised by an HTTP/2 server
    int64_t timeMs = 0;
};

struct HttpResponseHead {
    int status = 0;
    const HttpFields* fields = nullptr;
    int64_t timeMs = 0;
};

}  // namespace tarnwick
