// GET requests that no response has claimed yet, per TCP connection, with expiry and a memory bound.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "capture/detect/PendingRequest.h"

namespace tarnwick {

// Entries older than 60 seconds are dropped when a newer one is added. Apart from the doubling of the
// buckets (ten times at most under the default cap), no operation walks the whole table: each entry sits on
// three chains (arrival order, its hash bucket, its second of arrival), so Add, Take and expiry touch
// only the entries they return or drop. Traffic cannot flood the table
// either: beyond the entry or byte cap the oldest arrivals go first.
//
// The buckets are picked by a keyed hash whose keys are drawn once per process: someone who can make
// this host send requests cannot choose connections that all land in one bucket, which would make
// every response walk that one chain.
//
// Most requests are never answered and expire a minute later, when their memory has long left the
// cache; an entry is therefore one block holding its texts, so dropping it touches little memory.
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

    // A key with its hash, worked out once for a prefetch and the Add or Take that follows it.
    struct HashedKey {
        ConnectionKey key;
        uint64_t hash = 0;
    };
    HashedKey Hashed(const ConnectionKey& key) const { return {key, HashOf(key)}; }

    // Drops entries older than kMaxAgeSeconds at nowSeconds, stamps the entry with nowSeconds and
    // appends it. An entry stamped in the future (the clock went back) has a negative age and stays.
    void Add(const HashedKey& key, std::string_view host, std::string_view path, std::string_view requestText,
             int64_t nowSeconds);
    void Add(const ConnectionKey& key, std::string_view host, std::string_view path, std::string_view requestText,
             int64_t nowSeconds) {
        Add(Hashed(key), host, path, requestText, nowSeconds);
    }
    void Add(const PendingRequest& entry, int64_t nowSeconds) {
        Add(entry.key, entry.host, entry.path, entry.requestText, nowSeconds);
    }
    // Removes and returns the oldest entry with this key, or an empty entry when none matches.
    PendingRequest Take(const ConnectionKey& key) {
        PendingRequest entry;
        Take(Hashed(key), entry);
        return entry;
    }
    // The same into an existing entry, reusing the memory of its texts; false when none matched.
    bool Take(const HashedKey& key, PendingRequest& into);
    bool Take(const ConnectionKey& key, PendingRequest& into) { return Take(Hashed(key), into); }
    void Clear();
    // A hint that key is about to be added or taken: starts loading its bucket.
    void Prefetch(const HashedKey& key) const { __builtin_prefetch(&buckets_[BucketIndex(key.hash)]); }

    size_t Size() const { return size_; }
    // Texts plus bookkeeping of every entry, as counted against the byte cap.
    size_t Bytes() const { return bytes_; }

private:
    struct Node;
    struct Chain {
        Node* oldest = nullptr;
        Node* newest = nullptr;
    };

    static constexpr size_t kKeyWords = sizeof(ConnectionKey) / 4;
    static_assert(sizeof(ConnectionKey) == 36 && sizeof(ConnectionKey) % 4 == 0, "a key is nine whole words");

    // Multilinear hashing: a random start plus each 32-bit word of the key times a random 64-bit
    // factor, modulo 2^64. Its top bits are a universal family, so the bucket index is taken from them.
    uint64_t HashOf(const ConnectionKey& key) const {
        uint32_t words[kKeyWords];
        std::memcpy(words, &key, sizeof words);
        uint64_t sum = hashKeys_[0];
        for (size_t i = 0; i < kKeyWords; ++i) sum += hashKeys_[i + 1] * words[i];
        return sum;
    }
    size_t BucketIndex(uint64_t hash) const { return static_cast<size_t>(hash >> bucketShift_); }
    Chain& BucketOf(uint64_t hash) { return buckets_[BucketIndex(hash)]; }
    void GrowBuckets();
    void Remove(Node* node);

    std::array<uint64_t, kKeyWords + 1> hashKeys_;
    size_t maxEntries_;
    size_t maxBytes_;
    size_t size_ = 0;
    size_t bytes_ = 0;
    Chain arrivals_;
    // A power-of-two count of buckets, each holding its entries in arrival order, so the first entry
    // with a key in its bucket is the oldest one with that key.
    std::vector<Chain> buckets_;
    unsigned bucketShift_;  // 64 minus the bits of a bucket index
    std::map<int64_t, Chain> bySecond_;
    std::map<int64_t, Chain>::iterator lastSecond_ = bySecond_.end();  // where the last Add went
};

}  // namespace tarnwick
