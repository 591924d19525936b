// SPDX-License-Identifier: GPL-3.0-or-later
// The fields of one decoded HTTP/2 header block, and their HTTP/1 text form.
#include "capture/http2/Http2HeaderList.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {

namespace {

bool ValidNameCharacter(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7f && !(byte >= 'A' && byte <= 'Z') && byte != ':';
}

// No NUL and no line break: searched for whole (values of kilobytes are referred to again and again).
bool ValidValue(std::string_view value) {
    return !value.empty() ? std::memchr(value.data(), '\0', value.size()) == nullptr &&
                                std::memchr(value.data(), '\r', value.size()) == nullptr &&
                                std::memchr(value.data(), '\n', value.size()) == nullptr
                          : true;
}

// A method is a token; a path or authority holds no blank or control character.
bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte < 0x7f && std::string_view("\"(),/:;<=>?@[\\]{}").find(c) == std::string_view::npos;
    });
}

// What a text of this length takes from the heap beyond its string: nothing while it fits in place.
size_t HeapOf(size_t length) {
    return length < 16 ? 0 : (length + 1 + 8 + 15) & ~size_t{15};
}

// A list's room kept when it is emptied (a dozen fields, as most header lists hold).
constexpr size_t kKeptCapacity = 32;

bool IsVisible(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte != 0x7f;
    });
}

}  // namespace

void Http2HeaderList::Clear() {
    if (fields_.capacity() > kKeptCapacity)
        std::vector<Field>().swap(fields_);
    else
        fields_.clear();
    size_ = 0;
    textBytes_ = 0;
    cut_ = malformed_ = regularSeen_ = false;
}

void Http2HeaderList::CutHere() {
    const bool malformed = malformed_;
    Clear();
    cut_ = true;
    malformed_ = malformed;
}

void Http2HeaderList::Add(std::string_view name, std::string_view value) {
    const size_t size = name.size() + value.size() + kFieldOverhead;
    if (cut_ || size > bound_ - std::min(bound_, size_)) {
        cut_ = true;
        return;
    }
    const bool pseudo = !name.empty() && name.front() == ':';
    const std::string_view bare = pseudo ? name.substr(1) : name;
    if (bare.empty()) {
        malformed_ = true;
        return;
    }
    if (!std::all_of(bare.begin(), bare.end(), ValidNameCharacter) || !ValidValue(value) || (pseudo && regularSeen_))
        malformed_ = true;
    regularSeen_ = regularSeen_ || !pseudo;
    size_ += size;
    textBytes_ += HeapOf(name.size()) + HeapOf(value.size());
    fields_.push_back({std::string(name), std::string(value)});
}

std::optional<std::string_view> Http2HeaderList::Find(std::string_view name) const {
    for (const Field& field : fields_)
        if (field.name == name) return field.value;
    return std::nullopt;
}

std::string Http2HeaderList::Http1Name(std::string_view name) {
    std::string text(name);
    bool wordStart = true;
    for (char& c : text) {
        if (wordStart && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        wordStart = c == '-';
    }
    return text;
}

std::optional<std::string> Http2HeaderList::RequestText() const {
    const auto method = Find(":method");
    const auto path = Find(":path");
    const auto authority = Find(":authority");
    if (!method || !IsToken(*method) || !path || path->empty() || !IsVisible(*path) ||
        (authority && !IsVisible(*authority)))
        return std::nullopt;
    std::string text;
    text.append(*method).append(" ").append(*path).append(" HTTP/1.1\r\n");
    if (authority) text.append("Host: ").append(*authority).append("\r\n");
    // HTTP/2 may split the cookie into fields of their own; HTTP/1 carries them on one line.
    std::string cookie;
    for (const Field& field : fields_) {
        if (field.name.front() == ':' || (authority && field.name == "host")) continue;
        if (field.name == "cookie") {
            cookie.append(cookie.empty() ? "" : "; ").append(field.value);
            continue;
        }
        text.append(Http1Name(field.name)).append(": ").append(field.value).append("\r\n");
    }
    if (!cookie.empty()) text.append("Cookie: ").append(cookie).append("\r\n");
    text.append("\r\n");
    return text;
}

std::string Http2HeaderList::ResponseHead(std::string_view status) const {
    std::string head;
    head.append("HTTP/1.1 ").append(status).append("\r\n");
    for (const Field& field : fields_) {
        if (field.name.front() == ':') continue;
        head.append(Http1Name(field.name)).append(": ").append(field.value).append("\r\n");
    }
    head.append("\r\n");
    return head;
}

}  // namespace tarnwick
