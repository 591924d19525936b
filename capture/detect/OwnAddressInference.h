// Finds this host's address in a replay given without one, reading the packets only once.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>


namespace tarnwick {

// The first own address is the sender of the first packet whose TCP payload begins with "GET " (see
// RequestSenders). Packets before it are held back here (copied, within a bound) and handed on once the
// address is known, so the detector sees the whole replay as if the address had been given: a stream
// cannot be read twice.
class OwnAddressInference {
public:
    using Release = std::function<void(const pcap_pkthdr& header, const uint8_t* bytes)>;

    // Beyond this many held bytes the oldest held packets are let go unjudged.
    static constexpr size_t kDefaultHoldBytes = 8u << 20;

    explicit OwnAddressInference(size_t holdBytes = kDefaultHoldBytes) : holdBytes_(holdBytes) {}

    // Keeps a copy of a packet that named no own address.
    void Hold(const pcap_pkthdr& header, const uint8_t* bytes);
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
