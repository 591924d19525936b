// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the start line and field lines of an HTTP/1 message head.
#include "capture/http1/Http1Head.h"

#include <charconv>
#include <cstring>

namespace tarnwick {

namespace {

constexpr size_t kMaxMethodLength = 20;

// The line at the front of text without its end; rest is what follows it.
std::string_view NextLine(std::string_view& text) {
    const size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

}  // namespace

std::optional<size_t> Http1Head::EndOf(std::string_view text, size_t from) {
    // A blank line: LF, then an optional CR, then LF.
    for (size_t at = text.find('\n', from); at != std::string_view::npos; at = text.find('\n', at + 1)) {
        const size_t next = at + 1;
        if (next < text.size() && text[next] == '\n') return next + 1;
        if (next + 1 < text.size() && text[next] == '\r' && text[next + 1] == '\n') return next + 2;
    }
    return std::nullopt;
}

bool Http1Head::MayBeginRequest(std::string_view text, bool& complete) {
    complete = false;
    for (size_t i = 0; i < text.size() && i <= kMaxMethodLength; ++i) {
        const char c = text[i];
        if (c == ' ') {
            complete = i > 0;
            return complete;
        }
        if (!((c >= 'A' && c <= 'Z') || c == '-')) return false;
    }
    return text.size() <= kMaxMethodLength;
}

bool Http1Head::MayBeginAnswer(std::string_view text, bool& complete) {
    constexpr std::string_view kStart = "HTTP/1.";
    complete = text.size() >= kStart.size();
    return text.substr(0, kStart.size()) == kStart.substr(0, std::min(text.size(), kStart.size()));
}

void Http1Head::ParseFields(std::string_view lines, HttpFields& fields) {
    fields.Clear();
    // A folded value runs from its first line through its last continuation line in the head; its line
    // ends stay inside the view (a reader takes the value's first line for what matters to it).
    const char* at = lines.data();
    const char* const end = at + lines.size();
    std::string_view name;
    const char* valueStart = nullptr;
    const char* valueEnd = nullptr;
    auto flush = [&] {
        if (valueStart)
            fields.Add(name,
                       HttpFields::Trim(std::string_view(valueStart, static_cast<size_t>(valueEnd - valueStart))));
        valueStart = nullptr;
    };
    while (at < end) {
        const auto* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        const char* lineEnd = newline ? newline : end;
        const char* next = newline ? newline + 1 : end;
        if (lineEnd > at && lineEnd[-1] == '\r') --lineEnd;
        if (lineEnd == at) break;  // the blank line
        if (*at == ' ' || *at == '\t') {
            if (valueStart) valueEnd = lineEnd;
            at = next;
            continue;
        }
        flush();
        // The name runs to the colon and holds no blank; a line without one is passed over.
        const char* colon = at;
        while (colon < lineEnd && *colon != ':' && *colon != ' ' && *colon != '\t') ++colon;
        if (colon < lineEnd && *colon == ':' && colon > at) {
            name = std::string_view(at, static_cast<size_t>(colon - at));
            valueStart = colon + 1;
            valueEnd = lineEnd;
        }
        at = next;
    }
    flush();
}

std::optional<Http1Head::RequestLine> Http1Head::ParseRequest(std::string_view head, HttpFields& fields) {
    std::string_view rest = head;
    const std::string_view line = NextLine(rest);
    const size_t methodEnd = line.find(' ');
    bool complete = false;
    if (methodEnd == std::string_view::npos || !MayBeginRequest(line, complete) || !complete) return std::nullopt;
    RequestLine request;
    request.method = line.substr(0, methodEnd);
    std::string_view afterMethod = line.substr(methodEnd + 1);
    const size_t targetEnd = afterMethod.find(' ');
    if (targetEnd == 0 || targetEnd == std::string_view::npos) return std::nullopt;
    request.target = afterMethod.substr(0, targetEnd);
    request.version = HttpFields::Trim(afterMethod.substr(targetEnd + 1));
    if (request.version.substr(0, 5) != "HTTP/") return std::nullopt;
    ParseFields(rest, fields);
    return request;
}

std::optional<Http1Head::StatusLine> Http1Head::ParseAnswer(std::string_view head, HttpFields& fields) {
    std::string_view rest = head;
    const std::string_view line = NextLine(rest);
    // "HTTP/1.x NNN", a reason phrase optional.
    if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || line[8] != ' ') return std::nullopt;
    if (line.size() > 12 && line[12] != ' ') return std::nullopt;
    StatusLine answer;
    answer.version = line.substr(0, 8);
    const auto [end, error] = std::from_chars(line.data() + 9, line.data() + 12, answer.status);
    if (error != std::errc() || end != line.data() + 12 || answer.status < 100) return std::nullopt;
    ParseFields(rest, fields);
    return answer;
}

bool Http1Head::ListHas(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const size_t comma = value.find(',');
        if (HttpFields::NameIs(HttpFields::Trim(value.substr(0, comma)), token)) return true;
        value.remove_prefix(comma == std::string_view::npos ? value.size() : comma + 1);
    }
    return false;
}

}  // namespace tarnwick
