// SPDX-License-Identifier: GPL-3.0-or-later
// Every bound on what one capture thread keeps of the traffic it reads: one table, with each limit's
// meaning, its default and its key in the [Limits] section of Tarnwick.ini.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Everything a connection or a message can make the program hold is bounded by one of these, per
// capture thread (one thread reads one adapter or one file), except the key log's, which its readers
// share. When a bound is reached, the oldest or least active holder goes first, or the one that asks
// is refused; either way it is counted, and the end-of-run figures name each limit that was reached.
enum class Limit : uint8_t {
    Connections,           // TCP connections followed at once
    ConnectionHeldBytes,   // bytes one connection holds ahead of holes, both directions
    HeldBytes,             // the same for all connections
    IdleSeconds,           // a connection silent this long (capture time) is let go
    PlainIdleSeconds,      // the same for HTTP/1 in the clear, whose reading picks up again at its next message
    HeadBytes,             // an HTTP/1 message head, or an HTTP/2 header list, longer than this is not read
    MessageBytes,          // HTTP requests waiting for answers and heads being read, all connections
    UnansweredRequests,    // HTTP/1 requests of one connection waiting for their answers
    TlsConnections,        // TLS connections decrypted at once
    TlsConnectionBytes,    // records one TLS connection holds (waiting for keys, or split across segments)
    TlsBytes,              // the same for all TLS connections
    KeyWaitSeconds,        // how long records wait for the key log to name their secrets
    Http2Streams,          // HTTP/2 streams followed at once on one connection
    Http2ConnectionBytes,  // what one HTTP/2 connection holds: its streams' fields, its decoders' tables
    Http2Bytes,            // the same for all HTTP/2 connections
    PlaylistBytes,         // a playlist or manifest longer than this is not read
    PlaylistsBytes,        // playlists being read at once, all together
    Streams,               // HLS and DASH streams followed
    StreamNameBytes,       // the addresses that the streams' playlists name, all streams, with their upkeep
    TemplatesPerStream,    // DASH SegmentTemplate patterns one stream follows
    CountedSegments,       // segments remembered as counted (to count each once), all streams
    KeyLogConnections,     // connections whose secrets the key log keeps (shared by all threads)
    QuicConnections,       // QUIC connections followed at once
    QuicStreams,           // HTTP/3 requests followed at once on one QUIC connection
    QuicConnectionBytes,   // what one QUIC connection holds: stream data ahead of holes, packets awaiting keys
    QuicBytes,             // the same for all QUIC connections
    QpackTableBytes,       // the QPACK dynamic table of each side of a QUIC connection
    Count
};

inline constexpr size_t kLimitCount = static_cast<size_t>(Limit::Count);

struct LimitDescription {
    Limit limit;
    std::string_view key;      // in [Limits]
    std::string_view meaning;  // for the README, the figures and messages
    int64_t defaultValue;
    std::string_view unit;  // "bytes", "seconds" or "" for a count
};

// The table: one entry per Limit, in its order.
const std::array<LimitDescription, kLimitCount>& LimitTable();
const LimitDescription& Describe(Limit limit);

class CaptureLimits {
public:
    CaptureLimits();  // every default

    int64_t Get(Limit limit) const { return values_[static_cast<size_t>(limit)]; }
    size_t Bytes(Limit limit) const { return static_cast<size_t>(Get(limit)); }
    void Set(Limit limit, int64_t value) { values_[static_cast<size_t>(limit)] = value; }

    // Sets the limit named key (case-insensitive) from text such as "64", "64 MiB", "2M", "300";
    // false with *error set when the key is unknown or the value does not read as a positive number.
    bool SetFromText(std::string_view key, std::string_view text, std::string* error);

    // What one capture thread may hold at most with these limits, roughly, in bytes: the sum of the
    // bounds in all, and the connection table's own upkeep.
    size_t TotalBytes() const;

private:
    std::array<int64_t, kLimitCount> values_{};
};

// How often each limit was reached; filled by the stages of one capture thread (the key log's by its
// readers, through its own counter).
class LimitHits {
public:
    void Hit(Limit limit) { ++counts_[static_cast<size_t>(limit)]; }
    uint64_t Count(Limit limit) const { return counts_[static_cast<size_t>(limit)]; }
    bool Any() const;
    void Add(const LimitHits& other);

private:
    std::array<uint64_t, kLimitCount> counts_{};
};

// A count of bytes that holders take from and give back; a take beyond the bound is refused and
// counted as the limit reached.
class ByteBudget {
public:
    ByteBudget(size_t bound, Limit limit, LimitHits* hits) : bound_(bound), limit_(limit), hits_(hits) {}
    ByteBudget(const ByteBudget&) = delete;
    ByteBudget& operator=(const ByteBudget&) = delete;

    bool Take(size_t bytes) {
        if (bytes > bound_ - used_) {
            if (hits_) hits_->Hit(limit_);
            return false;
        }
        used_ += bytes;
        return true;
    }
    void Give(size_t bytes) { used_ -= bytes < used_ ? bytes : used_; }
    size_t Used() const { return used_; }
    size_t Bound() const { return bound_; }
    bool Over() const { return used_ > bound_; }

private:
    size_t bound_;
    size_t used_ = 0;
    Limit limit_;
    LimitHits* hits_;
};

}  // namespace tarnwick
