// SPDX-License-Identifier: GPL-3.0-or-later
// Where an MP4 file keeps its index (the moov box), told from the file's first bytes.
#include "download/Mp4IndexLocator.h"

#include <limits>

namespace tarnwick {
namespace {

uint64_t BigEndian(std::string_view bytes, size_t at, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

}  // namespace

Mp4IndexLocator::Result Mp4IndexLocator::Locate(std::string_view firstBytes, std::optional<int64_t> fileSize) {
    Result result;
    if (firstBytes.size() < 8 || firstBytes.substr(4, 4) != "ftyp") return result;
    result.place = Place::Unknown;
    constexpr uint64_t kMost = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t offset = 0;
    while (offset <= firstBytes.size() && firstBytes.size() - offset >= 8) {
        const size_t at = static_cast<size_t>(offset);
        uint64_t size = BigEndian(firstBytes, at, 4);
        const std::string_view type = firstBytes.substr(at + 4, 4);
        uint64_t header = 8;
        if (size == 1) {
            // A 64-bit size follows the type.
            if (firstBytes.size() - at < 16) return result;
            size = BigEndian(firstBytes, at + 8, 8);
            header = 16;
        } else if (size == 0) {
            // The box runs to the end of the file.
            if (!fileSize || *fileSize < 0 || static_cast<uint64_t>(*fileSize) < offset) return result;
            size = static_cast<uint64_t>(*fileSize) - offset;
        }
        if (size < header || size > kMost - offset) return result;
        if (type == "moov") {
            result.place = Place::InFront;
            result.indexEnd = static_cast<int64_t>(offset + size);
            return result;
        }
        offset += size;
    }
    if (fileSize && offset < static_cast<uint64_t>(*fileSize)) {
        result.place = Place::After;
        result.afterOffset = static_cast<int64_t>(offset);
    }
    return result;
}

}  // namespace tarnwick
