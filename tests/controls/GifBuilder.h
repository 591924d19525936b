// SPDX-License-Identifier: GPL-3.0-or-later
// Writes small GIF files block by block for the tests, including deliberately odd ones.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace tarnwick::test {

// Four-colour global table: 0 red, 1 green, 2 blue, 3 white. Images are filled with one colour.
class GifBuilder {
public:
    explicit GifBuilder(int width, int height, const char* version = "GIF89a");

    GifBuilder& Comment(const std::string& text);
    GifBuilder& Control(int delay, int disposal);
    GifBuilder& Image(int left, int top, int width, int height, uint8_t colour, bool localTable = false);
    GifBuilder& PlainText(int left, int top, int width, int height);
    GifBuilder& Raw(const std::vector<uint8_t>& bytes);
    GifBuilder& Trailer() { return Raw({0x3B}); }

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    size_t Size() const { return bytes_.size(); }

private:
    void Words(std::initializer_list<int> values);
    void SubBlocks(const std::vector<uint8_t>& data);

    std::vector<uint8_t> bytes_;
};

}  // namespace tarnwick::test
