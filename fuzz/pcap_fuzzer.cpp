// Fuzz target: the reader of classic pcap files, fed in pieces of every size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/source/PcapReader.h"
#include "fuzz/PacketTouch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the piece size, so both whole records and records split anywhere are read.
    const size_t piece = 1 + data[0] % 64 * (data[0] & 0x80 ? 1024 : 1);
    ++data;
    --size;
    tarnwick::PcapReader reader;
    tarnwick::fuzz::PacketTouch touch;
    for (size_t at = 0; at < size;) {
        size_t room = 0;
        uint8_t* into = reader.Room(room);
        const size_t count = std::min({room, piece, size - at});
        std::memcpy(into, data + at, count);
        reader.Commit(count);
        at += count;
        if (reader.Parse(touch) == tarnwick::PcapReader::Result::Damaged) break;
    }
    return static_cast<int>(touch.sum & 0);
}
