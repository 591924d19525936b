// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the pcapng reader of capture files and the capture helper's stream, fed in pieces of every size.
#include <cstddef>
#include <cstdint>

#include "capture/source/PcapngReader.h"
#include "fuzz/PacketTouch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return tarnwick::fuzz::FeedInPieces<tarnwick::PcapngReader>(data, size);
}
