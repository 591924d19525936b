// Finds this host's address in a replay given without one, reading the packets only once.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "capture/decode/Ipv4Address.h"

namespace tarnwick {

// The own address is the sender of the first packet whose TCP payload begins with "GET ". Packets
// before it are held back (copied, within a bound) and handed on once the address is known, so the
// detector sees the whole replay as if the address had been given: a stream cannot be read twice.
class OwnAddressInference {
public:
    using Release = std::function<void(const pcap_pkthdr& header, const uint8_t* bytes)>;

    // Beyond this many held bytes the oldest held packets are let go unjudged.
    static constexpr size_t kDefaultHoldBytes = 8u << 20;

    explicit OwnAddressInference(size_t holdBytes = kDefaultHoldBytes) : holdBytes_(holdBytes) {}

    // The address once this packet decides it (the packet itself is not held); otherwise the packet is
    // held and nothing is returned.
    std::optional<Ipv4Address> Examine(const pcap_pkthdr& header, const uint8_t* bytes);
    // Hands every held packet to release, oldest first, and forgets them.
    void ReleaseHeld(const Release& release);

    size_t HeldPackets() const { return held_.size(); }
    // Packets let go unjudged because the bound was reached.
    uint64_t LetGo() const { return letGo_; }

private:
    struct HeldPacket {
        pcap_pkthdr header;
        std::vector<uint8_t> bytes;
    };

    size_t holdBytes_;
    size_t heldBytes_ = 0;
    uint64_t letGo_ = 0;
    std::deque<HeldPacket> held_;
};

}  // namespace tarnwick
