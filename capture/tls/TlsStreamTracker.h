// Finds the TCP connections that carry TLS and follows them: reassembly, decryption, then the reader
// of the protocol the handshake chose.
#pragma once

#include <cstdint>

#include "capture/stream/StreamSegment.h"
#include "capture/stream/TcpReassembler.h"
#include "capture/tls/TlsConnection.h"
#include "capture/tls/TlsKeyLog.h"
#include "capture/tls/TlsStatistics.h"

namespace tarnwick {

// A connection is recognised by its ClientHello, on any port; everything else passes by at the cost
// of a look at the first payload byte (and a table lookup while TLS connections are followed).
class TlsStreamTracker {
public:
    // Fewer connections than the reassembler's own default: each also holds record buffers.
    static TcpReassembler::Limits DefaultLimits() {
        TcpReassembler::Limits limits;
        limits.maxConnections = 1024;
        limits.maxBufferedInAll = 32u << 20;
        return limits;
    }

    TlsStreamTracker(TlsKeyLog& keyLog, TlsApplicationReaderFactory readerFactory,
                     TcpReassembler::Limits limits = DefaultLimits());
    TlsStreamTracker(const TlsStreamTracker&) = delete;
    TlsStreamTracker& operator=(const TlsStreamTracker&) = delete;

    // True when the segment belongs to a followed TLS connection, or begins one with a ClientHello;
    // such a segment is no plain HTTP. False (nothing done) for every other segment.
    bool Process(const StreamSegment& segment, int64_t timeSeconds) {
        if (reassembler_.Process(segment, timeSeconds)) return true;
        if (!TlsConnection::StartsClientHello({segment.payload, segment.payloadLength})) return false;
        Follow(segment, timeSeconds);
        return true;
    }
    void EndAll(StreamEnd how) { reassembler_.EndAll(how); }
    // While nothing is followed, only a payload that StartsClientHello can concern the tracker.
    bool Following() const { return !reassembler_.Empty(); }

    const ReassemblyStatistics& Reassembly() const { return reassembler_.Statistics(); }
    const TlsStatistics& Tls() const { return tls_; }

private:
    void Follow(const StreamSegment& segment, int64_t timeSeconds);

    TlsKeyLog& keyLog_;
    TlsApplicationReaderFactory readerFactory_;
    TlsStatistics tls_;
    TlsWaitingBudget waiting_;
    TcpReassembler reassembler_;  // last: its readers count into tls_ until it is gone
};

}  // namespace tarnwick
