// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the QPACK decoder wrapper: encoder stream instructions and header blocks of a few streams,
// blocked blocks resumed as the table fills, streams cancelled.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "capture/quic/QpackDecoder.h"

// Input: records of one byte (bits 0-1: 0 encoder stream bytes, 1 a header block, 2 cancel a stream;
// bits 2-4: the stream), a one-byte length and that many bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tarnwick;
    QpackDecoder decoder(4096, 4);
    size_t fields = 0;
    const auto sink = [&fields](std::string_view name, std::string_view value) {
        fields += name.size() + value.size() + 1;
    };
    size_t offset = 0;
    while (offset + 2 <= size && !decoder.Broken()) {
        const uint8_t control = data[offset];
        size_t length = data[offset + 1];
        offset += 2;
        if (length > size - offset) length = size - offset;
        const std::vector<uint8_t> bytes(data + offset, data + offset + length);
        offset += length;
        const int64_t stream = (control >> 2) & 0x07;
        switch (control & 0x03) {
            case 0:
                if (decoder.ReadEncoderStream(bytes))
                    for (const int64_t ready : decoder.Ready()) decoder.Resume(ready, sink);
                break;
            case 1:
                decoder.Decode(stream, bytes, sink);
                break;
            default:
                decoder.Cancel(stream);
                break;
        }
        if (decoder.Blocked() > 4) std::abort();
    }
    return 0;
}
