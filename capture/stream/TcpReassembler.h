// SPDX-License-Identifier: GPL-3.0-or-later
// Follows every TCP connection of one capture thread and hands each direction's bytes, in order, to the
// reader its opener chose for the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

#include "capture/limits/CaptureLimits.h"
#include "capture/stream/FlowKey.h"
#include "capture/stream/FlowTable.h"
#include "capture/stream/OrderedByteStream.h"
#include "capture/stream/ReassemblyStatistics.h"
#include "capture/stream/StreamReader.h"
#include "capture/stream/StreamSegment.h"

namespace tarnwick {

// How a connection was first met.
struct ConnectionStart {
    FlowKey key;  // the client first, as far as the first segment tells: the sender of a SYN, else its sender
    bool openingSeen = false;  // the SYN (or the SYN-ACK) was seen: nothing of the connection's start is missing
    PacketDirection clientLinkDirection = PacketDirection::Unknown;  // how the link layer saw the client's packets
    int64_t timeMs = 0;
};

// Chooses the reader of a connection met for the first time; nothing when no reader wants it (it is
// then passed over, at the cost of a table lookup per segment, until it ends).
class ConnectionOpener {
public:
    virtual std::unique_ptr<StreamReader> Open(const ConnectionStart& start) = 0;

protected:
    ~ConnectionOpener() = default;
};

// One reassembler per capture thread: every connection goes through it once. Bytes ahead of a hole wait
// within a bound per connection and one for all; when a bound is reached the hole is given up (its
// reader is told how many bytes it lost) rather than the connection, and a hole the receiver has
// acknowledged past is given up at once. Connections are bounded in number (the one idle longest is
// ended first) and by idle time. Bodies that a reader passes over cost a comparison per segment and are
// never copied. Everything cut is counted.
class TcpReassembler {
public:
    struct Limits {
        size_t maxConnections = 16384;
        size_t maxHeldPerConnection = 2u << 20;
        size_t maxHeldInAll = 32u << 20;
        int64_t idleMs = 300'000;          // by capture time
        int64_t resumableIdleMs = 60'000;  // for connections whose reader is Resumable(); at most idleMs

        static Limits From(const CaptureLimits& limits);
    };

    TcpReassembler(ConnectionOpener& opener, Limits limits, LimitHits* hits = nullptr);
    // Ends every connection still followed with StreamEnd::Stopped.
    ~TcpReassembler();
    TcpReassembler(const TcpReassembler&) = delete;
    TcpReassembler& operator=(const TcpReassembler&) = delete;

    // Every TCP segment of the thread, in capture order.
    void Process(const StreamSegment& segment, int64_t timeMs);
    // Ends every followed connection.
    void EndAll(StreamEnd how);

    size_t Connections() const { return connections_.Size(); }
    size_t HeldBytes() const { return held_; }
    // The figures so far, those of connections still followed included.
    ReassemblyStatistics Statistics() const;

private:
    struct Connection;
    using Order = std::list<Connection>;  // least recently active first
    struct Connection {
        FlowKey key;
        std::unique_ptr<StreamReader> reader;  // null: passed over
        OrderedByteStream directions[2];
        int64_t lastSeenMs = 0;
        size_t held = 0;
        bool finished[2] = {false, false};  // FINs of a connection passed over
        bool holding = false;
        bool resumable = false;  // in resumable_ rather than order_
        std::list<Order::iterator>::iterator holderPosition;
        Order::iterator self;  // its place in order_ or resumable_
    };

    Order::iterator Create(const StreamSegment& segment, int64_t timeMs, StreamDirection& direction);
    void Handle(Order::iterator connection, StreamDirection direction, const StreamSegment& segment, int64_t timeMs);
    void UpdateHeld(Order::iterator connection);
    // Adds what a connection's streams counted to the figures, as it goes (or is passed over).
    void Absorb(const Connection& connection);
    static void AddStreams(const Connection& connection, ReassemblyStatistics& statistics);
    void EnforceBounds(Order::iterator current, int64_t timeMs);
    Order& OrderOf(const Connection& connection) { return connection.resumable ? resumable_ : order_; }
    // Moves a connection to the order it now belongs in, as its most recently active.
    void Reorder(Order::iterator connection, bool resumable);
    // The connection idle longest, of both orders; there must be one.
    Order::iterator Idlest();
    bool GiveUpHole(Order::iterator connection, int64_t timeMs);
    void PassOver(Order::iterator connection);
    void End(Order::iterator connection, StreamEnd how);
    void Forget(Order::iterator connection);
    // Looked at once per second of capture time: the connection idle longest is seldom in the cache.
    void ExpireIdle(int64_t nowMs) {
        if (nowMs - lastExpiryMs_ >= kExpiryIntervalMs || nowMs < lastExpiryMs_) ExpireIdleNow(nowMs);
    }
    void ExpireIdleNow(int64_t nowMs);
    // Finds the connection of a segment and the direction it travels; false when none is followed.
    bool Find(const StreamSegment& segment, Order::iterator& connection, StreamDirection& direction);

    static constexpr int64_t kExpiryIntervalMs = 1000;
    // Ended connections whose entries are kept for the next ones: idle connections end together, by
    // the thousand, and the heap sorts and merges every block given back to it.
    static constexpr size_t kSpareConnections = 1024;
    // The table is made for the bound on connections at once; no setting makes it larger than this.
    static constexpr size_t kMostConnections = 1u << 22;
    static Limits Sane(Limits limits);

    ConnectionOpener& opener_;
    Limits limits_;
    int64_t lastExpiryMs_ = INT64_MIN / 2;
    LimitHits* hits_;
    Order order_;
    Order resumable_;  // connections whose reader is Resumable(): let go after resumableIdleMs
    Order spare_;      // emptied entries of ended connections, for the next ones
    // The connection of the last segment: bulk transfers send many in a row, and comparing the ends
    // costs less than hashing them.
    Order::iterator last_;
    bool lastValid_ = false;
    FlowTable<Connection> connections_;
    std::list<Order::iterator> holders_;  // connections holding bytes, the earliest first
    size_t held_ = 0;
    ReassemblyStatistics statistics_;
};

}  // namespace tarnwick
