// Follows chosen TCP connections and hands each direction's bytes in order to the connection's reader.
#include "capture/stream/TcpReassembler.h"

#include <utility>

namespace tarnwick {

namespace {

struct Delivery {
    StreamReader* reader;
    StreamDirection direction;
    int64_t time;
    uint64_t* counter;
};

bool DeliverTo(void* context, std::span<const uint8_t> bytes) {
    auto* delivery = static_cast<Delivery*>(context);
    *delivery->counter += bytes.size();
    delivery->reader->OnData(delivery->direction, bytes, delivery->time);
    return !delivery->reader->Done();
}

// Where a sender's data begins: a SYN takes up one sequence number before it.
uint32_t DataSequence(const StreamSegment& segment) {
    return segment.sequence + (segment.Has(StreamSegment::kSyn) ? 1u : 0u);
}

}  // namespace

TcpReassembler::TcpReassembler(Limits limits) : limits_(limits) {}

TcpReassembler::~TcpReassembler() { EndAll(StreamEnd::Stopped); }

void TcpReassembler::EndAll(StreamEnd how) {
    while (!order_.empty()) End(order_.begin(), how);
}

void TcpReassembler::Follow(const StreamSegment& first, std::unique_ptr<StreamReader> reader, int64_t timeSeconds) {
    const FlowKey key{first.source, first.destination};
    if (auto existing = connections_.find(key); existing != connections_.end()) {
        // The ends were reused for a new conversation: the old one is over.
        ++statistics_.closed;
        End(existing->second, StreamEnd::Closed);
    }
    ExpireIdle(timeSeconds);
    while (connections_.size() >= limits_.maxConnections && !order_.empty()) {
        ++statistics_.evictions;
        End(order_.begin(), StreamEnd::Evicted);
    }
    order_.push_back(Connection{key, std::move(reader), {}, timeSeconds});
    auto connection = std::prev(order_.end());
    connections_.emplace(key, connection);
    ++statistics_.connections;
    connection->directions[0].Start(DataSequence(first));
    if (first.Has(StreamSegment::kAck)) connection->directions[1].Start(first.acknowledgement);
    Handle(connection, StreamDirection::ClientToServer, first, timeSeconds);
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
    direction = StreamDirection::ClientToServer;
    auto found = connections_.find(FlowKey{segment.source, segment.destination});
    if (found == connections_.end()) {
        found = connections_.find(FlowKey{segment.destination, segment.source});
        if (found == connections_.end()) return false;
        direction = StreamDirection::ServerToClient;
    }
    connection = last_ = found->second;
    lastValid_ = true;
    return true;
}

bool TcpReassembler::Process(const StreamSegment& segment, int64_t timeSeconds) {
    if (connections_.empty()) return false;
    Order::iterator connection;
    StreamDirection direction;
    if (!Find(segment, connection, direction)) {
        ExpireIdle(timeSeconds);
        return false;
    }
    order_.splice(order_.end(), order_, connection);
    connection->lastSeen = timeSeconds;
    Handle(connection, direction, segment, timeSeconds);
    ExpireIdle(timeSeconds);
    return true;
}

void TcpReassembler::Handle(Order::iterator connection, StreamDirection direction, const StreamSegment& segment,
                            int64_t timeSeconds) {
    ++statistics_.segments;
    OrderedByteStream& stream = connection->directions[IndexOf(direction)];
    if (!stream.Started()) stream.Start(DataSequence(segment));
    if (segment.Has(StreamSegment::kRst)) {
        const bool missing = connection->directions[0].HasHole() || connection->directions[1].HasHole();
        if (missing) ++statistics_.gaps;
        else ++statistics_.closed;
        End(connection, missing ? StreamEnd::Gap : StreamEnd::Closed);
        return;
    }

    const size_t before = BufferedOf(*connection);
    const size_t room = limits_.maxBufferedPerConnection > before ? limits_.maxBufferedPerConnection - before : 0;
    Delivery delivery{connection->reader.get(), direction, timeSeconds, &statistics_.bytesDelivered};
    const uint32_t dataSequence = DataSequence(segment);
    const auto outcome =
        stream.Accept(dataSequence, {segment.payload, segment.payloadLength}, limits_.maxBufferedPerConnection, room,
                      DeliverTo, &delivery);
    buffered_ = buffered_ - before + BufferedOf(*connection);

    switch (outcome) {
    case OrderedByteStream::Outcome::Delivered:
        break;
    case OrderedByteStream::Outcome::Waiting:
        ++statistics_.outOfOrderSegments;
        break;
    case OrderedByteStream::Outcome::Duplicate:
        ++statistics_.duplicateSegments;
        break;
    case OrderedByteStream::Outcome::TooFar:
        ++statistics_.gaps;
        End(connection, StreamEnd::Gap);
        return;
    case OrderedByteStream::Outcome::Full:
        ++statistics_.cuts;
        End(connection, StreamEnd::Cut);
        return;
    }
    if (connection->reader->Done()) {
        Forget(connection);
        return;
    }
    if (segment.Has(StreamSegment::kFin)) stream.MarkEnd(dataSequence + static_cast<uint32_t>(segment.payloadLength));
    if (connection->directions[0].Finished() && connection->directions[1].Finished()) {
        ++statistics_.closed;
        End(connection, StreamEnd::Closed);
        return;
    }
    EnforceTotalBound(connection);
}

void TcpReassembler::EnforceTotalBound(Order::iterator keep) {
    while (buffered_ > limits_.maxBufferedInAll && !order_.empty()) {
        auto oldest = order_.begin();
        if (oldest == keep) {
            if (order_.size() == 1) break;
            oldest = std::next(oldest);
        }
        ++statistics_.evictions;
        End(oldest, StreamEnd::Evicted);
    }
}

void TcpReassembler::ExpireIdle(int64_t now) {
    while (!order_.empty() && now - order_.front().lastSeen > limits_.idleSeconds) {
        ++statistics_.idleTimeouts;
        End(order_.begin(), StreamEnd::Idle);
    }
}

void TcpReassembler::End(Order::iterator connection, StreamEnd how) {
    // Taken out first, so a reader that looks at the reassembler from its callback sees a consistent table.
    std::unique_ptr<StreamReader> reader = std::move(connection->reader);
    Forget(connection);
    if (reader && !reader->Done()) reader->OnEnd(how);
}

void TcpReassembler::Forget(Order::iterator connection) {
    if (lastValid_ && last_ == connection) lastValid_ = false;
    buffered_ -= BufferedOf(*connection);
    connections_.erase(connection->key);
    order_.erase(connection);
}

}  // namespace tarnwick
