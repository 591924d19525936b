// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts one direction of an HTTP/2 connection into frames, as the bytes come, without holding a frame.
#include "capture/http2/Http2FrameParser.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {

namespace {

uint32_t BigEndian32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 | static_cast<uint32_t>(at[2]) << 8 |
           at[3];
}

constexpr uint32_t kStreamIdMask = 0x7fffffff;

}  // namespace

Http2FrameParser::Http2FrameParser(StreamDirection direction, Handler& handler)
    : direction_(direction),
      handler_(handler),
      state_(direction == StreamDirection::ClientToServer ? State::Preface : State::Header) {}

void Http2FrameParser::AllowFrameSize(uint32_t size) {
    maxFrameSize_ = std::max(maxFrameSize_, std::min(size, Http2::kLargestMaxFrameSize));
}

bool Http2FrameParser::Feed(std::span<const uint8_t> bytes) {
    while (!bytes.empty() && !failed_) {
        size_t used = 0;
        switch (state_) {
            case State::Preface: {
                used = std::min(bytes.size(), Http2::kPreface.size() - have_);
                if (std::memcmp(bytes.data(), Http2::kPreface.data() + have_, used) != 0) return Stop(true);
                have_ += used;
                if (have_ == Http2::kPreface.size()) {
                    have_ = 0;
                    state_ = State::Header;
                }
                break;
            }
            case State::Header:
            case State::Prefix:
            case State::Setting: {
                const size_t want = state_ == State::Header   ? Http2::kFrameHeaderSize
                                    : state_ == State::Prefix ? prefixSize_
                                                              : 6;
                used = std::min(bytes.size(), want - have_);
                std::memcpy(buffer_ + have_, bytes.data(), used);
                have_ += used;
                if (have_ < want) break;
                have_ = 0;
                if (state_ == State::Header) {
                    StartFrame();
                } else if (state_ == State::Prefix) {
                    PrefixRead();
                } else {
                    const uint16_t id = static_cast<uint16_t>(buffer_[0] << 8 | buffer_[1]);
                    if (!handler_.OnSetting(direction_, id, BigEndian32(buffer_ + 2))) return Stop(false);
                    settingsLeft_ -= 6;
                    if (settingsLeft_ == 0) EndFrame();
                }
                break;
            }
            case State::Content:
                used = std::min(bytes.size(), contentLeft_);
                contentLeft_ -= used;
                if (!handler_.OnFrameContent(direction_, frame_, bytes.first(used))) return Stop(false);
                if (contentLeft_ == 0) StartTail();
                break;
            case State::Skip:
                used = std::min(bytes.size(), tailLeft_);
                tailLeft_ -= used;
                if (tailLeft_ == 0) EndFrame();
                break;
        }
        bytes = bytes.subspan(used);
    }
    return !failed_;
}

bool Http2FrameParser::StartFrame() {
    frame_.length = static_cast<uint32_t>(buffer_[0]) << 16 | static_cast<uint32_t>(buffer_[1]) << 8 | buffer_[2];
    frame_.type = buffer_[3];
    frame_.flags = buffer_[4];
    frame_.streamId = BigEndian32(buffer_ + 5) & kStreamIdMask;
    if (frame_.length > maxFrameSize_) return Stop(true);

    // A header block is one piece of work for the decoder: nothing may come between its frames.
    const bool continuation = frame_.type == Http2::kContinuation;
    if (continuationStream_ != 0 ? !continuation || frame_.streamId != continuationStream_ : continuation)
        return Stop(true);

    const bool padded = frame_.Has(Http2::kPadded);
    const bool onStream = frame_.streamId != 0;
    prefixSize_ = 0;
    switch (frame_.type) {
        case Http2::kData:
            if (!onStream) return Stop(true);
            prefixSize_ = padded ? 1 : 0;
            break;
        case Http2::kHeaders:
            if (!onStream) return Stop(true);
            prefixSize_ = (padded ? 1 : 0) + (frame_.Has(Http2::kPriorityFields) ? 5 : 0);
            break;
        case Http2::kPushPromise:
            if (!onStream) return Stop(true);
            prefixSize_ = (padded ? 1 : 0) + 4;
            break;
        case Http2::kContinuation:
            break;
        case Http2::kRstStream:
            if (!onStream || frame_.length != 4) return Stop(true);
            prefixSize_ = 4;
            break;
        case Http2::kGoAway:
            if (onStream || frame_.length < 8) return Stop(true);
            prefixSize_ = 8;
            break;
        case Http2::kSettings:
            if (onStream || frame_.length % 6 != 0 || (frame_.Has(Http2::kAck) && frame_.length != 0))
                return Stop(true);
            if (!handler_.OnFrameStart(direction_, frame_, Fields{})) return Stop(false);
            settingsLeft_ = frame_.Has(Http2::kAck) ? 0 : frame_.length;
            if (settingsLeft_ == 0) return EndFrame();
            state_ = State::Setting;
            return true;
        default:
            // PRIORITY, PING, WINDOW_UPDATE and unknown types say nothing the reader needs.
            break;
    }
    if (prefixSize_ > frame_.length) return Stop(true);
    if (prefixSize_ == 0) return PrefixRead();
    state_ = State::Prefix;
    return true;
}

bool Http2FrameParser::PrefixRead() {
    Fields fields;
    const bool padded = frame_.Has(Http2::kPadded);
    const size_t padLength = padded ? buffer_[0] : 0;
    contentLeft_ = 0;
    tailLeft_ = 0;
    switch (frame_.type) {
        case Http2::kData:
        case Http2::kHeaders:
        case Http2::kPushPromise:
            if (prefixSize_ + padLength > frame_.length) return Stop(true);
            contentLeft_ = frame_.length - prefixSize_ - padLength;
            tailLeft_ = padLength;
            if (frame_.type == Http2::kPushPromise)
                fields.promisedStreamId = BigEndian32(buffer_ + (padded ? 1 : 0)) & kStreamIdMask;
            break;
        case Http2::kContinuation:
            contentLeft_ = frame_.length;
            break;
        case Http2::kRstStream:
            fields.errorCode = BigEndian32(buffer_);
            break;
        case Http2::kGoAway:
            fields.lastStreamId = BigEndian32(buffer_) & kStreamIdMask;
            fields.errorCode = BigEndian32(buffer_ + 4);
            tailLeft_ = frame_.length - prefixSize_;  // debug data
            break;
        default:
            tailLeft_ = frame_.length;
            break;
    }
    const bool blockFrame =
        frame_.type == Http2::kHeaders || frame_.type == Http2::kPushPromise || frame_.type == Http2::kContinuation;
    if (blockFrame) continuationStream_ = frame_.Has(Http2::kEndHeaders) ? 0 : frame_.streamId;
    if (!handler_.OnFrameStart(direction_, frame_, fields)) return Stop(false);
    return StartContent();
}

bool Http2FrameParser::StartContent() {
    if (contentLeft_ == 0) return StartTail();
    state_ = State::Content;
    return true;
}

bool Http2FrameParser::StartTail() {
    if (tailLeft_ == 0) return EndFrame();
    state_ = State::Skip;
    return true;
}

bool Http2FrameParser::EndFrame() {
    state_ = State::Header;
    have_ = 0;
    if (!handler_.OnFrameEnd(direction_, frame_)) return Stop(false);
    return true;
}

bool Http2FrameParser::Stop(bool malformed) {
    failed_ = true;
    malformed_ = malformed_ || malformed;
    return false;
}

}  // namespace tarnwick
