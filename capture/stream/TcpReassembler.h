// Follows chosen TCP connections and hands each direction's bytes in order to the connection's reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <unordered_map>

#include "capture/stream/FlowKey.h"
#include "capture/stream/OrderedByteStream.h"
#include "capture/stream/ReassemblyStatistics.h"
#include "capture/stream/StreamReader.h"
#include "capture/stream/StreamSegment.h"

namespace tarnwick {

// Only connections that a caller asks to follow are reassembled; everything else passes by at the cost
// of a check for an empty table. Memory is bounded per connection and in all; when a bound is reached
// the connection (or the one idle longest) is ended with a reason its reader is told, and counted.
// A hole is never skipped: bytes after it are only ever delivered once it is filled, so a reader never
// sees the two sides of a gap joined.
class TcpReassembler {
public:
    struct Limits {
        size_t maxConnections = 4096;
        size_t maxBufferedPerConnection = 2u << 20;  // bytes waiting ahead of holes, both directions
        size_t maxBufferedInAll = 64u << 20;
        int64_t idleSeconds = 300;  // by capture time
    };

    explicit TcpReassembler(Limits limits);
    TcpReassembler() : TcpReassembler(Limits{}) {}
    // Ends every connection still followed with StreamEnd::Stopped.
    ~TcpReassembler();
    TcpReassembler(const TcpReassembler&) = delete;
    TcpReassembler& operator=(const TcpReassembler&) = delete;

    bool Empty() const { return connections_.empty(); }
    size_t Connections() const { return connections_.size(); }
    size_t BufferedBytes() const { return buffered_; }
    const ReassemblyStatistics& Statistics() const { return statistics_; }

    // Follows the connection of first from this segment on, first included: its sender is the client.
    // The server's bytes start at first's acknowledgement number when it carries one, else at the
    // server's first segment. A connection already followed under the same ends is replaced.
    void Follow(const StreamSegment& first, std::unique_ptr<StreamReader> reader, int64_t timeSeconds);
    // Hands a segment to its followed connection; false (nothing done) when no followed connection has it.
    bool Process(const StreamSegment& segment, int64_t timeSeconds);
    // Ends every followed connection.
    void EndAll(StreamEnd how);

private:
    struct Connection {
        FlowKey key;
        std::unique_ptr<StreamReader> reader;
        OrderedByteStream directions[2];
        int64_t lastSeen = 0;
    };
    using Order = std::list<Connection>;  // least recently active first

    void Handle(Order::iterator connection, StreamDirection direction, const StreamSegment& segment,
                int64_t timeSeconds);
    void End(Order::iterator connection, StreamEnd how);
    void Forget(Order::iterator connection);
    void ExpireIdle(int64_t now);
    void EnforceTotalBound(Order::iterator keep);
    size_t BufferedOf(const Connection& connection) const {
        return connection.directions[0].BufferedBytes() + connection.directions[1].BufferedBytes();
    }

    // Finds the connection of a segment and the direction it travels; false when none is followed.
    bool Find(const StreamSegment& segment, Order::iterator& connection, StreamDirection& direction);

    Limits limits_;
    Order order_;
    // The connection of the last segment: bulk transfers send many in a row, and comparing the ends
    // costs less than hashing them.
    Order::iterator last_;
    bool lastValid_ = false;
    std::unordered_map<FlowKey, Order::iterator, FlowKeyHash> connections_;
    size_t buffered_ = 0;
    ReassemblyStatistics statistics_;
};

}  // namespace tarnwick
