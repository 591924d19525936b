// SPDX-License-Identifier: GPL-3.0-or-later
// Takes one HTTP/1 message body off a connection's bytes by the framing its head names: a length,
// chunked transfer coding, or the rest of the connection. Hands on the body's own bytes.
#include "capture/http1/Http1BodyDecoder.h"

#include <algorithm>
#include <charconv>

namespace tarnwick {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return (x | 0x20) == (y | 0x20); });
}

std::string_view TrimWhitespace(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A line (without its CR LF) gathered into line; returns the bytes used and sets complete at its end.
size_t GatherLine(std::string& line, std::span<const uint8_t> bytes, bool& complete) {
    const auto newline = std::find(bytes.begin(), bytes.end(), static_cast<uint8_t>('\n'));
    complete = newline != bytes.end();
    const size_t used = static_cast<size_t>(newline - bytes.begin()) + (complete ? 1 : 0);
    line.append(bytes.begin(), newline);
    if (complete && !line.empty() && line.back() == '\r') line.pop_back();
    return used;
}

}  // namespace

Http1BodyDecoder::Framing Http1BodyDecoder::FramingOf(const HttpFields& fields) {
    Framing framing;
    bool transferCoded = false;
    for (const HttpFields::Field& field : fields.All()) {
        if (HttpFields::NameIs(field.name, "Content-Length")) {
            const std::string_view value = field.value;
            uint64_t length = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
            if (error != std::errc() || end != value.data() + value.size() || value.empty() ||
                (framing.length && *framing.length != length))
                framing.valid = false;
            framing.length = length;
        } else if (HttpFields::NameIs(field.name, "Transfer-Encoding")) {
            transferCoded = true;
            const std::string_view value = field.value;
            const size_t lastComma = value.rfind(',');
            const std::string_view last =
                TrimWhitespace(lastComma == std::string_view::npos ? value : value.substr(lastComma + 1));
            framing.chunked = EqualsIgnoringCase(last, "chunked");
        }
    }
    // A transfer coding overrides any length; one that is not chunked runs to the end of the connection.
    if (transferCoded) framing.length.reset();
    return framing;
}

Http1BodyDecoder::Result Http1BodyDecoder::Start(const Framing& framing, bool toTheEndAllowed) {
    line_.clear();
    if (framing.chunked) {
        state_ = State::ChunkSize;
    } else if (framing.length && *framing.length > 0) {
        state_ = State::Fixed;
        remaining_ = *framing.length;
    } else if (!framing.length && toTheEndAllowed) {
        state_ = State::ToTheEnd;
    } else {
        state_ = State::Done;
        return Result::Ended;
    }
    return Result::More;
}

uint64_t Http1BodyDecoder::Skippable() const {
    if (state_ == State::Fixed || state_ == State::ChunkData) return remaining_;
    if (state_ == State::ToTheEnd) return UINT64_MAX;
    return 0;
}

void Http1BodyDecoder::Skip(uint64_t count) {
    if (state_ != State::Fixed && state_ != State::ChunkData) return;
    remaining_ -= std::min(count, remaining_);
    if (remaining_ == 0) state_ = state_ == State::Fixed ? State::Done : State::ChunkDataEnd;
}

Http1BodyDecoder::Result Http1BodyDecoder::Read(std::span<const uint8_t> bytes, size_t& used, const BodyBytes& onBody) {
    used = 0;
    while (state_ != State::Done) {
        if (used == bytes.size()) return Result::More;
        bool broken = false;
        used += Step(bytes.subspan(used), onBody, broken);
        if (broken) {
            state_ = State::Done;
            return Result::Broken;
        }
    }
    return Result::Ended;
}

size_t Http1BodyDecoder::Step(std::span<const uint8_t> bytes, const BodyBytes& onBody, bool& broken) {
    bool complete = false;
    size_t used = 0;
    switch (state_) {
        case State::Fixed:
        case State::ChunkData:
            used = static_cast<size_t>(std::min<uint64_t>(remaining_, bytes.size()));
            if (onBody) onBody(bytes.first(used));
            remaining_ -= used;
            if (remaining_ == 0) state_ = state_ == State::Fixed ? State::Done : State::ChunkDataEnd;
            return used;
        case State::ToTheEnd:
            if (onBody) onBody(bytes);
            return bytes.size();
        case State::ChunkSize: {
            used = GatherLine(line_, bytes, complete);
            if (line_.size() > kMaxLineBytes) broken = true;
            if (!complete || broken) return used;
            // Hex digits, then perhaps chunk extensions after a semicolon.
            const std::string_view text = TrimWhitespace(std::string_view(line_).substr(0, line_.find(';')));
            uint64_t size = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size, 16);
            line_.clear();
            if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
                broken = true;
            } else if (size == 0) {
                state_ = State::Trailer;
            } else {
                state_ = State::ChunkData;
                remaining_ = size;
            }
            return used;
        }
        case State::ChunkDataEnd:
        case State::Trailer:
            used = GatherLine(line_, bytes, complete);
            if (line_.size() > kMaxLineBytes) broken = true;
            if (!complete || broken) return used;
            if (state_ == State::ChunkDataEnd) {
                // Only the line end may follow a chunk's data.
                if (!line_.empty()) broken = true;
                state_ = State::ChunkSize;
            } else if (line_.empty()) {
                state_ = State::Done;
            }
            line_.clear();
            return used;
        case State::Done:
            break;
    }
    return 0;
}

}  // namespace tarnwick
