// The patterns by which a response is taken for a video, shared by the per-packet detector and the
// readers of reassembled connections, so that both judge a response alike.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "capture/decode/PacketView.h"

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

// The host a request names: the bytes after "Host: " up to its line end, both inside [from, end); empty
// when either is missing.
inline std::string_view HostText(const PacketView& bytes, size_t from, size_t end) {
    if (const auto host = bytes.Find(kHost, from, end))
        if (const auto lineEnd = bytes.Find(kLineEnd, *host, end)) return bytes.View(*host, *lineEnd - kLineEnd.size());
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

}  // namespace tarnwick::VideoResponseRules
