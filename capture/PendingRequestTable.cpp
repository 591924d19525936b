// GET requests that no response has claimed yet, per TCP connection, with expiry and a memory bound.
#include "capture/PendingRequestTable.h"

#include <algorithm>
#include <cstring>

namespace tarnwick {

PendingRequestTable::PendingRequestTable(size_t maxEntries, size_t maxBytes)
    : maxEntries_(std::max<size_t>(maxEntries, 1)), maxBytes_(maxBytes) {}

size_t PendingRequestTable::KeyHash::operator()(const ConnectionKey& key) const {
    uint64_t a = 0, b = 0;
    std::memcpy(&a, key.clientAddress.data(), 4);
    std::memcpy(reinterpret_cast<uint8_t*>(&a) + 4, key.serverAddress.data(), 4);
    b = (static_cast<uint64_t>(key.clientPort) << 16) | key.serverPort;
    uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull + (a << 6) + (a >> 2));
    return static_cast<size_t>(h ^ (h >> 29));
}

size_t PendingRequestTable::CostOf(const PendingRequest& entry) {
    return kEntryOverheadBytes + entry.host.capacity() + entry.path.capacity() + entry.requestText.capacity();
}

void PendingRequestTable::Erase(Sequence sequence) {
    auto it = entries_.find(sequence);
    if (it == entries_.end()) return;
    auto keyIt = byKey_.find(it->second.key);
    if (keyIt != byKey_.end()) {
        keyIt->second.erase(sequence);
        if (keyIt->second.empty()) byKey_.erase(keyIt);
    }
    byTime_.erase({it->second.timeAdded, sequence});
    bytes_ -= CostOf(it->second);
    entries_.erase(it);
}

void PendingRequestTable::Add(PendingRequest entry, int64_t nowSeconds) {
    // Everything with nowSeconds - timeAdded > kMaxAgeSeconds, oldest stamp first.
    while (!byTime_.empty() && byTime_.begin()->first < nowSeconds - kMaxAgeSeconds)
        Erase(byTime_.begin()->second);

    entry.timeAdded = nowSeconds;
    entry.host.shrink_to_fit();
    entry.path.shrink_to_fit();
    entry.requestText.shrink_to_fit();
    const size_t cost = CostOf(entry);
    while (!entries_.empty() && (entries_.size() >= maxEntries_ || bytes_ + cost > maxBytes_))
        Erase(entries_.begin()->first);

    const Sequence sequence = nextSequence_++;
    byKey_[entry.key].insert(sequence);
    byTime_.insert({nowSeconds, sequence});
    bytes_ += cost;
    entries_.emplace(sequence, std::move(entry));
}

PendingRequest PendingRequestTable::Take(const ConnectionKey& key) {
    auto keyIt = byKey_.find(key);
    if (keyIt == byKey_.end() || keyIt->second.empty()) return {};
    const Sequence oldest = *keyIt->second.begin();
    PendingRequest result = entries_.at(oldest);
    Erase(oldest);
    return result;
}

void PendingRequestTable::Clear() {
    entries_.clear();
    byKey_.clear();
    byTime_.clear();
    bytes_ = 0;
}

}  // namespace tarnwick
