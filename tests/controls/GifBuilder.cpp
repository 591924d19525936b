// Writes small GIF files block by block for the tests, including deliberately odd ones.
#include "tests/controls/GifBuilder.h"

#include <algorithm>

namespace tarnwick::test {

namespace {

// Two-bit colour indices in three-bit codes. A clear code after every two pixels keeps the code width
// fixed, so no dictionary is needed: clear = 4, end = 5.
std::vector<uint8_t> EncodeSingleColour(int pixelCount, uint8_t colourIndex) {
    std::vector<uint8_t> out;
    uint32_t bitBuffer = 0;
    int bitCount = 0;
    const auto put = [&](uint32_t code) {
        bitBuffer |= code << bitCount;
        bitCount += 3;
        while (bitCount >= 8) {
            out.push_back(static_cast<uint8_t>(bitBuffer & 0xFF));
            bitBuffer >>= 8;
            bitCount -= 8;
        }
    };
    for (int i = 0; i < pixelCount; ++i) {
        if (i % 2 == 0) put(4);
        put(colourIndex & 0x03);
    }
    put(5);
    if (bitCount > 0) out.push_back(static_cast<uint8_t>(bitBuffer & 0xFF));
    return out;
}

}  // namespace

GifBuilder::GifBuilder(int width, int height, const Palette& palette, const char* version) {
    for (int i = 0; i < 6; ++i) bytes_.push_back(static_cast<uint8_t>(version[i]));
    Word(width);
    Word(height);
    bytes_.push_back(0x80 | 0x10 | 0x01);  // global table of 4 entries
    bytes_.push_back(0);                   // background index
    bytes_.push_back(0);                   // aspect
    PaletteBytes(palette);
}

void GifBuilder::Word(int value) {
    bytes_.push_back(static_cast<uint8_t>(value & 0xFF));
    bytes_.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void GifBuilder::PaletteBytes(const Palette& palette) {
    for (uint32_t rgb : palette) {
        bytes_.push_back(static_cast<uint8_t>(rgb >> 16));
        bytes_.push_back(static_cast<uint8_t>(rgb >> 8));
        bytes_.push_back(static_cast<uint8_t>(rgb));
    }
}

void GifBuilder::SubBlocks(const std::vector<uint8_t>& data) {
    for (size_t at = 0; at < data.size(); at += 255) {
        const size_t length = std::min<size_t>(255, data.size() - at);
        bytes_.push_back(static_cast<uint8_t>(length));
        bytes_.insert(bytes_.end(), data.begin() + static_cast<long>(at),
                      data.begin() + static_cast<long>(at + length));
    }
    bytes_.push_back(0);
}

GifBuilder& GifBuilder::Loop() {
    const std::string id = "NETSCAPE2.0";
    bytes_.insert(bytes_.end(), {0x21, 0xFF, 0x0B});
    bytes_.insert(bytes_.end(), id.begin(), id.end());
    SubBlocks({0x01, 0x00, 0x00});
    return *this;
}

GifBuilder& GifBuilder::Comment(const std::string& text) {
    bytes_.insert(bytes_.end(), {0x21, 0xFE});
    SubBlocks(std::vector<uint8_t>(text.begin(), text.end()));
    return *this;
}

GifBuilder& GifBuilder::Control(uint16_t delay, int disposal, int transparentIndex) {
    bytes_.insert(bytes_.end(), {0x21, 0xF9, 0x04});
    bytes_.push_back(static_cast<uint8_t>(((disposal & 0x07) << 2) | (transparentIndex >= 0 ? 1 : 0)));
    Word(delay);
    bytes_.push_back(static_cast<uint8_t>(transparentIndex >= 0 ? transparentIndex : 0));
    bytes_.push_back(0);
    return *this;
}

GifBuilder& GifBuilder::Image(int left, int top, int width, int height, uint8_t colourIndex,
                              const Palette* localPalette) {
    bytes_.push_back(0x2C);
    Word(left);
    Word(top);
    Word(width);
    Word(height);
    bytes_.push_back(localPalette ? 0x81 : 0x00);
    if (localPalette) PaletteBytes(*localPalette);
    bytes_.push_back(2);  // minimum code size
    SubBlocks(EncodeSingleColour(width * height, colourIndex));
    return *this;
}

GifBuilder& GifBuilder::PlainText(int left, int top, int width, int height, const std::string& text) {
    bytes_.insert(bytes_.end(), {0x21, 0x01, 0x0C});
    Word(left);
    Word(top);
    Word(width);
    Word(height);
    bytes_.insert(bytes_.end(), {8, 8, 1, 0});  // cell size, foreground, background
    SubBlocks(std::vector<uint8_t>(text.begin(), text.end()));
    return *this;
}

GifBuilder& GifBuilder::Raw(const std::vector<uint8_t>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

GifBuilder& GifBuilder::Trailer() {
    bytes_.push_back(0x3B);
    return *this;
}

}  // namespace tarnwick::test
