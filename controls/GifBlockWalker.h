// SPDX-License-Identifier: GPL-3.0-or-later
// Walks the block structure of a GIF held in memory and cuts its frames out as stand-alone GIFs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "controls/GifFrame.h"

namespace tarnwick {

// Every read is checked against the data: a block that would need a byte past the end is invalid.
class GifBlockWalker {
public:
    enum class BlockKind {
        Unrecognised,
        ApplicationExtension,
        CommentExtension,
        GraphicControlExtension,
        PlainTextExtension,
        ImageDescriptor,
        Trailer,
    };

    // The data must outlive the walker.
    explicit GifBlockWalker(std::span<const uint8_t> data);

    // True when the data starts with "GIF87a" or "GIF89a".
    bool IsGif() const { return isGif_; }
    int ScreenWidth() const { return screenWidth_; }
    int ScreenHeight() const { return screenHeight_; }
    size_t GlobalColourTableSize() const { return globalColourTableSize_; }

    size_t Position() const { return position_; }
    void Rewind();  // to the first block after the global colour table

    BlockKind Kind() const;
    size_t BlockLength() const;  // 0 when the block is invalid or runs past the data
    bool SkipBlock();
    bool SkipGraphicBlock();  // one whole frame
    std::optional<GifFrame> ExtractFrame();

    // From the start: the number of whole frames, and every frame that can be cut out.
    int CountFrames();
    std::vector<GifFrame> ExtractFrames();

private:
    size_t HeaderLength() const { return 13 + globalColourTableSize_; }
    bool HasByte(size_t offset) const { return offset < data_.size(); }
    unsigned Word(size_t offset) const;  // little-endian; caller has checked both bytes
    size_t ChainLength(size_t offset) const;
    bool SkipExtensionsBeforeFrame();
    bool SkipToGraphicBlock();

    std::span<const uint8_t> data_;
    bool isGif_ = false;
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    size_t globalColourTableSize_ = 0;
    size_t position_ = 0;
};

}  // namespace tarnwick
