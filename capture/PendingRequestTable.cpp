// GET requests that no response has claimed yet, per TCP connection, with expiry and a memory bound.
#include "capture/PendingRequestTable.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarnwick {

namespace {

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

uint64_t Mix(uint64_t value) {
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

}  // namespace

PendingRequestTable::PendingRequestTable(size_t maxEntries, size_t maxBytes)
    : maxEntries_(std::max<size_t>(maxEntries, 1)), maxBytes_(maxBytes) {}

PendingRequestTable::~PendingRequestTable() { Clear(); }

size_t PendingRequestTable::KeyHash::operator()(const ConnectionKey& key) const {
    uint32_t client = 0, server = 0;
    std::memcpy(&client, key.clientAddress.data(), 4);
    std::memcpy(&server, key.serverAddress.data(), 4);
    const uint64_t addresses = (static_cast<uint64_t>(client) << 32) | server;
    const uint64_t ports = (static_cast<uint64_t>(key.clientPort) << 16) | key.serverPort;
    return static_cast<size_t>(Mix(addresses ^ Mix(ports)));
}

void PendingRequestTable::Remove(Node* node) {
    Links<Node, Chain, &Node::olderArrival, &Node::newerArrival>::Unlink(arrivals_, node);
    Links<Node, Chain, &Node::olderSameKey, &Node::newerSameKey>::Unlink(*node->keyChain, node);
    if (!node->keyChain->oldest) byKey_.erase(node->request.key);
    Links<Node, Chain, &Node::olderSameTime, &Node::newerSameTime>::Unlink(*node->secondChain, node);
    if (!node->secondChain->oldest) {
        if (lastSecond_ != bySecond_.end() && &lastSecond_->second == node->secondChain) lastSecond_ = bySecond_.end();
        bySecond_.erase(node->request.timeAdded);
    }
    bytes_ -= node->cost;
    --size_;
    delete node;
}

void PendingRequestTable::Add(PendingRequest entry, int64_t nowSeconds) {
    // Every entry with nowSeconds - timeAdded > kMaxAgeSeconds, whole seconds at a time.
    while (!bySecond_.empty() && bySecond_.begin()->first < nowSeconds - kMaxAgeSeconds)
        Remove(bySecond_.begin()->second.oldest);

    auto* node = new Node{std::move(entry)};
    node->request.timeAdded = nowSeconds;
    node->cost = kEntryOverheadBytes + node->request.host.capacity() + node->request.path.capacity() +
                 node->request.requestText.capacity();
    while (arrivals_.oldest && (size_ >= maxEntries_ || bytes_ + node->cost > maxBytes_)) Remove(arrivals_.oldest);

    if (lastSecond_ == bySecond_.end() || lastSecond_->first != nowSeconds)
        lastSecond_ = bySecond_.try_emplace(nowSeconds).first;
    node->keyChain = &byKey_[node->request.key];
    node->secondChain = &lastSecond_->second;
    Links<Node, Chain, &Node::olderArrival, &Node::newerArrival>::Append(arrivals_, node);
    Links<Node, Chain, &Node::olderSameKey, &Node::newerSameKey>::Append(*node->keyChain, node);
    Links<Node, Chain, &Node::olderSameTime, &Node::newerSameTime>::Append(*node->secondChain, node);
    bytes_ += node->cost;
    ++size_;
}

PendingRequest PendingRequestTable::Take(const ConnectionKey& key) {
    auto keyChain = byKey_.find(key);
    if (keyChain == byKey_.end()) return {};
    Node* oldest = keyChain->second.oldest;
    PendingRequest result = std::move(oldest->request);
    oldest->request.key = result.key;  // still needed to unlink it
    oldest->request.timeAdded = result.timeAdded;
    Remove(oldest);
    return result;
}

void PendingRequestTable::Clear() {
    for (Node* node = arrivals_.oldest; node;) {
        Node* next = node->newerArrival;
        delete node;
        node = next;
    }
    arrivals_ = {};
    byKey_.clear();
    bySecond_.clear();
    lastSecond_ = bySecond_.end();
    size_ = 0;
    bytes_ = 0;
}

}  // namespace tarnwick
