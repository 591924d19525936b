// SPDX-License-Identifier: GPL-3.0-or-later
// Follows every TCP connection of one capture thread and hands each direction's bytes, in order, to the
// reader its opener chose for the connection.
#include "capture/stream/TcpReassembler.h"

#include <algorithm>
#include <utility>

namespace tarnwick {

namespace {

// Hands one direction's bytes to the connection's reader and asks what it passes over.
class Delivery final : public ByteConsumer {
public:
    Delivery(StreamReader* reader, StreamDirection direction, int64_t timeMs)
        : reader_(reader), direction_(direction), timeMs_(timeMs) {}

    uint64_t Take(std::span<const uint8_t> bytes) override {
        reader_->OnData(direction_, bytes, timeMs_);
        return reader_->Done() ? 0 : reader_->TakeSkip(direction_);
    }
    uint64_t Lost(uint64_t count) override {
        reader_->OnGap(direction_, count);
        return reader_->Done() ? 0 : reader_->TakeSkip(direction_);
    }
    bool Done() const override { return reader_->Done(); }

private:
    StreamReader* reader_;
    StreamDirection direction_;
    int64_t timeMs_;
};

// Where a sender's data begins: a SYN takes up one sequence number before it.
uint32_t DataSequence(const StreamSegment& segment) {
    return segment.sequence + (segment.Has(StreamSegment::kSyn) ? 1u : 0u);
}

PacketDirection Reversed(PacketDirection direction) {
    if (direction == PacketDirection::Incoming) return PacketDirection::Outgoing;
    if (direction == PacketDirection::Outgoing) return PacketDirection::Incoming;
    return direction;
}

}  // namespace

TcpReassembler::Limits TcpReassembler::Limits::From(const CaptureLimits& limits) {
    Limits result;
    result.maxConnections = limits.Bytes(Limit::Connections);
    result.maxHeldPerConnection = limits.Bytes(Limit::ConnectionHeldBytes);
    result.maxHeldInAll = limits.Bytes(Limit::HeldBytes);
    result.idleMs = limits.Get(Limit::IdleSeconds) * 1000;
    result.resumableIdleMs = limits.Get(Limit::PlainIdleSeconds) * 1000;
    return result;
}

TcpReassembler::TcpReassembler(ConnectionOpener& opener, Limits limits, LimitHits* hits)
    : opener_(opener), limits_(Sane(limits)), hits_(hits), connections_(limits_.maxConnections) {}

TcpReassembler::Limits TcpReassembler::Sane(Limits limits) {
    limits.maxConnections = std::clamp<size_t>(limits.maxConnections, 1, kMostConnections);
    limits.resumableIdleMs = std::min(limits.resumableIdleMs, limits.idleMs);
    return limits;
}

TcpReassembler::~TcpReassembler() {
    EndAll(StreamEnd::Stopped);
}

void TcpReassembler::EndAll(StreamEnd how) {
    while (!order_.empty() || !resumable_.empty()) End(Idlest(), how);
}

TcpReassembler::Order::iterator TcpReassembler::Idlest() {
    if (order_.empty()) return resumable_.begin();
    if (resumable_.empty()) return order_.begin();
    return resumable_.front().lastSeenMs < order_.front().lastSeenMs ? resumable_.begin() : order_.begin();
}

void TcpReassembler::Reorder(Order::iterator connection, bool resumable) {
    Order& from = OrderOf(*connection);
    connection->resumable = resumable;
    Order& to = OrderOf(*connection);
    to.splice(to.end(), from, connection);
}

bool TcpReassembler::Find(const StreamSegment& segment, Order::iterator& connection, StreamDirection& direction) {
    if (lastValid_) {
        const FlowKey& key = last_->key;
        if (key.client == segment.source && key.server == segment.destination) {
            connection = last_;
            direction = StreamDirection::ClientToServer;
            return true;
        }
        if (key.client == segment.destination && key.server == segment.source) {
            connection = last_;
            direction = StreamDirection::ServerToClient;
            return true;
        }
    }
    if (connections_.Size() == 0) return false;
    Connection* found = connections_.Find(segment.source, segment.destination);
    if (!found) return false;
    direction = found->key.client == segment.source ? StreamDirection::ClientToServer : StreamDirection::ServerToClient;
    connection = last_ = found->self;
    lastValid_ = true;
    return true;
}

void TcpReassembler::Process(const StreamSegment& segment, int64_t timeMs) {
    Order::iterator connection;
    StreamDirection direction;
    if (Find(segment, connection, direction)) {
        // A transfer's segments come in a row: most of them find their connection most recent already.
        Order& order = OrderOf(*connection);
        if (std::next(connection) != order.end()) order.splice(order.end(), order, connection);
        connection->lastSeenMs = timeMs;
    } else {
        // Acknowledgements and resets of connections that are not followed start nothing.
        if (segment.Has(StreamSegment::kRst) || (!segment.Has(StreamSegment::kSyn) && segment.wireLength == 0)) {
            ExpireIdle(timeMs);
            return;
        }
        connection = Create(segment, timeMs, direction);
    }
    Handle(connection, direction, segment, timeMs);
    ExpireIdle(timeMs);
}

TcpReassembler::Order::iterator TcpReassembler::Create(const StreamSegment& segment, int64_t timeMs,
                                                       StreamDirection& direction) {
    ExpireIdle(timeMs);
    while (connections_.Size() >= limits_.maxConnections && (!order_.empty() || !resumable_.empty())) {
        ++statistics_.evictions;
        if (hits_) hits_->Hit(Limit::Connections);
        End(Idlest(), StreamEnd::Evicted);
    }
    const bool syn = segment.Has(StreamSegment::kSyn);
    const bool synAck = syn && segment.Has(StreamSegment::kAck);
    ConnectionStart start;
    start.openingSeen = syn;
    start.timeMs = timeMs;
    if (synAck) {
        // The server answers: its peer is the client.
        start.key = FlowKey{segment.destination, segment.source};
        start.clientLinkDirection = Reversed(segment.linkDirection);
        direction = StreamDirection::ServerToClient;
    } else {
        start.key = FlowKey{segment.source, segment.destination};
        start.clientLinkDirection = segment.linkDirection;
        direction = StreamDirection::ClientToServer;
    }
    if (spare_.empty())
        order_.emplace_back();
    else
        order_.splice(order_.end(), spare_, spare_.begin());
    auto connection = std::prev(order_.end());
    connection->key = start.key;
    connection->lastSeenMs = timeMs;
    connection->self = connection;
    connections_.Insert(&*connection);
    last_ = connection;
    lastValid_ = true;
    ++statistics_.connections;
    // The other side's bytes start where this segment acknowledges them.
    if (segment.Has(StreamSegment::kAck))
        connection->directions[IndexOf(Opposite(direction))].Start(segment.acknowledgement);
    connection->reader = opener_.Open(start);
    if (!connection->reader || connection->reader->Done()) {
        connection->reader.reset();
        ++statistics_.passedOver;
    }
    return connection;
}

void TcpReassembler::Handle(Order::iterator connection, StreamDirection direction, const StreamSegment& segment,
                            int64_t timeMs) {
    ++statistics_.segments;
    const int side = IndexOf(direction);
    if (!connection->reader) {
        // Passed over: only its end is looked for.
        if (segment.Has(StreamSegment::kFin)) connection->finished[side] = true;
        if (segment.Has(StreamSegment::kRst) || (connection->finished[0] && connection->finished[1]))
            Forget(connection);
        return;
    }
    OrderedByteStream& stream = connection->directions[side];
    OrderedByteStream& other = connection->directions[1 - side];
    if (segment.Has(StreamSegment::kRst)) {
        const bool missing = stream.HasHole() || other.HasHole();
        if (missing)
            ++statistics_.gaps;
        else
            ++statistics_.closed;
        End(connection, missing ? StreamEnd::Gap : StreamEnd::Closed);
        return;
    }
    if (!stream.Started()) stream.Start(DataSequence(segment));
    StreamReader* reader = connection->reader.get();
    if (segment.Has(StreamSegment::kAck) && other.AcknowledgesMore(segment.acknowledgement)) {
        Delivery toOther(reader, Opposite(direction), timeMs);
        other.Acknowledged(segment.acknowledgement, toOther);
    }
    Delivery delivery(reader, direction, timeMs);
    if (segment.wireLength > 0) {
        const auto outcome = stream.Accept(DataSequence(segment), {segment.payload, segment.payloadLength},
                                           segment.wireLength, delivery);
        // Most segments of a transfer lie in a body nobody reads: nothing changed but the count.
        if ((outcome == OrderedByteStream::Outcome::Skipped || outcome == OrderedByteStream::Outcome::Duplicate) &&
            !segment.Has(StreamSegment::kFin)) {
            if (outcome == OrderedByteStream::Outcome::Duplicate) ++statistics_.duplicateSegments;
            return;
        }
        if (outcome == OrderedByteStream::Outcome::Waiting)
            ++statistics_.outOfOrderSegments;
        else if (outcome == OrderedByteStream::Outcome::Duplicate)
            ++statistics_.duplicateSegments;
    }
    if (segment.Has(StreamSegment::kFin) && !reader->Done())
        stream.MarkEnd(DataSequence(segment) + static_cast<uint32_t>(segment.wireLength), delivery);
    UpdateHeld(connection);
    if (reader->Done()) {
        PassOver(connection);
        return;
    }
    if (stream.Finished() && other.Finished()) {
        ++statistics_.closed;
        End(connection, StreamEnd::Closed);
        return;
    }
    // What the reader now is may have changed with what it was given (its protocol became known).
    if (const bool resumable = reader->Resumable(); resumable != connection->resumable) Reorder(connection, resumable);
    EnforceBounds(connection, timeMs);
}

void TcpReassembler::Absorb(const Connection& connection) {
    AddStreams(connection, statistics_);
}

void TcpReassembler::AddStreams(const Connection& connection, ReassemblyStatistics& statistics) {
    for (const OrderedByteStream& stream : connection.directions) {
        statistics.bytesDelivered += stream.BytesDelivered();
        statistics.bytesSkipped += stream.BytesSkipped();
        statistics.gaps += stream.Gaps();
        statistics.gapBytes += stream.BytesLost();
    }
}

ReassemblyStatistics TcpReassembler::Statistics() const {
    ReassemblyStatistics statistics = statistics_;
    for (const Connection& connection : order_) AddStreams(connection, statistics);
    for (const Connection& connection : resumable_) AddStreams(connection, statistics);
    return statistics;
}

void TcpReassembler::UpdateHeld(Order::iterator connection) {
    const size_t now = connection->directions[0].HeldBytes() + connection->directions[1].HeldBytes();
    held_ = held_ - connection->held + now;
    connection->held = now;
    if (now > 0 && !connection->holding) {
        connection->holderPosition = holders_.insert(holders_.end(), connection);
        connection->holding = true;
    } else if (now == 0 && connection->holding) {
        holders_.erase(connection->holderPosition);
        connection->holding = false;
    }
}

bool TcpReassembler::GiveUpHole(Order::iterator connection, int64_t timeMs) {
    StreamReader* reader = connection->reader.get();
    if (!reader) return false;
    // The direction that holds more gives up its first hole.
    const int side = connection->directions[0].HeldBytes() >= connection->directions[1].HeldBytes() ? 0 : 1;
    const auto direction = static_cast<StreamDirection>(side);
    OrderedByteStream& stream = connection->directions[side];
    Delivery delivery(reader, direction, timeMs);
    const bool gaveUp = stream.GiveUpHole(delivery);
    if (gaveUp) ++statistics_.cuts;
    UpdateHeld(connection);
    if (reader->Done()) PassOver(connection);
    return gaveUp;
}

void TcpReassembler::EnforceBounds(Order::iterator current, int64_t timeMs) {
    while (current->held > limits_.maxHeldPerConnection) {
        if (hits_) hits_->Hit(Limit::ConnectionHeldBytes);
        if (!GiveUpHole(current, timeMs)) break;
    }
    while (held_ > limits_.maxHeldInAll && !holders_.empty()) {
        if (hits_) hits_->Hit(Limit::HeldBytes);
        const Order::iterator victim = holders_.front();
        if (!GiveUpHole(victim, timeMs)) {
            // Nothing it holds can be handed on: its bytes go with its reader.
            PassOver(victim);
        }
    }
}

void TcpReassembler::PassOver(Order::iterator connection) {
    // Whatever it held goes; the entry stays, so that its segments are not taken for a new connection.
    std::unique_ptr<StreamReader> reader = std::move(connection->reader);
    Absorb(*connection);
    connection->directions[0] = OrderedByteStream();
    connection->directions[1] = OrderedByteStream();
    UpdateHeld(connection);
    if (connection->resumable) Reorder(connection, false);  // passed over: nothing to read again
}

void TcpReassembler::ExpireIdleNow(int64_t nowMs) {
    lastExpiryMs_ = nowMs;
    // Capture times are clamped to a sane range where they are read, so the difference cannot overflow.
    while (!order_.empty() && nowMs - order_.front().lastSeenMs > limits_.idleMs) {
        ++statistics_.idleTimeouts;
        if (hits_) hits_->Hit(Limit::IdleSeconds);
        End(order_.begin(), StreamEnd::Idle);
    }
    while (!resumable_.empty() && nowMs - resumable_.front().lastSeenMs > limits_.resumableIdleMs) {
        ++statistics_.idleTimeouts;
        if (hits_) hits_->Hit(Limit::PlainIdleSeconds);
        End(resumable_.begin(), StreamEnd::Idle);
    }
}

void TcpReassembler::End(Order::iterator connection, StreamEnd how) {
    // Taken out first, so a reader that looks at the reassembler from its callback sees a consistent table.
    std::unique_ptr<StreamReader> reader = std::move(connection->reader);
    Forget(connection);
    if (reader && !reader->Done()) reader->OnEnd(how);
}

void TcpReassembler::Forget(Order::iterator connection) {
    Absorb(*connection);
    if (lastValid_ && last_ == connection) lastValid_ = false;
    held_ -= connection->held;
    if (connection->holding) holders_.erase(connection->holderPosition);
    connections_.Erase(&*connection);
    Order& order = OrderOf(*connection);
    if (spare_.size() < kSpareConnections) {
        *connection = Connection{};
        spare_.splice(spare_.end(), order, connection);
    } else {
        order.erase(connection);
    }
}

}  // namespace tarnwick
