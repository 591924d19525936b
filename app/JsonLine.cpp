// SPDX-License-Identifier: GPL-3.0-or-later
// The output lines of headless mode: one JSON object, or one readable line, per accepted video.
#include "app/JsonLine.h"

#include <charconv>
#include <cstdio>

#include "sniffer/SniffedVideoList.h"

namespace tarnwick {

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

std::string DetailsFields(const SniffedVideo& video) {
    const MediaDetails* details = video.details.get();
    if (!details) return {};
    std::string fields;
    if (details->durationUs) {
        char seconds[32];
        const auto [end, error] =
            std::to_chars(seconds, seconds + sizeof seconds, static_cast<double>(*details->durationUs) / 1e6,
                          std::chars_format::fixed, 3);
        if (error == std::errc()) fields += ",\"duration\":" + std::string(seconds, end);
    }
    if (details->width > 0)
        fields += ",\"width\":" + std::to_string(details->width) + ",\"height\":" + std::to_string(details->height);
    if (!details->videoCodec.empty()) fields += ",\"video_codec\":" + JsonLine::Quote(details->videoCodec);
    if (!details->audioCodec.empty()) fields += ",\"audio_codec\":" + JsonLine::Quote(details->audioCodec);
    if (!details->problem.empty()) fields += ",\"details_error\":" + JsonLine::Quote(details->problem);
    return fields;
}

}  // namespace

std::string JsonLine::Quote(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size();) {
        // Printable ASCII, the bulk of every address, goes over in one piece.
        size_t plain = i;
        while (plain < text.size()) {
            const unsigned char p = static_cast<unsigned char>(text[plain]);
            if (p < 0x20 || p >= 0x7F || p == '"' || p == '\\') break;
            ++plain;
        }
        if (plain != i) {
            out.append(text, i, plain - i);
            i = plain;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t length = Utf8SequenceLength(text, i)) {
            out.append(text, i, length);
            i += length;
            continue;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        ++i;
    }
    out += '"';
    return out;
}

std::string JsonLine::Format(const SniffedVideo& video) {
    const std::string segments = video.isStream ? ",\"segments\":" + std::to_string(video.segments) : "";
    return "{\"serial\":" + std::to_string(video.serial) + ",\"time\":" + Quote(video.timeSniffed) +
           ",\"type\":" + Quote(video.type) + ",\"size\":" + std::to_string(video.size) + segments +
           ",\"url\":" + Quote(video.url) + ",\"adapter\":" + Quote(video.adapter) + DetailsFields(video) + "}";
}

std::string JsonLine::FormatStatistics(const std::string& adapter, const CaptureStatistics& figures) {
    std::string line = "{\"adapter\":" + Quote(adapter) + ",\"received\":" + std::to_string(figures.received) +
                       ",\"dropped\":" + std::to_string(figures.dropped);
    if (figures.interfaceDropped != 0) line += ",\"interface_dropped\":" + std::to_string(figures.interfaceDropped);
    return line + "}";
}

std::string JsonLine::FormatReadable(const SniffedVideo& video) {
    const auto printable = [](std::string text) {
        for (char& c : text)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
        return text;
    };
    std::string readableDetails;
    if (const MediaDetails* details = video.details.get()) {
        if (details->durationUs) readableDetails += "  " + SniffedVideoList::FormatDuration(*details->durationUs);
        if (details->width > 0)
            readableDetails += "  " + std::to_string(details->width) + "x" + std::to_string(details->height);
        if (!details->videoCodec.empty() || !details->audioCodec.empty())
            readableDetails +=
                "  " + details->videoCodec + (details->audioCodec.empty() ? "" : "/" + details->audioCodec);
        if (!details->problem.empty()) readableDetails += "  (" + printable(details->problem) + ")";
    }
    return std::to_string(video.serial) + ". " + video.timeSniffed + "  " + printable(video.type) + "  " +
           SniffedVideoList::FormatSize(video.size) + " (" + std::to_string(video.size) + " bytes" +
           (video.isStream ? ", " + std::to_string(video.segments) + " segments" : std::string()) + ")  " +
           printable(video.url) + "  [" + printable(video.adapter) + "]" + readableDetails;
}

}  // namespace tarnwick
