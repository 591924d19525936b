// SPDX-License-Identifier: GPL-3.0-or-later
// Finds the QUIC connection of each captured UDP datagram by its connection IDs, and starts following a
// connection at its client's first Initial packet.
#include "capture/quic/QuicTracker.h"

#include <algorithm>

namespace tarnwick {

namespace {

constexpr auto kClient = StreamDirection::ClientToServer;
constexpr auto kServer = StreamDirection::ServerToClient;
// A client pads the datagrams of its first Initial packets to at least this size.
constexpr size_t kMinClientInitialDatagram = 1200;
constexpr size_t kMaxRefusedRemembered = 1024;
// A connection closed by either side lingers this long for the packets still in flight.
constexpr int64_t kClosedLingerMs = 2000;

}  // namespace

QuicTracker::QuicTracker(Context context) : context_(std::move(context)) {}

QuicTracker::~QuicTracker() {
    EndAll();
}

void QuicTracker::Datagram(const FlowEndpoint& source, const FlowEndpoint& destination, PacketDirection linkDirection,
                           std::span<const uint8_t> payload, int64_t timeMs) {
    if (payload.empty()) return;
    scratch_.assign(payload.begin(), payload.end());
    std::span<uint8_t> rest(scratch_);
    Followed* followed = nullptr;
    StreamDirection direction = kClient;
    size_t idLength = 0;
    while (!rest.empty()) {
        QuicPacketHeader header;
        if (QuicPacketHeader::IsLong(rest)) {
            if (!QuicPacketHeader::ParseLong(rest, header)) break;
            if (!followed) {
                struct Route route {};
                if (const auto found = ids_.find(IdOf(header.destinationId)); found != ids_.end()) {
                    route = found->second;
                } else {
                    // A client's Initial toward an ID no connection knows starts a new connection, also
                    // between the ends of an older one; anything else may belong to the connection of
                    // its ends (the server's first packets toward a client that gave no ID).
                    const bool routed = FindRoute(rest, source, destination, route, idLength);
                    if (header.type == QuicPacketType::Initial && payload.size() >= kMinClientInitialDatagram &&
                        (!routed || route.direction == kClient))
                        route = {Start(source, destination, linkDirection, header, timeMs), kClient};
                }
                if (!route.followed) return;
                followed = route.followed;
                direction = route.direction;
                ++context_.statistics.datagrams;
            }
            idLength = header.destinationId.size();
            if (!header.sourceId.empty()) Register(*followed, header.sourceId, Opposite(direction));
        } else {
            if (!followed) {
                struct Route route {};
                if (!FindRoute(rest, source, destination, route, idLength)) return;
                followed = route.followed;
                direction = route.direction;
                ++context_.statistics.datagrams;
            }
            if (!QuicPacketHeader::ParseShort(rest, idLength, header)) return;
        }
        const size_t length = header.packetLength;
        followed->connection->OnPacket(direction, header, rest.first(length), timeMs);
        TakeIds(*followed);
        if (!context_.keyLog && !followed->counted && followed->connection->HelloRead()) {
            followed->counted = true;
            if (context_.unread) context_.unread(followed->connection->ServerName());
        }
        rest = rest.subspan(length);
    }
    Tick(timeMs);
}

bool QuicTracker::FindRoute(std::span<const uint8_t> datagram, const FlowEndpoint& source,
                            const FlowEndpoint& destination, struct Route& out, size_t& idLength) {
    // Short headers: the lengths in use, longest first.
    if (!QuicPacketHeader::IsLong(datagram)) {
        for (auto length = idLengths_.rbegin(); length != idLengths_.rend(); ++length) {
            if (datagram.size() < 1 + length->first) continue;
            const auto found = ids_.find(IdOf(datagram.subspan(1, length->first)));
            if (found != ids_.end()) {
                out = found->second;
                idLength = length->first;
                return true;
            }
        }
    }
    // An empty connection ID: the address pair tells.
    if (const auto found = byAddresses_.find(FlowKey{source, destination}); found != byAddresses_.end()) {
        out = {found->second, kClient};
        idLength = 0;
        return true;
    }
    if (const auto found = byAddresses_.find(FlowKey{destination, source}); found != byAddresses_.end()) {
        out = {found->second, kServer};
        idLength = 0;
        return true;
    }
    return false;
}

QuicTracker::Followed* QuicTracker::Start(const FlowEndpoint& source, const FlowEndpoint& destination,
                                          PacketDirection linkDirection, const QuicPacketHeader& header,
                                          int64_t timeMs) {
    if (connections_.size() >= context_.limits.Bytes(Limit::QuicConnections)) {
        // Counted once per connection, by the ID of its client's first packets.
        std::vector<uint8_t> id(header.destinationId.begin(), header.destinationId.end());
        if (refused_.size() >= kMaxRefusedRemembered) refused_.clear();
        if (refused_.insert(std::move(id)).second) {
            ++context_.statistics.notFollowed;
            if (context_.hits) context_.hits->Hit(Limit::QuicConnections);
        }
        return nullptr;
    }
    auto followed = std::make_unique<Followed>();
    followed->key = FlowKey{source, destination};
    QuicConnection::Start start;
    start.facts.key = followed->key;
    start.facts.clientLinkDirection = linkDirection;
    start.version = header.version;
    start.originalDestinationId = header.destinationId;
    QuicConnectionLimits limits;
    limits.maxHeldBytes = context_.limits.Bytes(Limit::QuicConnectionBytes);
    limits.keyWaitMs = context_.limits.Get(Limit::KeyWaitSeconds) * 1000;
    limits.maxStreams = context_.limits.Bytes(Limit::QuicStreams);
    limits.maxHeaderList = context_.limits.Bytes(Limit::HeadBytes);
    limits.maxTableBytes = context_.limits.Bytes(Limit::QpackTableBytes);
    limits.budget = &context_.budget;
    limits.hits = context_.hits;
    followed->connection =
        std::make_unique<QuicConnection>(start, context_.keyLog, context_.sink, context_.statistics, limits);
    Followed* raw = followed.get();
    connections_.push_back(std::move(followed));
    Register(*raw, header.destinationId, kClient);
    // A newer connection between the same ends takes them over (the older one keeps its IDs).
    byAddresses_.insert_or_assign(raw->key, raw);
    (void)timeMs;
    return raw;
}

void QuicTracker::Register(Followed& followed, std::span<const uint8_t> id, StreamDirection direction) {
    if (id.empty() || followed.ids.size() >= kMaxIdsPerConnection) return;
    std::string bytes(IdOf(id));
    if (!ids_.try_emplace(bytes, QuicTracker::Route{&followed, direction}).second) return;
    ++idLengths_[bytes.size()];
    followed.ids.push_back(std::move(bytes));
}

void QuicTracker::TakeIds(Followed& followed) {
    for (auto& [id, direction] : followed.connection->TakeNewIds()) Register(followed, id, direction);
}

void QuicTracker::Forget(Followed* followed) {
    for (const auto& id : followed->ids) {
        if (const auto found = ids_.find(id); found != ids_.end()) ids_.erase(found);
        if (const auto length = idLengths_.find(id.size()); length != idLengths_.end() && --length->second == 0)
            idLengths_.erase(length);
    }
    if (const auto found = byAddresses_.find(followed->key); found != byAddresses_.end() && found->second == followed)
        byAddresses_.erase(found);
    followed->connection->End();
    connections_.erase(std::find_if(connections_.begin(), connections_.end(),
                                    [followed](const auto& held) { return held.get() == followed; }));
}

void QuicTracker::Tick(int64_t nowMs) {
    if (nowMs - lastTickMs_ < kTickMs) return;
    lastTickMs_ = nowMs;
    const int64_t idleMs = context_.limits.Get(Limit::IdleSeconds) * 1000;
    std::vector<Followed*> ended;
    for (const auto& followed : connections_) {
        QuicConnection& connection = *followed->connection;
        if (connection.Waiting()) connection.Retry(nowMs);
        const int64_t quiet = nowMs - connection.LastSeenMs();
        if (quiet > idleMs || (connection.Closed() && quiet > kClosedLingerMs)) ended.push_back(followed.get());
    }
    for (Followed* followed : ended) Forget(followed);
}

void QuicTracker::EndAll() {
    while (!connections_.empty()) Forget(connections_.back().get());
}

}  // namespace tarnwick
