// SPDX-License-Identifier: GPL-3.0-or-later
// Every bound on what one capture thread keeps of the traffic it reads.
#include "capture/limits/CaptureLimits.h"

#include <cctype>
#include <charconv>

namespace tarnwick {

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;

// What the connection table and a connection's reader keep of each connection beyond held bytes: its
// entry (360 bytes), an HTTP/1 reader waiting for an answer (560) and two slots of the table (32).
constexpr size_t kConnectionUpkeep = 1024;

constexpr std::array<LimitDescription, kLimitCount> kTable{{
    {Limit::Connections, "Connections", "TCP connections followed at once", 16384, ""},
    {Limit::ConnectionHeldBytes, "ConnectionHeldBytes", "bytes one connection holds ahead of lost or late segments",
     2 * kMiB, "bytes"},
    {Limit::HeldBytes, "HeldBytes", "bytes all connections hold ahead of lost or late segments", 32 * kMiB, "bytes"},
    {Limit::IdleSeconds, "IdleSeconds", "seconds a silent connection is followed", 300, "seconds"},
    {Limit::PlainIdleSeconds, "PlainIdleSeconds", "seconds a silent HTTP/1 connection in the clear is followed", 60,
     "seconds"},
    {Limit::HeadBytes, "HeadBytes", "bytes of one HTTP message head or header list", 64 * kKiB, "bytes"},
    {Limit::MessageBytes, "MessageBytes", "bytes of HTTP requests awaiting answers and of heads being read", 16 * kMiB,
     "bytes"},
    {Limit::UnansweredRequests, "UnansweredRequests", "HTTP/1 requests of one connection awaiting answers", 64, ""},
    {Limit::TlsConnections, "TlsConnections", "TLS connections decrypted at once", 1024, ""},
    {Limit::TlsConnectionBytes, "TlsConnectionBytes", "bytes of records one TLS connection holds", 1 * kMiB, "bytes"},
    {Limit::TlsBytes, "TlsBytes", "bytes of records all TLS connections hold", 32 * kMiB, "bytes"},
    {Limit::KeyWaitSeconds, "KeyWaitSeconds", "seconds records wait for the key log", 10, "seconds"},
    {Limit::Http2Streams, "Http2Streams", "HTTP/2 streams followed at once on one connection", 256, ""},
    {Limit::Http2ConnectionBytes, "Http2ConnectionBytes", "bytes one HTTP/2 connection holds", 1 * kMiB, "bytes"},
    {Limit::Http2Bytes, "Http2Bytes", "bytes all HTTP/2 connections hold", 32 * kMiB, "bytes"},
    {Limit::PlaylistBytes, "PlaylistBytes", "bytes of one playlist or manifest", 2 * kMiB, "bytes"},
    {Limit::PlaylistsBytes, "PlaylistsBytes", "bytes of all playlists being read", 16 * kMiB, "bytes"},
    {Limit::Streams, "Streams", "HLS and DASH streams followed", 32, ""},
    {Limit::StreamNameBytes, "StreamNameBytes", "bytes of the addresses the streams' playlists name", 8 * kMiB,
     "bytes"},
    {Limit::TemplatesPerStream, "TemplatesPerStream", "DASH segment address patterns of one stream", 64, ""},
    {Limit::CountedSegments, "CountedSegments", "segments remembered as counted, all streams", 400000, ""},
    {Limit::KeyLogConnections, "KeyLogConnections", "connections whose secrets the key log keeps", 100000, ""},
    {Limit::QuicConnections, "QuicConnections", "QUIC connections followed at once", 256, ""},
    {Limit::QuicStreams, "QuicStreams", "HTTP/3 requests followed at once on one QUIC connection", 256, ""},
    {Limit::QuicConnectionBytes, "QuicConnectionBytes",
     "bytes one QUIC connection holds ahead of lost packets or awaiting keys", 4 * kMiB, "bytes"},
    {Limit::QuicBytes, "QuicBytes", "bytes all QUIC connections hold ahead of lost packets or awaiting keys", 32 * kMiB,
     "bytes"},
    {Limit::QpackTableBytes, "QpackTableBytes", "bytes of the QPACK table of each side of a QUIC connection", 64 * kKiB,
     "bytes"},
}};

bool SameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}

}  // namespace

const std::array<LimitDescription, kLimitCount>& LimitTable() {
    static_assert(kTable.back().limit == Limit::QpackTableBytes, "one entry per limit, in order");
    return kTable;
}

const LimitDescription& Describe(Limit limit) {
    return kTable[static_cast<size_t>(limit)];
}

CaptureLimits::CaptureLimits() {
    for (const auto& entry : kTable) values_[static_cast<size_t>(entry.limit)] = entry.defaultValue;
}

bool CaptureLimits::SetFromText(std::string_view key, std::string_view text, std::string* error) {
    const LimitDescription* found = nullptr;
    for (const auto& entry : kTable)
        if (SameNoCase(entry.key, Trim(key))) found = &entry;
    if (!found) {
        if (error) *error = "unknown limit " + std::string(Trim(key));
        return false;
    }
    text = Trim(text);
    int64_t value = 0;
    const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), value);
    std::string_view unit = Trim(text.substr(static_cast<size_t>(end - text.data())));
    int64_t factor = 1;
    if (unit.empty() || SameNoCase(unit, "b"))
        factor = 1;
    else if (SameNoCase(unit, "k") || SameNoCase(unit, "kib") || SameNoCase(unit, "kb"))
        factor = kKiB;
    else if (SameNoCase(unit, "m") || SameNoCase(unit, "mib") || SameNoCase(unit, "mb"))
        factor = kMiB;
    else if (SameNoCase(unit, "g") || SameNoCase(unit, "gib") || SameNoCase(unit, "gb"))
        factor = 1024 * kMiB;
    else
        factor = 0;
    if (problem != std::errc() || end == text.data() || value <= 0 || factor == 0 ||
        (factor != 1 && found->unit != "bytes") || value > INT64_MAX / factor) {
        if (error)
            *error = "limit " + std::string(found->key) + ": \"" + std::string(text) + "\" is no positive number";
        return false;
    }
    Set(found->limit, value * factor);
    return true;
}

size_t CaptureLimits::TotalBytes() const {
    size_t total = Bytes(Limit::Connections) * kConnectionUpkeep;
    for (const Limit inAll : {Limit::HeldBytes, Limit::MessageBytes, Limit::TlsBytes, Limit::Http2Bytes,
                              Limit::PlaylistsBytes, Limit::StreamNameBytes, Limit::QuicBytes})
        total += Bytes(inAll);
    total += Bytes(Limit::QuicConnections) * 2 * Bytes(Limit::QpackTableBytes);
    // Each counted segment costs about a hash table node.
    total += Bytes(Limit::CountedSegments) * 40;
    return total;
}

bool LimitHits::Any() const {
    for (uint64_t count : counts_)
        if (count) return true;
    return false;
}

void LimitHits::Add(const LimitHits& other) {
    for (size_t i = 0; i < kLimitCount; ++i) counts_[i] += other.counts_[i];
}

}  // namespace tarnwick
