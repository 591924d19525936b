// SPDX-License-Identifier: GPL-3.0-or-later
// Writes small GIF files block by block for the tests, including deliberately odd ones.
#include "tests/controls/GifBuilder.h"

#include <algorithm>

namespace tarnwick::test {

namespace {

const std::vector<uint8_t> kPalette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};

// Three-bit codes with a clear code (4) before every two pixels, so the code width never grows.
std::vector<uint8_t> EncodeOneColour(int pixels, uint8_t colour) {
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int count = 0;
    const auto put = [&](uint32_t code) {
        bits |= code << count;
        for (count += 3; count >= 8; count -= 8, bits >>= 8) out.push_back(static_cast<uint8_t>(bits));
    };
    for (int i = 0; i < pixels; ++i) {
        if (i % 2 == 0) put(4);
        put(colour & 3u);
    }
    put(5);  // end of information
    if (count > 0) out.push_back(static_cast<uint8_t>(bits));
    return out;
}

}  // namespace

GifBuilder::GifBuilder(int width, int height, const char* version) {
    for (int i = 0; i < 6; ++i) bytes_.push_back(static_cast<uint8_t>(version[i]));
    Words({width, height});
    Raw({0x91, 0, 0});  // global table of four entries, background 0, no aspect
    Raw(kPalette);
}

void GifBuilder::Words(std::initializer_list<int> values) {
    for (int value : values) Raw({static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)});
}

void GifBuilder::SubBlocks(const std::vector<uint8_t>& data) {
    for (size_t at = 0; at < data.size(); at += 255) {
        const auto length = static_cast<uint8_t>(std::min<size_t>(255, data.size() - at));
        bytes_.push_back(length);
        for (size_t i = 0; i < length; ++i) bytes_.push_back(data[at + i]);
    }
    bytes_.push_back(0);
}

GifBuilder& GifBuilder::Comment(const std::string& text) {
    Raw({0x21, 0xFE});
    SubBlocks({text.begin(), text.end()});
    return *this;
}

GifBuilder& GifBuilder::Control(int delay, int disposal) {
    Raw({0x21, 0xF9, 0x04, static_cast<uint8_t>((disposal & 7) << 2)});
    Words({delay});
    return Raw({0, 0});
}

GifBuilder& GifBuilder::Image(int left, int top, int width, int height, uint8_t colour, bool localTable) {
    Raw({0x2C});
    Words({left, top, width, height});
    Raw({static_cast<uint8_t>(localTable ? 0x81 : 0x00)});
    if (localTable) Raw(kPalette);
    Raw({2});  // minimum code size
    SubBlocks(EncodeOneColour(width * height, colour));
    return *this;
}

GifBuilder& GifBuilder::PlainText(int left, int top, int width, int height) {
    Raw({0x21, 0x01, 0x0C});
    Words({left, top, width, height});
    Raw({8, 8, 1, 0});  // cell size, foreground, background
    SubBlocks({'h', 'i'});
    return *this;
}

GifBuilder& GifBuilder::Raw(const std::vector<uint8_t>& bytes) {
    for (uint8_t byte : bytes) bytes_.push_back(byte);
    return *this;
}

}  // namespace tarnwick::test
