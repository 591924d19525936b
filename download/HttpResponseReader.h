// SPDX-License-Identifier: GPL-3.0-or-later
// Reads one HTTP/1.x response as its bytes arrive: the header up to its blank line, then the body framed by
// Content-Length, by chunked transfer coding, or by the end of the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

class HttpResponseReader {
public:
    enum class State { Header, Body, Complete, Failed };

    // Called once the final (non-1xx) header has been read; false stops the response.
    using HeaderHandler = std::function<bool(const HttpResponseReader&)>;
    // Called with every piece of the decoded body, in order; false stops the response.
    using BodyHandler = std::function<bool(const char* data, size_t size)>;

    // A header (interim answers included) or a chunk trailer longer than this is refused.
    static constexpr size_t kMaxHeaderBytes = 64 * 1024;
    // One chunk-size line, extensions included.
    static constexpr size_t kMaxChunkLineBytes = 4096;
    static constexpr int kMaxInterimResponses = 16;

    HttpResponseReader(HeaderHandler onHeader, BodyHandler onBody);

    // Takes the next received bytes, which may split the response anywhere. Returns the state after them;
    // bytes after a complete response are ignored.
    State Feed(const char* data, size_t size);
    // The connection has closed: a body that runs to the close is complete, anything else was cut short.
    State Finish();

    State CurrentState() const { return state_; }
    // Why the response failed; empty when a handler stopped it (the handler knows why).
    const std::string& Error() const { return error_; }
    int StatusCode() const { return statusCode_; }
    // The status line without its line end.
    const std::string& StatusLine() const { return statusLine_; }
    // The value of the first field of that name (compared without case), trimmed; nothing when absent.
    std::optional<std::string> Field(std::string_view name) const;
    // The announced body length; nothing when absent, unreadable, too large for 64 bits, or chunked.
    std::optional<uint64_t> ContentLength() const { return contentLength_; }
    bool Chunked() const { return chunked_; }
    // Decoded body bytes handed on so far.
    uint64_t BodyBytes() const { return bodyBytes_; }

    // A run of decimal digits that fits 64 bits, with blanks around it; nothing otherwise.
    static std::optional<uint64_t> ParseLength(std::string_view text);

private:
    enum class BodyFraming { Length, Chunked, UntilClose, None };
    enum class ChunkStep { Size, Data, DataEnd, Trailer };

    State Fail(std::string reason);
    size_t ReadHeader(const char* data, size_t size);
    bool ParseHeader(std::string_view header);
    size_t ReadBody(const char* data, size_t size);
    size_t ReadChunked(const char* data, size_t size);
    bool Deliver(const char* data, size_t size);

    HeaderHandler onHeader_;
    BodyHandler onBody_;
    State state_ = State::Header;
    std::string error_;

    std::string header_;
    size_t headerScanned_ = 0;
    size_t headerBytesTotal_ = 0;
    int interimResponses_ = 0;
    std::string statusLine_;
    int statusCode_ = 0;
    std::string fields_;  // the header's field lines, each ending in "\n"
    std::optional<uint64_t> contentLength_;
    bool chunked_ = false;

    BodyFraming framing_ = BodyFraming::None;
    uint64_t bodyBytes_ = 0;
    uint64_t left_ = 0;  // of the announced length, or of the current chunk
    ChunkStep chunkStep_ = ChunkStep::Size;
    std::string line_;
    size_t trailerBytes_ = 0;
};

}  // namespace tarnwick
