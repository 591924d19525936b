// SPDX-License-Identifier: GPL-3.0-or-later
// Takes one HTTP/1 message body off a connection's bytes by the framing its head names: a length,
// chunked transfer coding, or the rest of the connection. Hands on the body's own bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/message/HttpFields.h"

namespace tarnwick {

class Http1BodyDecoder {
public:
    static constexpr size_t kMaxLineBytes = 4096;  // a chunk-size or trailer line

    // What the headers say of a body's length.
    struct Framing {
        bool chunked = false;
        std::optional<uint64_t> length;
        bool valid = true;  // false: lengths that disagree or cannot be read
    };
    // From a head's fields.
    static Framing FramingOf(const HttpFields& fields);

    enum class Result : uint8_t { More, Ended, Broken };
    using BodyBytes = std::function<void(std::span<const uint8_t>)>;

    // Starts a body: Ended at once for an empty one. Without a length or chunking, a body runs to the
    // end of the connection when toTheEndAllowed (a response), else it is empty (a request).
    Result Start(const Framing& framing, bool toTheEndAllowed);
    // Takes bytes up to the body's end (used says how many) and hands the body's bytes, without the
    // chunk framing, to onBody (which may be empty). Broken for chunk framing that is not HTTP/1.
    Result Read(std::span<const uint8_t> bytes, size_t& used, const BodyBytes& onBody);
    // The body runs to the end of the connection: a clean end of the connection completes it.
    bool ToTheEnd() const { return state_ == State::ToTheEnd; }
    bool Ended() const { return state_ == State::Done; }

    // How many of the next bytes are the body's own content, which a reader that does not need them
    // may pass over unread (the rest of a length or of a chunk; UINT64_MAX: to the end of the connection).
    uint64_t Skippable() const;
    // Takes count of them (no more than Skippable()) as read; Ended() tells whether the body is over.
    void Skip(uint64_t count);

private:
    enum class State : uint8_t { Done, Fixed, ChunkSize, ChunkData, ChunkDataEnd, Trailer, ToTheEnd };

    // One step over bytes; how many it used.
    size_t Step(std::span<const uint8_t> bytes, const BodyBytes& onBody, bool& broken);

    State state_ = State::Done;
    std::string line_;
    uint64_t remaining_ = 0;  // of the body (Fixed) or of the chunk (ChunkData)
};

}  // namespace tarnwick
