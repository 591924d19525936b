// GET requests that no response has claimed yet, per TCP connection, with expiry and a memory bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>

#include "capture/PendingRequest.h"

namespace tarnwick {

// Entries older than 60 seconds are dropped when a newer one is added. No operation walks the whole
// table: each entry sits on three chains (arrival order, its connection, its second of arrival), so
// Add, Take and expiry touch only the entries they return or drop. Traffic cannot flood the table
// either: beyond the entry or byte cap the oldest arrivals go first.
class PendingRequestTable {
public:
    static constexpr int64_t kMaxAgeSeconds = 60;
    static constexpr size_t kDefaultMaxEntries = 65536;
    static constexpr size_t kDefaultMaxBytes = 16u * 1024 * 1024;
    // Rough bookkeeping cost of one entry beyond its texts.
    static constexpr size_t kEntryOverheadBytes = 256;

    explicit PendingRequestTable(size_t maxEntries = kDefaultMaxEntries, size_t maxBytes = kDefaultMaxBytes);
    ~PendingRequestTable();
    PendingRequestTable(const PendingRequestTable&) = delete;
    PendingRequestTable& operator=(const PendingRequestTable&) = delete;

    // Drops entries older than kMaxAgeSeconds at nowSeconds, stamps the entry with nowSeconds and
    // appends it. An entry stamped in the future (the clock went back) has a negative age and stays.
    void Add(PendingRequest entry, int64_t nowSeconds);
    // Removes and returns the oldest entry with this key, or an empty entry when none matches.
    PendingRequest Take(const ConnectionKey& key);
    void Clear();

    size_t Size() const { return size_; }
    // Texts plus bookkeeping of every entry, as counted against the byte cap.
    size_t Bytes() const { return bytes_; }

private:
    struct Node;
    struct Chain {
        Node* oldest = nullptr;
        Node* newest = nullptr;
    };
    struct Node {
        PendingRequest request;
        size_t cost = 0;
        Node* olderArrival = nullptr;
        Node* newerArrival = nullptr;
        Node* olderSameKey = nullptr;
        Node* newerSameKey = nullptr;
        Node* olderSameTime = nullptr;
        Node* newerSameTime = nullptr;
        // The chains of this node's key and second; elements of node-based maps never move.
        Chain* keyChain = nullptr;
        Chain* secondChain = nullptr;
    };
    struct KeyHash {
        size_t operator()(const ConnectionKey& key) const;
    };

    void Remove(Node* node);

    size_t maxEntries_;
    size_t maxBytes_;
    size_t size_ = 0;
    size_t bytes_ = 0;
    Chain arrivals_;
    std::unordered_map<ConnectionKey, Chain, KeyHash> byKey_;
    std::map<int64_t, Chain> bySecond_;
    std::map<int64_t, Chain>::iterator lastSecond_ = bySecond_.end();  // where the last Add went
};

}  // namespace tarnwick
