// SPDX-License-Identifier: GPL-3.0-or-later
// Recognises a video container by the first bytes of a body whose answer names no video type.
#include "capture/judge/VideoSignature.h"

#include <array>
#include <cstring>
#include <optional>

namespace tarnwick {
namespace {

bool Matches(std::span<const uint8_t> bytes, size_t offset, std::string_view pattern) {
    return offset <= bytes.size() && pattern.size() <= bytes.size() - offset &&
           std::memcmp(bytes.data() + offset, pattern.data(), pattern.size()) == 0;
}

struct Brand {
    std::string_view code;
    std::string_view type;
};

// Major brands of the ISO media family that name a video file; audio-only and image brands are left out.
constexpr std::array kVideoBrands = {
    Brand{"isom", "mp4"}, Brand{"iso2", "mp4"}, Brand{"iso4", "mp4"}, Brand{"iso5", "mp4"}, Brand{"iso6", "mp4"},
    Brand{"mp41", "mp4"}, Brand{"mp42", "mp4"}, Brand{"avc1", "mp4"}, Brand{"M4V ", "mp4"}, Brand{"M4VH", "mp4"},
    Brand{"M4VP", "mp4"}, Brand{"f4v ", "mp4"}, Brand{"dash", "mp4"}, Brand{"msdh", "mp4"}, Brand{"mmp4", "mp4"},
    Brand{"MSNV", "mp4"}, Brand{"qt  ", "mov"}, Brand{"3gp4", "3gp"}, Brand{"3gp5", "3gp"}, Brand{"3gp6", "3gp"},
    Brand{"3g2a", "3gp"},
};

// An EBML variable-size integer at bytes[at]: its length in bytes and its value (marker bit removed
// unless keepMarker, as element ids keep it). Nothing when it is cut or longer than maxLength.
struct VarInt {
    size_t length = 0;
    uint64_t value = 0;
};

std::optional<VarInt> ReadVarInt(std::span<const uint8_t> bytes, size_t at, size_t maxLength, bool keepMarker) {
    if (at >= bytes.size()) return std::nullopt;
    const uint8_t first = bytes[at];
    size_t length = 1;
    while (length <= 8 && !(first & (0x80u >> (length - 1)))) ++length;
    if (length > maxLength || length > bytes.size() - at) return std::nullopt;
    uint64_t value = keepMarker ? first : (first & (0xFFu >> length));
    for (size_t i = 1; i < length; ++i) value = (value << 8) | bytes[at + i];
    return VarInt{length, value};
}

}  // namespace

std::string_view VideoSignature::TypeOf(std::span<const uint8_t> body) {
    if (Matches(body, 4, "ftyp")) return IsoMediaType(body);
    if (Matches(body, 0, "\x1A\x45\xDF\xA3")) return EbmlType(body);
    if (Matches(body, 0, "RIFF") && Matches(body, 8, "AVI ")) return "avi";
    if (body.size() >= kTransportStreamProbe && body[0] == 0x47 && body[188] == 0x47 && body[376] == 0x47) return "ts";
    return {};
}

std::string_view VideoSignature::IsoMediaType(std::span<const uint8_t> body) {
    // The box holds its size, "ftyp", the major brand and a minor version at least.
    if (body.size() < 12) return {};
    const uint32_t boxSize = (uint32_t{body[0]} << 24) | (uint32_t{body[1]} << 16) | (uint32_t{body[2]} << 8) | body[3];
    if (boxSize < 16) return {};
    for (const Brand& brand : kVideoBrands)
        if (Matches(body, 8, brand.code)) return brand.type;
    return {};
}

std::string_view VideoSignature::EbmlType(std::span<const uint8_t> body) {
    constexpr uint64_t kDocTypeId = 0x4282;
    const auto headerSize = ReadVarInt(body, 4, 8, false);
    if (!headerSize) return {};
    size_t at = 4 + headerSize->length;
    // The header's children are read only as far as both the header and the bytes at hand reach.
    const size_t end = headerSize->value < body.size() - at ? at + static_cast<size_t>(headerSize->value) : body.size();
    while (at < end) {
        const auto id = ReadVarInt(body.first(end), at, 4, true);
        if (!id) break;
        const auto size = ReadVarInt(body.first(end), at + id->length, 8, false);
        if (!size) break;
        at += id->length + size->length;
        if (size->value > end - at) break;
        const auto value = body.subspan(at, static_cast<size_t>(size->value));
        if (id->value == kDocTypeId) {
            // The doc type may be padded with zero bytes.
            std::string_view docType(reinterpret_cast<const char*>(value.data()), value.size());
            docType = docType.substr(0, docType.find('\0'));
            if (docType == "webm") return "webm";
            if (docType == "matroska") return "mkv";
            return {};
        }
        at += value.size();
    }
    // The doc type lies beyond the bytes at hand: Matroska is the family's general container.
    return "mkv";
}

}  // namespace tarnwick
