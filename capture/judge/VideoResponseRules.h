// SPDX-License-Identifier: GPL-3.0-or-later
// The rules by which an answer is taken for a video, on its head's fields, whatever transport carried it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "capture/judge/ContentRange.h"
#include "capture/message/HttpFields.h"

namespace tarnwick::VideoResponseRules {

inline constexpr std::string_view kFlvType = "x-flv";
inline constexpr std::string_view kFlvSignature = "FLV";
inline constexpr std::string_view kLineEnd = "\r\n";

// Only these answers may carry a video: a whole one, or a piece of one.
inline bool MayCarryVideo(int status) {
    return status == 200 || status == 206;
}

// The size text as a detection carries it: the Content-Length value with a line end; empty without one.
inline std::string SizeText(const HttpFields& fields) {
    const auto length = fields.Find("Content-Length");
    return length ? std::string(*length).append(kLineEnd) : std::string();
}

// A 206 answer's Content-Range, when it reads as one range.
inline std::optional<ContentRange> RangeOf(const HttpFields& fields) {
    const auto value = fields.Find("Content-Range");
    return value ? ContentRange::Parse(*value) : std::nullopt;
}

// The Content-Type value without its parameters; empty when there is none.
inline std::string_view MediaType(const HttpFields& fields) {
    const std::string_view value = fields.Find("Content-Type").value_or(std::string_view());
    return HttpFields::Trim(value.substr(0, value.find(';')));
}

// The type text of a "video/..." answer, as a detection carries it (the subtype with a line end);
// nothing for any other type.
inline std::optional<std::string> VideoTypeText(const HttpFields& fields) {
    const std::string_view type = MediaType(fields);
    if (type.size() <= 6 || !HttpFields::NameIs(type.substr(0, 6), "video/")) return std::nullopt;
    return std::string(type.substr(6)).append(kLineEnd);
}

// Only answers that say nothing of their content (no type, or a generic byte stream) are judged by their
// body's first bytes; a declared type of anything else (a page, a picture) is never overruled.
inline bool TypeLeavesBodyToTell(const HttpFields& fields) {
    if (!fields.Find("Content-Type")) return true;
    const std::string_view type = MediaType(fields);
    return HttpFields::NameIs(type, "application/octet-stream") || HttpFields::NameIs(type, "binary/octet-stream");
}

// Whether an answer of this type may be a segment of a stream: media, a byte stream, or no type at all;
// pages, pictures, scripts and the like are not looked up among the streams' segments.
inline bool MayBeSegment(const HttpFields& fields) {
    if (!fields.Find("Content-Type")) return true;
    const std::string_view type = MediaType(fields);
    const size_t slash = type.find('/');
    if (slash == std::string_view::npos) return true;
    const std::string_view top = type.substr(0, slash);
    if (HttpFields::NameIs(top, "video") || HttpFields::NameIs(top, "audio")) return true;
    const std::string_view sub = type.substr(slash + 1);
    return HttpFields::NameIs(top, "application") &&
           (HttpFields::NameIs(sub, "octet-stream") || HttpFields::NameIs(sub, "mp4") ||
            HttpFields::NameIs(sub, "mp2t") || HttpFields::NameIs(sub, "dash+xml") ||
            HttpFields::NameIs(sub, "vnd.apple.mpegurl") || HttpFields::NameIs(sub, "x-mpegurl") ||
            HttpFields::NameIs(sub, "mpegurl"));
}

}  // namespace tarnwick::VideoResponseRules
