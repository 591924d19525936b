// SPDX-License-Identifier: GPL-3.0-or-later
// The connections of one capture thread by their two ends, in either order: one probe of a flat table.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "capture/stream/FlowKey.h"

namespace tarnwick {

// Open addressing with linear probing and backward-shift deletion over slots of a hash and a pointer:
// a lookup touches one line of slots and the entry it finds. It holds at most the capacity it was made
// for (the bound on connections), at a load of a half at most; its slots double as the entries grow
// towards that, so that a few thousand connections keep their slots in the cache rather than spread
// over the half megabyte the bound would take. A key is hashed in a canonical order of its two ends, so
// either direction of a connection finds it with one probe sequence; the hash's keys are drawn per
// process, as for every table the traffic fills.
template <typename Entry>
class FlowTable {
public:
    explicit FlowTable(size_t capacity)
        : mostSlots_(std::bit_ceil(std::max<size_t>(capacity, 8) * 2)),
          mask_(std::min(mostSlots_, kFirstSlots) - 1),
          slots_(new Slot[mask_ + 1]) {}
    FlowTable(const FlowTable&) = delete;
    FlowTable& operator=(const FlowTable&) = delete;

    // The entry whose key has the ends a and b, in either order, or null.
    Entry* Find(const FlowEndpoint& a, const FlowEndpoint& b) const {
        const uint64_t hash = HashOf(a, b);
        for (size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (!slot.entry) return nullptr;
            if (slot.hash != hash) continue;
            const FlowKey& key = slot.entry->key;
            if ((key.client == a && key.server == b) || (key.client == b && key.server == a)) return slot.entry;
        }
    }
    // Adds an entry whose key is not in the table yet; the table must have room.
    void Insert(Entry* entry) {
        if ((size_ + 1) * 2 > mask_ + 1 && mask_ + 1 < mostSlots_) Grow();
        Place(Slot{entry, HashOf(entry->key.client, entry->key.server)});
        ++size_;
    }
    void Erase(const Entry* entry) {
        const uint64_t hash = HashOf(entry->key.client, entry->key.server);
        size_t at = hash & mask_;
        while (slots_[at].entry != entry) {
            if (!slots_[at].entry) return;
            at = (at + 1) & mask_;
        }
        // Later slots of the same run move back, so that no probe sequence meets an empty slot early.
        for (size_t next = (at + 1) & mask_; slots_[next].entry; next = (next + 1) & mask_) {
            const size_t home = slots_[next].hash & mask_;
            // Moves when its home does not lie cyclically in (at, next].
            if (((next - home) & mask_) >= ((next - at) & mask_)) {
                slots_[at] = slots_[next];
                at = next;
            }
        }
        slots_[at] = Slot{};
        --size_;
    }
    size_t Size() const { return size_; }

private:
    struct Slot {
        Entry* entry = nullptr;
        uint64_t hash = 0;
    };
    static constexpr size_t kFirstSlots = 1024;

    void Place(Slot slot) {
        size_t at = slot.hash & mask_;
        while (slots_[at].entry) at = (at + 1) & mask_;
        slots_[at] = slot;
    }
    void Grow() {
        std::unique_ptr<Slot[]> old = std::move(slots_);
        const size_t oldCount = mask_ + 1;
        mask_ = oldCount * 2 - 1;
        slots_.reset(new Slot[mask_ + 1]);
        for (size_t at = 0; at < oldCount; ++at)
            if (old[at].entry) Place(old[at]);
    }

    static uint64_t HashOf(const FlowEndpoint& a, const FlowEndpoint& b) {
        // The smaller end first: either direction of a segment gives the same key.
        uint64_t x[2], y[2];
        std::memcpy(x, a.address.data(), 16);
        std::memcpy(y, b.address.data(), 16);
        const bool ordered = x[0] != y[0] ? x[0] < y[0] : x[1] != y[1] ? x[1] < y[1] : a.port <= b.port;
        const FlowKey canonical = ordered ? FlowKey{a, b} : FlowKey{b, a};
        const uint64_t hash = FlowKeyHash()(canonical);
        return hash * 0x9E3779B97F4A7C15ull;  // spread the well-mixed top bits down for the mask
    }

    size_t mostSlots_;
    size_t mask_;
    std::unique_ptr<Slot[]> slots_;
    size_t size_ = 0;
};

}  // namespace tarnwick
