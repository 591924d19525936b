// SPDX-License-Identifier: GPL-3.0-or-later
// The fields of the browser's request for a video that a download sends again.
#include "download/CapturedRequestHeaders.h"

#include <openssl/crypto.h>

#include "capture/message/HttpFields.h"

namespace tarnwick {
namespace {

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// A value that could end the field or the request early, or smuggle another one in, is never sent.
bool SafeValue(std::string_view value) {
    if (value.empty() || value.size() > CapturedRequestHeaders::kMaxValueBytes) return false;
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return false;
    }
    return true;
}

bool TokenName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == ':') return false;
    }
    return true;
}

void Wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

}  // namespace

CapturedRequestHeaders::~CapturedRequestHeaders() {
    Wipe(cookie_);
    Wipe(authorization_);
    Wipe(referer_);
    Wipe(origin_);
    Wipe(userAgent_);
}

std::string CapturedRequestHeaders::HostName(std::string_view authority) {
    authority = TrimBlanks(authority);
    std::string_view name = authority;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        name = close == std::string_view::npos ? authority.substr(1) : authority.substr(1, close - 1);
    } else if (const size_t colon = authority.find(':');
               colon != std::string_view::npos && authority.find(':', colon + 1) == std::string_view::npos) {
        name = authority.substr(0, colon);  // one colon: a port; more: a bare IPv6 address
    }
    std::string lower(name);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    while (!lower.empty() && lower.back() == '.') lower.pop_back();  // "host." names the same host
    return lower;
}

CapturedRequestHeaders CapturedRequestHeaders::Parse(std::string_view requestText) {
    CapturedRequestHeaders headers;
    bool firstLine = true;
    bool cookieRefused = false;
    while (!requestText.empty()) {
        const size_t end = requestText.find('\n');
        std::string_view line = requestText.substr(0, end);
        requestText = end == std::string_view::npos ? std::string_view() : requestText.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (firstLine) {
            firstLine = false;
            continue;
        }
        if (line.empty()) break;  // the blank line ends the head
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        if (!TokenName(name)) continue;  // folded or broken lines are not read
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        auto take = [&](std::string& slot) {
            if (slot.empty() && SafeValue(value)) slot.assign(value);
        };
        if (HttpFields::NameIs(name, "cookie")) {
            // HTTP/2 sends each cookie as a field of its own; HTTP/1.1 joins them with "; ". One bad piece
            // spoils the whole: a partial cookie could be worse than none.
            if (!SafeValue(value) || headers.cookie_.size() + 2 + value.size() > kMaxValueBytes) {
                cookieRefused = true;
                continue;
            }
            if (!headers.cookie_.empty()) headers.cookie_ += "; ";
            headers.cookie_.append(value);
        } else if (HttpFields::NameIs(name, "referer")) {
            take(headers.referer_);
        } else if (HttpFields::NameIs(name, "origin")) {
            take(headers.origin_);
        } else if (HttpFields::NameIs(name, "user-agent")) {
            take(headers.userAgent_);
        } else if (HttpFields::NameIs(name, "authorization")) {
            take(headers.authorization_);
        } else if (HttpFields::NameIs(name, "host")) {
            if (headers.host_.empty() && SafeValue(value)) headers.host_ = HostName(value);
        }
    }
    if (cookieRefused) Wipe(headers.cookie_);
    return headers;
}

std::vector<CapturedRequestHeaders::Field> CapturedRequestHeaders::For(std::string_view host) const {
    std::vector<Field> fields;
    if (!userAgent_.empty()) fields.push_back({"User-Agent", userAgent_});
    if (!referer_.empty()) fields.push_back({"Referer", referer_});
    if (!origin_.empty()) fields.push_back({"Origin", origin_});
    // Credentials belong to the site that set them: a playlist's segments on another host do not get them.
    if (!host_.empty() && HostName(host) == host_) {
        if (!cookie_.empty()) fields.push_back({"Cookie", cookie_});
        if (!authorization_.empty()) fields.push_back({"Authorization", authorization_});
    }
    return fields;
}

bool CapturedRequestHeaders::Empty() const {
    return cookie_.empty() && referer_.empty() && origin_.empty() && userAgent_.empty() && authorization_.empty();
}

}  // namespace tarnwick
