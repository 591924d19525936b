// The patterns by which a response is taken for a video, shared by the per-packet detector and the
// readers of reassembled connections, so that both judge a response alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "capture/decode/PacketView.h"
#include "capture/detect/ContentRange.h"

namespace tarnwick::VideoResponseRules {

// Header names are matched exactly as written here (case and the one blank after the colon included).
inline constexpr std::string_view kResponseMarker = "HTTP";
inline constexpr std::string_view kRequestMarker = "GET ";
inline constexpr std::string_view kHost = "Host: ";
inline constexpr std::string_view kContentLength = "Content-Length: ";
inline constexpr std::string_view kVideoContentType = "Content-Type: video/";
inline constexpr std::string_view kFlvType = "x-flv";
inline constexpr std::string_view kFlvSignature = "FLV";
inline constexpr std::string_view kLineEnd = "\r\n";
inline constexpr std::string_view kHeaderEnd = "\r\n\r\n";

// The size text: the bytes after "Content-Length: " through its line end; empty when either is missing
// inside [from, end).
inline std::string SizeText(const PacketView& bytes, size_t from, size_t end) {
    if (const auto length = bytes.Find(kContentLength, from, end))
        if (const auto lineEnd = bytes.Find(kLineEnd, *length, end)) return bytes.Text(*length, *lineEnd);
    return {};
}

// The value of a request head's Host field, its name in any case as HTTP allows, without the blanks
// around it; empty when the head has none. Readers of reassembled requests take the host from the
// field lines: a lower-case "host:" (as HTTP/2 clients write it) still names the host and its port, and
// "Host: " inside another field (X-Forwarded-Host) does not.
inline std::string_view HostField(std::string_view head) {
    for (size_t at = head.find(kLineEnd); at != std::string_view::npos;) {
        at += kLineEnd.size();
        const size_t end = head.find(kLineEnd, at);
        const std::string_view line = head.substr(at, end == std::string_view::npos ? head.size() - at : end - at);
        if (line.size() > 5 && (line[0] | 0x20) == 'h' && (line[1] | 0x20) == 'o' && (line[2] | 0x20) == 's' &&
            (line[3] | 0x20) == 't' && line[4] == ':') {
            std::string_view value = line.substr(5);
            value.remove_prefix(std::min(value.size(), value.find_first_not_of(" \t")));
            return value.substr(0, value.find_last_not_of(" \t") + 1);
        }
        at = end;
    }
    return {};
}

// Where the text after "Content-Type: video/" begins, when the header is inside [from, end).
inline std::optional<size_t> VideoTypeAt(const PacketView& bytes, size_t from, size_t end) {
    return bytes.Find(kVideoContentType, from, end);
}

// The type text: from typeAt through its line end; empty when the line end is not inside end.
inline std::string TypeText(const PacketView& bytes, size_t typeAt, size_t end) {
    if (const auto lineEnd = bytes.Find(kLineEnd, typeAt, end)) return bytes.Text(typeAt, *lineEnd);
    return {};
}

// A body that starts with the Flash video signature is a video of type "x-flv" whatever its headers say.
inline bool StartsFlv(const PacketView& bytes, size_t bodyStart) { return bytes.StartsWith(bodyStart, kFlvSignature); }

// The three digits of a status line at `start` ("HTTP/1.1 206 ..."), or empty.
inline std::string_view StatusCode(const PacketView& bytes, size_t start) {
    if (!bytes.StartsWith(start, "HTTP/1.") || !bytes.StartsWith(start + 8, " ")) return {};
    return bytes.View(start + 9, start + 12);
}

// Only these answers may carry a video: a whole one, or a piece of one.
inline bool MayCarryVideo(std::string_view status) { return status == "200" || status == "206"; }

// A 206 answer's Content-Range, when the header lies inside [from, end) and reads as one range.
inline std::optional<ContentRange> RangeOf(const PacketView& bytes, size_t from, size_t end) {
    const auto value = bytes.Find("Content-Range: ", from, end);
    if (!value) return std::nullopt;
    const auto lineEnd = bytes.Find(kLineEnd, *value, end);
    if (!lineEnd) return std::nullopt;
    return ContentRange::Parse(bytes.View(*value, *lineEnd - kLineEnd.size()));
}

// The value of the Content-Type header inside [from, end), without its line end; empty when there is none.
inline std::string_view ContentTypeValue(const PacketView& bytes, size_t from, size_t end) {
    const auto type = bytes.Find("Content-Type: ", from, end);
    if (!type) return {};
    const auto lineEnd = bytes.Find(kLineEnd, *type, end);
    return lineEnd ? bytes.View(*type, *lineEnd - kLineEnd.size()) : std::string_view();
}

// Only answers that say nothing of their content (no type, or a generic byte stream) are judged by their
// body's first bytes; a declared type of anything else (a page, a picture) is never overruled. The
// header block is [from, headerEnd).
inline bool TypeLeavesBodyToTell(const PacketView& bytes, size_t from, size_t headerEnd) {
    const auto type = bytes.Find("Content-Type: ", from, headerEnd);
    if (!type) return true;
    const auto lineEnd = bytes.Find(kLineEnd, *type, headerEnd);
    if (!lineEnd) return false;
    std::string_view value = bytes.View(*type, *lineEnd - kLineEnd.size());
    value = value.substr(0, value.find(';'));
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    const auto is = [value](std::string_view lowerCase) {
        if (value.size() != lowerCase.size()) return false;
        for (size_t i = 0; i < value.size(); ++i) {
            char c = value[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != lowerCase[i]) return false;
        }
        return true;
    };
    return is("application/octet-stream") || is("binary/octet-stream");
}

}  // namespace tarnwick::VideoResponseRules
