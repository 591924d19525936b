// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts one direction of an HTTP/2 connection into frames, as the bytes come, without holding a frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "capture/http2/Http2Protocol.h"
#include "capture/stream/StreamDirection.h"

namespace tarnwick {

// Only a frame's header and its few fixed fields are kept: data and header block fragments are handed
// on in the pieces they arrive in, and padding is passed over, so the memory used does not grow with
// the frame size. Whatever breaks the framing rules (a frame longer than its receiver allows, padding
// longer than the frame, a header block interrupted by another frame, a connection-level frame on a
// stream, a client that does not start with the preface) ends the reading for good: from there on
// the bytes cannot be cut into frames with any confidence.
class Http2FrameParser {
public:
    // The fixed fields that precede a frame's content.
    struct Fields {
        uint32_t promisedStreamId = 0;  // PUSH_PROMISE
        uint32_t lastStreamId = 0;      // GOAWAY
        uint32_t errorCode = 0;         // RST_STREAM, GOAWAY
    };

    // Each call returns false to stop the reading of the connection.
    class Handler {
    public:
        virtual ~Handler() = default;
        // A frame whose fixed fields have been read; its content follows.
        virtual bool OnFrameStart(StreamDirection direction, const Http2::FrameHeader& frame, const Fields& fields) = 0;
        // Content of DATA (the data) or of HEADERS, PUSH_PROMISE and CONTINUATION (a header block fragment).
        virtual bool OnFrameContent(StreamDirection direction, const Http2::FrameHeader& frame,
                                    std::span<const uint8_t> bytes) = 0;
        // One parameter of a SETTINGS frame that is not an acknowledgement.
        virtual bool OnSetting(StreamDirection direction, uint16_t id, uint32_t value) = 0;
        // The frame's last byte (padding included) has been read.
        virtual bool OnFrameEnd(StreamDirection direction, const Http2::FrameHeader& frame) = 0;
    };

    // The client's side starts with the preface; the server's with its first frame.
    Http2FrameParser(StreamDirection direction, Handler& handler);

    // Reads on; false once the reading has ended (a framing error, or the handler stopped it).
    bool Feed(std::span<const uint8_t> bytes);
    bool Failed() const { return failed_; }
    // True when the framing itself was broken (not the handler's stop).
    bool Malformed() const { return malformed_; }

    // The receiver of this side's frames allows frames of up to this size (its SETTINGS_MAX_FRAME_SIZE).
    // Only ever raised: frames sent before the sender saw a lower value are still in flight.
    void AllowFrameSize(uint32_t size);
    uint32_t MaxFrameSize() const { return maxFrameSize_; }

private:
    enum class State : uint8_t { Preface, Header, Prefix, Content, Setting, Skip };

    bool StartFrame();
    bool PrefixRead();
    bool StartContent();
    bool StartTail();
    bool EndFrame();
    bool Stop(bool malformed);

    StreamDirection direction_;
    Handler& handler_;
    State state_;
    uint8_t buffer_[Http2::kFrameHeaderSize] = {};
    size_t have_ = 0;
    Http2::FrameHeader frame_;
    size_t prefixSize_ = 0;  // pad length, priority and fixed fields before the content
    size_t contentLeft_ = 0;
    size_t tailLeft_ = 0;  // padding, GOAWAY debug data, or a whole frame passed over
    size_t settingsLeft_ = 0;
    uint32_t maxFrameSize_ = Http2::kDefaultMaxFrameSize;
    uint32_t continuationStream_ = 0;  // the stream whose header block is unfinished; 0 when none
    bool failed_ = false;
    bool malformed_ = false;
};

}  // namespace tarnwick
