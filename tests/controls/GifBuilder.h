// Writes small GIF files block by block for the tests, including deliberately odd ones.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::test {

class GifBuilder {
public:
    using Palette = std::array<uint32_t, 4>;  // 0xRRGGBB

    // Four-colour global table; images are single colours from it.
    GifBuilder(int width, int height, const Palette& palette, const char* version = "GIF89a");

    GifBuilder& Loop();  // NETSCAPE2.0 application extension
    GifBuilder& Comment(const std::string& text);
    GifBuilder& Control(uint16_t delay, int disposal, int transparentIndex = -1);
    GifBuilder& Image(int left, int top, int width, int height, uint8_t colourIndex,
                      const Palette* localPalette = nullptr);
    GifBuilder& PlainText(int left, int top, int width, int height, const std::string& text);
    GifBuilder& Raw(const std::vector<uint8_t>& bytes);
    GifBuilder& Trailer();

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    size_t Size() const { return bytes_.size(); }

private:
    void Word(int value);
    void PaletteBytes(const Palette& palette);
    void SubBlocks(const std::vector<uint8_t>& data);

    std::vector<uint8_t> bytes_;
};

}  // namespace tarnwick::test
