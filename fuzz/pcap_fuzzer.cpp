// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target: the reader of classic pcap files, fed in pieces of every size.
#include <cstddef>
#include <cstdint>

#include "capture/source/PcapReader.h"
#include "fuzz/PacketTouch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return tarnwick::fuzz::FeedInPieces<tarnwick::PcapReader>(data, size);
}
