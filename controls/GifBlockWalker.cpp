// SPDX-License-Identifier: GPL-3.0-or-later
// Walks the block structure of a GIF held in memory and cuts its frames out as stand-alone GIFs.
#include "controls/GifBlockWalker.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {

namespace {

constexpr uint8_t kExtensionIntroducer = 0x21;
constexpr uint8_t kImageSeparator = 0x2C;
constexpr uint8_t kTrailer = 0x3B;
constexpr size_t kScreenDescriptorEnd = 13;  // header (6) + logical screen descriptor (7)
constexpr size_t kGraphicControlLength = 8;
constexpr size_t kImageDescriptorFixedLength = 11;  // separator + 10 bytes of descriptor (with packed byte)

size_t ColourTableSize(uint8_t packed) {
    return (packed & 0x80) ? 3u * (2u << (packed & 0x07)) : 0u;
}

}  // namespace

GifBlockWalker::GifBlockWalker(std::span<const uint8_t> data) : data_(data) {
    isGif_ = data_.size() >= 6 &&
             (std::memcmp(data_.data(), "GIF87a", 6) == 0 || std::memcmp(data_.data(), "GIF89a", 6) == 0);
    if (isGif_ && data_.size() >= kScreenDescriptorEnd) {
        screenWidth_ = static_cast<int>(Word(6));
        screenHeight_ = static_cast<int>(Word(8));
        globalColourTableSize_ = ColourTableSize(data_[10]);
    }
    Rewind();
}

void GifBlockWalker::Rewind() {
    position_ = HeaderLength();
}

unsigned GifBlockWalker::Word(size_t offset) const {
    return static_cast<unsigned>(data_[offset]) | (static_cast<unsigned>(data_[offset + 1]) << 8);
}

GifBlockWalker::BlockKind GifBlockWalker::Kind() const {
    if (!HasByte(position_)) return BlockKind::Unrecognised;
    const uint8_t first = data_[position_];
    if (first == kImageSeparator) return BlockKind::ImageDescriptor;
    if (first == kTrailer) return BlockKind::Trailer;
    if (first != kExtensionIntroducer || !HasByte(position_ + 1)) return BlockKind::Unrecognised;
    switch (data_[position_ + 1]) {
        case 0xFF:
            return BlockKind::ApplicationExtension;
        case 0xFE:
            return BlockKind::CommentExtension;
        case 0xF9:
            return BlockKind::GraphicControlExtension;
        case 0x01:
            return BlockKind::PlainTextExtension;
        default:
            return BlockKind::Unrecognised;
    }
}

size_t GifBlockWalker::ChainLength(size_t offset) const {
    size_t length = 0;
    while (true) {
        if (!HasByte(offset)) return 0;
        const size_t subBlock = data_[offset];
        length += subBlock + 1;
        offset += subBlock + 1;
        if (subBlock == 0) return length;
    }
}

size_t GifBlockWalker::BlockLength() const {
    const auto withChain = [this](size_t fixed) -> size_t {
        const size_t chain = ChainLength(position_ + fixed);
        return chain == 0 ? 0 : fixed + chain;
    };
    switch (Kind()) {
        case BlockKind::ApplicationExtension:
            return withChain(14);
        case BlockKind::CommentExtension:
            return withChain(2);
        case BlockKind::GraphicControlExtension:
            return kGraphicControlLength;
        case BlockKind::PlainTextExtension:
            return withChain(15);
        case BlockKind::ImageDescriptor:
            if (!HasByte(position_ + 9)) return 0;
            return withChain(kImageDescriptorFixedLength + ColourTableSize(data_[position_ + 9]));
        case BlockKind::Trailer:
            return 1;
        case BlockKind::Unrecognised:
            return 0;
    }
    return 0;
}

bool GifBlockWalker::SkipBlock() {
    const size_t length = BlockLength();
    if (length == 0 || length > data_.size() - std::min(position_, data_.size())) return false;
    position_ += length;
    return true;
}

// Application and comment extensions may come before a frame; anything unknown, or the end, stops.
bool GifBlockWalker::SkipExtensionsBeforeFrame() {
    while (true) {
        const BlockKind kind = Kind();
        if (kind == BlockKind::ApplicationExtension || kind == BlockKind::CommentExtension) {
            if (!SkipBlock()) return false;
            continue;
        }
        return kind != BlockKind::Unrecognised && kind != BlockKind::Trailer;
    }
}

// From just after a graphic control extension to the image descriptor or plain-text extension it governs.
bool GifBlockWalker::SkipToGraphicBlock() {
    while (true) {
        const BlockKind kind = Kind();
        if (kind == BlockKind::ImageDescriptor || kind == BlockKind::PlainTextExtension) return true;
        if (kind == BlockKind::Unrecognised || kind == BlockKind::Trailer) return false;
        if (!SkipBlock()) return false;
    }
}

bool GifBlockWalker::SkipGraphicBlock() {
    if (!SkipExtensionsBeforeFrame()) return false;
    if (Kind() == BlockKind::GraphicControlExtension) {
        if (!SkipBlock() || !SkipToGraphicBlock()) return false;
    }
    return SkipBlock();
}

std::optional<GifFrame> GifBlockWalker::ExtractFrame() {
    if (HeaderLength() > data_.size()) return std::nullopt;
    if (!SkipExtensionsBeforeFrame()) return std::nullopt;
    const size_t start = position_;
    if (BlockLength() == 0) return std::nullopt;

    GifFrame frame;
    if (Kind() == BlockKind::GraphicControlExtension) {
        if (data_.size() - start < kGraphicControlLength) return std::nullopt;
        frame.disposal = (data_[start + 3] >> 2) & 0x07;
        frame.delay = Word(start + 4);
        if (!SkipBlock() || !SkipToGraphicBlock()) return std::nullopt;
    }
    // BlockLength() > 0 below means the block's fixed part lies inside the data.
    if (BlockLength() == 0) return std::nullopt;
    const size_t graphic = position_;
    if (Kind() == BlockKind::ImageDescriptor) {
        frame.left = static_cast<int>(Word(graphic + 1));
        frame.top = static_cast<int>(Word(graphic + 3));
        frame.width = static_cast<int>(Word(graphic + 5));
        frame.height = static_cast<int>(Word(graphic + 7));
    } else {  // a plain-text extension: its text grid is the area it draws on
        frame.left = static_cast<int>(Word(graphic + 3));
        frame.top = static_cast<int>(Word(graphic + 5));
        frame.width = static_cast<int>(Word(graphic + 7));
        frame.height = static_cast<int>(Word(graphic + 9));
    }
    if (!SkipBlock()) return std::nullopt;

    const auto header = data_.first(HeaderLength());
    const auto run = data_.subspan(start, position_ - start);
    frame.gif.reserve(header.size() + run.size() + 1);
    frame.gif.insert(frame.gif.end(), header.begin(), header.end());
    frame.gif.insert(frame.gif.end(), run.begin(), run.end());
    frame.gif.push_back(kTrailer);
    return frame;
}

int GifBlockWalker::CountFrames() {
    Rewind();
    int count = 0;
    while (SkipGraphicBlock()) ++count;
    return count;
}

std::vector<GifFrame> GifBlockWalker::ExtractFrames() {
    Rewind();
    std::vector<GifFrame> frames;
    while (auto frame = ExtractFrame()) frames.push_back(std::move(*frame));
    return frames;
}

}  // namespace tarnwick
