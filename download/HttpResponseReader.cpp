// SPDX-License-Identifier: GPL-3.0-or-later
// Reads one HTTP/1.x response as its bytes arrive: the header up to its blank line, then the body framed by
// Content-Length, by chunked transfer coding, or by the end of the connection.
#include "download/HttpResponseReader.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace tarnwick {
namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

bool SameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "1A3;name=value" -> 0x1A3; nothing when the line is not a chunk size.
std::optional<uint64_t> ParseChunkSize(std::string_view line) {
    size_t i = 0;
    uint64_t value = 0;
    for (; i < line.size() && HexValue(line[i]) >= 0; ++i) {
        if (value > (std::numeric_limits<uint64_t>::max() >> 4)) return std::nullopt;
        value = value << 4 | static_cast<uint64_t>(HexValue(line[i]));
    }
    if (i == 0) return std::nullopt;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] != ';') return std::nullopt;
    return value;
}

}  // namespace

HttpResponseReader::HttpResponseReader(HeaderHandler onHeader, BodyHandler onBody)
    : onHeader_(std::move(onHeader)), onBody_(std::move(onBody)) {}

std::optional<uint64_t> HttpResponseReader::ParseLength(std::string_view text) {
    text = Trim(text);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::string> HttpResponseReader::Field(std::string_view name) const {
    std::string_view rest = fields_;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        size_t colon = line.find(':');
        if (colon != std::string_view::npos && SameNoCase(line.substr(0, colon), name))
            return std::string(Trim(line.substr(colon + 1)));
    }
    return std::nullopt;
}

HttpResponseReader::State HttpResponseReader::Fail(std::string reason) {
    state_ = State::Failed;
    error_ = std::move(reason);
    return state_;
}

HttpResponseReader::State HttpResponseReader::Feed(const char* data, size_t size) {
    while (size > 0 && (state_ == State::Header || state_ == State::Body)) {
        size_t used = state_ == State::Header ? ReadHeader(data, size) : ReadBody(data, size);
        data += used;
        size -= used;
    }
    return state_;
}

HttpResponseReader::State HttpResponseReader::Finish() {
    if (state_ == State::Header) {
        if (header_.empty() && interimResponses_ == 0)
            return Fail("The server closed the connection without an answer");
        return Fail("The server sent no complete HTTP response header");
    }
    if (state_ != State::Body) return state_;
    switch (framing_) {
        case BodyFraming::UntilClose:
        case BodyFraming::None:
            state_ = State::Complete;
            break;
        case BodyFraming::Length:
            Fail("The connection closed after " + std::to_string(bodyBytes_) + " of " +
                 std::to_string(*contentLength_) + " bytes");
            break;
        case BodyFraming::Chunked:
            Fail("The connection closed after " + std::to_string(bodyBytes_) +
                 " bytes, before the end of the chunked body");
            break;
    }
    return state_;
}

size_t HttpResponseReader::ReadHeader(const char* data, size_t size) {
    const size_t before = header_.size();
    header_.append(data, std::min(size, kMaxHeaderBytes - before));
    // The header ends with the first empty line after the status line; a line end is LF or CR LF.
    size_t end = 0;
    for (size_t i = headerScanned_; i < header_.size() && end == 0; ++i) {
        if (header_[i] != '\n') continue;
        size_t lineStart = header_.rfind('\n', i == 0 ? 0 : i - 1);
        lineStart = lineStart == std::string::npos || i == 0 ? 0 : lineStart + 1;
        size_t length = i - lineStart - (i > lineStart && header_[i - 1] == '\r' ? 1 : 0);
        if (length == 0 && lineStart > 0) end = i + 1;
    }
    headerScanned_ = header_.size();
    if (end == 0) {
        if (header_.size() >= kMaxHeaderBytes) {
            Fail("The server's response header is longer than " + std::to_string(kMaxHeaderBytes) + " bytes");
            return size;
        }
        return size;
    }
    const size_t used = end - before;
    const std::string header = header_.substr(0, end);
    header_.clear();
    headerScanned_ = 0;
    if (!ParseHeader(header)) return size;
    if (statusCode_ >= 100 && statusCode_ < 200 && statusCode_ != 101) {
        // An interim answer (such as 100 Continue or 103 Early Hints): the real one follows.
        if (++interimResponses_ > kMaxInterimResponses) Fail("The server sent too many interim answers");
        headerBytesTotal_ += header.size();
        if (headerBytesTotal_ > kMaxHeaderBytes)
            Fail("The server's response header is longer than " + std::to_string(kMaxHeaderBytes) + " bytes");
        return used;
    }

    state_ = State::Body;
    std::optional<std::string> coding = Field("transfer-encoding");
    if (coding && !SameNoCase(Trim(*coding), "identity")) {
        // Only chunking is undone here; a body compressed on the way would be saved compressed.
        if (!SameNoCase(Trim(*coding), "chunked")) {
            Fail("The server sent the body in a transfer coding that cannot be read: " + *coding);
            return size;
        }
        chunked_ = true;
        framing_ = BodyFraming::Chunked;
    } else if (statusCode_ == 204 || statusCode_ == 304) {
        framing_ = BodyFraming::None;
    } else if (std::optional<std::string> length = Field("content-length")) {
        contentLength_ = ParseLength(*length);
        framing_ = contentLength_ ? BodyFraming::Length : BodyFraming::UntilClose;
        left_ = contentLength_.value_or(0);
    } else {
        framing_ = BodyFraming::UntilClose;
    }
    if (onHeader_ && !onHeader_(*this)) {
        state_ = State::Failed;
        return size;
    }
    if (framing_ == BodyFraming::None || (framing_ == BodyFraming::Length && left_ == 0)) state_ = State::Complete;
    return used;
}

