// SPDX-License-Identifier: GPL-3.0-or-later
// Undoes the gzip or zstd compression of a capture as its bytes arrive, in bounded memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tarnwick {

// Consecutive gzip members and zstd frames read as one stream, as gzip -d and zstd -d read them.
class StreamDecompressor {
public:
    enum class Format : uint8_t { Plain, Gzip, Zstd };

    // Bytes needed to tell the format.
    static constexpr size_t kSignatureBytes = 4;
    // The largest zstd window taken (128 MiB, zstd's own default limit); a frame that asks for more is
    // refused rather than given the memory.
    static constexpr int kMaxZstdWindowLog = 27;

    // gzip begins 1f 8b, zstd 28 b5 2f fd; anything else (also fewer bytes) is Plain.
    static Format Detect(std::span<const uint8_t> first);
    static const char* Name(Format format);

    // format is Gzip or Zstd.
    explicit StreamDecompressor(Format format);
    ~StreamDecompressor();
    StreamDecompressor(const StreamDecompressor&) = delete;
    StreamDecompressor& operator=(const StreamDecompressor&) = delete;

    // Takes bytes from the front of input (which is advanced past them) and writes what they give into
    // output; written says how many (0 when more input is needed). Called with empty input it hands
    // over what the decoder still holds. False, with Error() set, when the compressed bytes are damaged
    // (the call that meets the damage still hands over what came before it, when anything did).
    bool Decompress(std::span<const uint8_t>& input, std::span<uint8_t> output, size_t& written);
    // True when the bytes taken so far end exactly after a member or frame: a stream that stops here
    // is whole.
    bool AtStreamEnd() const { return atStreamEnd_; }
    // Compressed bytes taken and bytes given so far.
    uint64_t CompressedBytes() const { return compressed_; }
    uint64_t DecompressedBytes() const { return decompressed_; }
    // What is wrong, with the compressed byte where the decoder stopped.
    const std::string& Error() const { return error_; }

private:
    struct Decoder;
    bool Fail(const std::string& why);
    bool Damaged(const std::string& why, std::span<const uint8_t>& input, size_t taken, size_t written);

    Format format_;
    std::unique_ptr<Decoder> decoder_;
    bool atStreamEnd_ = false;
    uint64_t compressed_ = 0;
    uint64_t decompressed_ = 0;
    std::string error_;
};

}  // namespace tarnwick
