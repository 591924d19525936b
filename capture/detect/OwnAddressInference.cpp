// Finds this host's address in a replay given without one, reading the packets only once.
#include "capture/detect/OwnAddressInference.h"


namespace tarnwick {

void OwnAddressInference::Hold(const pcap_pkthdr& header, const uint8_t* bytes) {
    // The bound covers each packet's bookkeeping too: a flood of small frames must not escape it.
    const size_t cost = header.caplen + sizeof(HeldPacket);
    while (!held_.empty() && heldBytes_ + cost > holdBytes_) {
        heldBytes_ -= held_.front().bytes.size() + sizeof(HeldPacket);
        held_.pop_front();
        ++letGo_;
    }
    if (cost > holdBytes_) {
        ++letGo_;
        return;
    }
    held_.push_back({header, std::vector<uint8_t>(bytes, bytes + header.caplen)});
    heldBytes_ += cost;
}

void OwnAddressInference::ReleaseHeld(const Release& release) {
    for (const HeldPacket& packet : held_) release(packet.header, packet.bytes.data());
    held_.clear();
    heldBytes_ = 0;
}

}  // namespace tarnwick
