// GET requests that no response has claimed yet, per TCP connection, with expiry and a memory bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "capture/PendingRequest.h"

namespace tarnwick {

// Entries older than 60 seconds are dropped when a newer one is added. Adding never walks the whole
// table: expiry uses a time-ordered index and Take a per-connection index. Traffic cannot flood the
// table either: beyond the entry or byte cap the oldest entries go first.
class PendingRequestTable {
public:
    static constexpr int64_t kMaxAgeSeconds = 60;
    static constexpr size_t kDefaultMaxEntries = 65536;
    static constexpr size_t kDefaultMaxBytes = 16u * 1024 * 1024;
    // Rough bookkeeping cost of one entry beyond its texts.
    static constexpr size_t kEntryOverheadBytes = 256;

    explicit PendingRequestTable(size_t maxEntries = kDefaultMaxEntries, size_t maxBytes = kDefaultMaxBytes);

    // Drops entries older than kMaxAgeSeconds at nowSeconds, stamps the entry with nowSeconds and
    // appends it. An entry stamped in the future (the clock went back) has a negative age and stays.
    void Add(PendingRequest entry, int64_t nowSeconds);
    // Removes and returns the oldest entry with this key, or an empty entry when none matches.
    PendingRequest Take(const ConnectionKey& key);
    void Clear();

    size_t Size() const { return entries_.size(); }
    // Texts plus bookkeeping of every entry, as counted against the byte cap.
    size_t Bytes() const { return bytes_; }

private:
    struct KeyHash {
        size_t operator()(const ConnectionKey& key) const;
    };
    using Sequence = uint64_t;

    static size_t CostOf(const PendingRequest& entry);
    void Erase(Sequence sequence);

    size_t maxEntries_;
    size_t maxBytes_;
    size_t bytes_ = 0;
    Sequence nextSequence_ = 0;
    std::map<Sequence, PendingRequest> entries_;                  // in order of arrival
    std::unordered_map<ConnectionKey, std::set<Sequence>, KeyHash> byKey_;
    std::set<std::pair<int64_t, Sequence>> byTime_;               // (time added, arrival)
};

}  // namespace tarnwick