bool HttpResponseReader::ParseHeader(std::string_view header) {
    size_t lineEnd = header.find('\n');
    std::string_view status = header.substr(0, lineEnd);
    if (!status.empty() && status.back() == '\r') status.remove_suffix(1);
    statusLine_ = std::string(status);
    // "HTTP/1.1 200 OK": a version, one blank, three digits, then a blank or the end of the line.
    size_t space = status.find(' ');
    bool valid = status.substr(0, 5) == "HTTP/" && space != std::string_view::npos && status.size() >= space + 4 &&
                 (status.size() == space + 4 || status[space + 4] == ' ');
    for (size_t i = space + 1; valid && i < space + 4; ++i) valid = status[i] >= '0' && status[i] <= '9';
    if (!valid) {
        Fail("The server's answer does not start with an HTTP status line");
        return false;
    }
    statusCode_ = (status[space + 1] - '0') * 100 + (status[space + 2] - '0') * 10 + (status[space + 3] - '0');
    fields_.clear();
    for (std::string_view rest = header.substr(lineEnd + 1); !rest.empty();) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        fields_.append(line).push_back('\n');
    }
    return true;
}

size_t HttpResponseReader::ReadBody(const char* data, size_t size) {
    switch (framing_) {
        case BodyFraming::Length: {
            size_t take = static_cast<size_t>(std::min<uint64_t>(size, left_));
            if (!Deliver(data, take)) return size;
            left_ -= take;
            if (left_ == 0) state_ = State::Complete;
            return take;
        }
        case BodyFraming::UntilClose:
            Deliver(data, size);
            return size;
        case BodyFraming::Chunked:
            return ReadChunked(data, size);
        case BodyFraming::None:
            state_ = State::Complete;
            return size;
    }
    return size;
}

size_t HttpResponseReader::ReadChunked(const char* data, size_t size) {
    size_t at = 0;
    while (at < size && state_ == State::Body) {
        if (chunkStep_ == ChunkStep::Data) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(size - at, left_));
            if (!Deliver(data + at, take)) return size;
            at += take;
            left_ -= take;
            if (left_ == 0) chunkStep_ = ChunkStep::DataEnd;
            continue;
        }
        const char c = data[at++];
        if (chunkStep_ == ChunkStep::DataEnd) {
            // Exactly one line end follows a chunk's data.
            if (c == '\r' && line_.empty()) {
                line_ = "\r";
            } else if (c == '\n') {
                line_.clear();
                chunkStep_ = ChunkStep::Size;
            } else {
                Fail("The server's chunked body is malformed: a chunk is longer than its size says");
            }
            continue;
        }
        if (c != '\n') {
            line_.push_back(c);
            size_t limit = chunkStep_ == ChunkStep::Size ? kMaxChunkLineBytes : kMaxHeaderBytes;
            if (line_.size() > limit || (chunkStep_ == ChunkStep::Trailer && trailerBytes_ + line_.size() > limit))
                Fail(chunkStep_ == ChunkStep::Size ? "The server's chunked body has an overlong chunk-size line"
                                                   : "The server's chunked body has an overlong trailer");
            continue;
        }
        std::string_view line = line_;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (chunkStep_ == ChunkStep::Trailer) {
            if (line.empty()) state_ = State::Complete;
            trailerBytes_ += line_.size() + 1;
            line_.clear();
            continue;
        }
        std::optional<uint64_t> chunkSize = ParseChunkSize(line);
        if (!chunkSize) {
            Fail("The server's chunked body is malformed: \"" + std::string(line.substr(0, 40)) +
                 "\" is not a chunk size");
            continue;
        }
        line_.clear();
        left_ = *chunkSize;
        chunkStep_ = left_ == 0 ? ChunkStep::Trailer : ChunkStep::Data;
    }
    return size;
}

bool HttpResponseReader::Deliver(const char* data, size_t size) {
    if (size == 0) return true;
    bodyBytes_ += size;
    if (onBody_ && !onBody_(data, size)) {
        state_ = State::Failed;
        return false;
    }
    return true;
}

}  // namespace tarnwick
