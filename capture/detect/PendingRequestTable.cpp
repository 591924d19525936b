// GET requests that no response has claimed yet, per TCP connection, with expiry and a memory bound.
#include "capture/detect/PendingRequestTable.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "capture/decode/ProcessHashKeys.h"

namespace tarnwick {

// One allocation: this header, then the host, path and request text bytes back to back.
struct PendingRequestTable::Node {
    ConnectionKey key;
    uint64_t hash = 0;
    int64_t timeAdded = 0;
    size_t hostLength = 0;
    size_t pathLength = 0;
    size_t requestTextLength = 0;
    size_t cost = 0;
    Node* olderArrival = nullptr;
    Node* newerArrival = nullptr;
    Node* olderInBucket = nullptr;
    Node* newerInBucket = nullptr;
    Node* olderSameTime = nullptr;
    Node* newerSameTime = nullptr;
    // The chain of this node's second; elements of a node-based map never move.
    Chain* secondChain = nullptr;

    char* Texts() { return reinterpret_cast<char*>(this + 1); }
    std::string_view Host() { return {Texts(), hostLength}; }
    std::string_view Path() { return {Texts() + hostLength, pathLength}; }
    std::string_view RequestText() { return {Texts() + hostLength + pathLength, requestTextLength}; }

    static void Free(Node* node) {
        node->~Node();
        ::operator delete(node);
    }
};

namespace {

constexpr size_t kInitialBuckets = 64;

// Doubly linked chains threaded through the nodes by a pair of member links.
template <typename Node, typename Chain, Node* Node::*Older, Node* Node::*Newer>
struct Links {
    static void Append(Chain& chain, Node* node) {
        node->*Older = chain.newest;
        node->*Newer = nullptr;
        if (chain.newest) chain.newest->*Newer = node;
        else chain.oldest = node;
        chain.newest = node;
    }
    static void Unlink(Chain& chain, Node* node) {
        if (node->*Older) (node->*Older)->*Newer = node->*Newer;
        else chain.oldest = node->*Newer;
        if (node->*Newer) (node->*Newer)->*Older = node->*Older;
        else chain.newest = node->*Older;
        node->*Older = node->*Newer = nullptr;
    }
};

}  // namespace

PendingRequestTable::PendingRequestTable(size_t maxEntries, size_t maxBytes)
    : hashKeys_(ProcessHashKeys<kKeyWords + 1>()),
      maxEntries_(std::max<size_t>(maxEntries, 1)),
      maxBytes_(maxBytes),
      buckets_(kInitialBuckets),
      bucketShift_(64 - static_cast<unsigned>(std::countr_zero(kInitialBuckets))) {}

PendingRequestTable::~PendingRequestTable() { Clear(); }

// Doubles the buckets once there are more entries than buckets. Re-adding in arrival order keeps
// every bucket in arrival order; like any growing hash table, this is paid for by the Adds before it.
void PendingRequestTable::GrowBuckets() {
    buckets_.assign(buckets_.size() * 2, Chain{});
    --bucketShift_;
    for (Node* node = arrivals_.oldest; node; node = node->newerArrival)
        Links<Node, Chain, &Node::olderInBucket, &Node::newerInBucket>::Append(BucketOf(node->hash), node);
}

void PendingRequestTable::Remove(Node* node) {
    Links<Node, Chain, &Node::olderArrival, &Node::newerArrival>::Unlink(arrivals_, node);
    Links<Node, Chain, &Node::olderInBucket, &Node::newerInBucket>::Unlink(BucketOf(node->hash), node);
    Links<Node, Chain, &Node::olderSameTime, &Node::newerSameTime>::Unlink(*node->secondChain, node);
    if (!node->secondChain->oldest) {
        if (lastSecond_ != bySecond_.end() && &lastSecond_->second == node->secondChain) lastSecond_ = bySecond_.end();
        bySecond_.erase(node->timeAdded);
    }
    bytes_ -= node->cost;
    --size_;
    Node::Free(node);
}

void PendingRequestTable::Add(const HashedKey& key, std::string_view host, std::string_view path,
                              std::string_view requestText, int64_t nowSeconds) {
    // Every entry with nowSeconds - timeAdded > kMaxAgeSeconds, whole seconds at a time.
    while (!bySecond_.empty() && bySecond_.begin()->first < nowSeconds - kMaxAgeSeconds)
        Remove(bySecond_.begin()->second.oldest);

    const size_t textBytes = host.size() + path.size() + requestText.size();
    const size_t cost = kEntryOverheadBytes + textBytes;
    while (arrivals_.oldest && (size_ >= maxEntries_ || bytes_ + cost > maxBytes_)) Remove(arrivals_.oldest);

    Node* node = new (::operator new(sizeof(Node) + textBytes)) Node;
    node->key = key.key;
    node->hash = key.hash;
    node->timeAdded = nowSeconds;
    node->hostLength = host.size();
    node->pathLength = path.size();
    node->requestTextLength = requestText.size();
    node->cost = cost;
    char* texts = node->Texts();
    // Copies only non-empty texts: an empty view may carry a null pointer.
    if (!host.empty()) std::memcpy(texts, host.data(), host.size());
    if (!path.empty()) std::memcpy(texts + host.size(), path.data(), path.size());
    if (!requestText.empty()) std::memcpy(texts + host.size() + path.size(), requestText.data(), requestText.size());

    if (lastSecond_ == bySecond_.end() || lastSecond_->first != nowSeconds)
        lastSecond_ = bySecond_.try_emplace(nowSeconds).first;
    node->secondChain = &lastSecond_->second;
    Links<Node, Chain, &Node::olderArrival, &Node::newerArrival>::Append(arrivals_, node);
    Links<Node, Chain, &Node::olderSameTime, &Node::newerSameTime>::Append(*node->secondChain, node);
    bytes_ += cost;
    ++size_;
    if (size_ > buckets_.size()) GrowBuckets();
    else Links<Node, Chain, &Node::olderInBucket, &Node::newerInBucket>::Append(BucketOf(key.hash), node);
}

bool PendingRequestTable::Take(const HashedKey& key, PendingRequest& into) {
    Node* node = BucketOf(key.hash).oldest;
    while (node && !(node->hash == key.hash && node->key == key.key)) node = node->newerInBucket;
    if (!node) {
        into.key = {};
        into.timeAdded = 0;
        into.host.clear();
        into.path.clear();
        into.requestText.clear();
        return false;
    }
    into.key = node->key;
    into.timeAdded = node->timeAdded;
    into.host.assign(node->Host());
    into.path.assign(node->Path());
    into.requestText.assign(node->RequestText());
    Remove(node);
    return true;
}

void PendingRequestTable::Clear() {
    for (Node* node = arrivals_.oldest; node;) {
        Node* next = node->newerArrival;
        Node::Free(node);
        node = next;
    }
    arrivals_ = {};
    std::fill(buckets_.begin(), buckets_.end(), Chain{});
    bySecond_.clear();
    lastSecond_ = bySecond_.end();
    size_ = 0;
    bytes_ = 0;
}

}  // namespace tarnwick
