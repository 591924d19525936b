// Finds the TCP connections that carry TLS and follows them: reassembly, decryption, then the reader
// of the protocol the handshake chose.
#include "capture/tls/TlsStreamTracker.h"

#include <memory>
#include <utility>

namespace tarnwick {

TlsStreamTracker::TlsStreamTracker(TlsKeyLog& keyLog, TlsApplicationReaderFactory readerFactory,
                                   TcpReassembler::Limits limits)
    : keyLog_(keyLog), readerFactory_(std::move(readerFactory)), reassembler_(limits) {}

void TlsStreamTracker::Follow(const StreamSegment& segment, int64_t timeSeconds) {
    const FlowKey key{segment.source, segment.destination};
    reassembler_.Follow(segment, std::make_unique<TlsConnection>(key, keyLog_, readerFactory_, tls_, &waiting_), timeSeconds);
}

}  // namespace tarnwick
