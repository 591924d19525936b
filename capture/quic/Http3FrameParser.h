// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts one HTTP/3 byte stream (a request, push or control stream) into frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarnwick {

// DATA payloads are handed on as they come; the payloads of the few other frames that are read
// (HEADERS, PUSH_PROMISE, SETTINGS, GOAWAY...) are gathered whole up to a bound; frames of unknown
// types (the reserved "grease" types included) are passed over. The frame types that only HTTP/2 has
// are an error.
class Http3FrameParser {
public:
    static constexpr uint64_t kData = 0x00, kHeaders = 0x01, kCancelPush = 0x03, kSettings = 0x04, kPushPromise = 0x05,
                              kGoAway = 0x07, kMaxPushId = 0x0d;

    class Handler {
    public:
        // A whole frame of a read type other than DATA; false to stop.
        virtual bool OnFrame(uint64_t type, std::span<const uint8_t> payload) = 0;
        // The next bytes of a DATA frame's payload; false to stop.
        virtual bool OnData(std::span<const uint8_t> bytes) = 0;

    protected:
        ~Handler() = default;
    };

    // Room kept between frames for the next one.
    static constexpr size_t kKeptRoom = 4096;

    explicit Http3FrameParser(size_t maxKeptFrame) : maxKeptFrame_(maxKeptFrame) {}

    // False when the bytes break the framing (or a kept frame is beyond the bound: Failed()), or the
    // handler stopped; the parser takes nothing more then.
    bool Feed(std::span<const uint8_t> bytes, Handler& handler);
    // Between frames: the stream may end here.
    bool BetweenFrames() const { return !inFrame_ && headerHave_ == 0; }
    bool Failed() const { return failed_; }
    // The bytes it holds for a frame being gathered.
    size_t HeldBytes() const { return payload_.capacity(); }

private:
    static bool Kept(uint64_t type) {
        return type == kHeaders || type == kCancelPush || type == kSettings || type == kPushPromise ||
               type == kGoAway || type == kMaxPushId;
    }
    bool Fail() {
        failed_ = true;
        return false;
    }
    bool Stop() {
        stopped_ = true;
        return false;
    }

    size_t maxKeptFrame_;
    uint8_t header_[16] = {};
    size_t headerHave_ = 0;
    bool inFrame_ = false;
    uint64_t type_ = 0;
    uint64_t left_ = 0;
    std::vector<uint8_t> payload_;
    bool failed_ = false;
    bool stopped_ = false;
};

}  // namespace tarnwick
