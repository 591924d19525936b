// SPDX-License-Identifier: GPL-3.0-or-later
// Where every transport's readers hand the requests and answers they read: one sink per capture thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "capture/message/HttpMessage.h"

namespace tarnwick {

// One request, from its head to the end of its answer's body; made by the sink, held by the reader that
// pairs the answer with it. A reader calls OnAnswer at most once (interim 1xx answers are not handed
// on), then Body with the first bytes of the answer's body (its content, without chunk framing) for as
// long as Wanted() is above zero, then End. Destroyed without End when the connection gives out first.
class HttpExchange {
public:
    virtual ~HttpExchange() = default;
    // The answer's head; bodyFollows is false for an answer without a body (to HEAD, 204, 304).
    virtual void OnAnswer(const HttpResponseHead& answer, bool bodyFollows) = 0;
    // How many more bytes of the body it wants; the reader passes over the rest unread.
    virtual size_t Wanted() const = 0;
    virtual void Body(std::span<const uint8_t> bytes) = 0;
    // complete: the body ended as its framing said (a body cut by a lost stretch or a broken connection
    // is not).
    virtual void End(bool complete) = 0;
};

class HttpExchangeSink {
public:
    // A request read on a connection: nothing when the sink does not care for its answer (the reader
    // then only keeps its place, to pair the answers that follow).
    virtual std::unique_ptr<HttpExchange> OnRequest(const ConnectionFacts& connection,
                                                    const HttpRequestHead& request) = 0;

protected:
    ~HttpExchangeSink() = default;
};

}  // namespace tarnwick
