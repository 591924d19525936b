// SPDX-License-Identifier: GPL-3.0-or-later
// The stages one capture thread runs its packets through, from a decoded frame to the detections.
#include "capture/session/CapturePipeline.h"

#include <utility>

#include "capture/stream/SegmentOfFrame.h"

namespace tarnwick {

CapturePipeline::CapturePipeline(Options options, VideoReporter::Deliver deliver)
    : options_(std::move(options)),
      messages_(options_.limits.Bytes(Limit::MessageBytes), Limit::MessageBytes, &totals_.limitsReached),
      http2_(options_.limits.Bytes(Limit::Http2Bytes), Limit::Http2Bytes, &totals_.limitsReached),
      tls_(options_.limits.Bytes(Limit::TlsBytes), Limit::TlsBytes, &totals_.limitsReached),
      playlists_(options_.limits.Bytes(Limit::PlaylistsBytes), Limit::PlaylistsBytes, &totals_.limitsReached),
      quicBytes_(options_.limits.Bytes(Limit::QuicBytes), Limit::QuicBytes, &totals_.limitsReached),
      reporter_(std::move(deliver), options_.sourceName),
      streams_(StreamTracker::Limits::From(options_.limits), &totals_.limitsReached),
      finder_(
          VideoFinder::Context{reporter_, streams_, messages_, playlists_, options_.limits.Bytes(Limit::PlaylistBytes),
                               options_.live, options_.loopbackAdapter},
          options_.ownAddresses, options_.inferOwnAddresses),
      router_(ConnectionRouter::Context{finder_, options_.limits, totals_, options_.keyLog, messages_, http2_, tls_}),
      reassembler_(router_, TcpReassembler::Limits::From(options_.limits), &totals_.limitsReached),
      quic_(QuicTracker::Context{finder_, options_.limits, totals_.quic, quicBytes_, &totals_.limitsReached,
                                 options_.keyLog,
                                 [this](const std::string& serverName) { totals_.CountUnreadHttps(serverName); }}) {}

CapturePipeline::~CapturePipeline() {
    End(StreamEnd::Stopped);
}

void CapturePipeline::Segment(const PacketView& frame, int64_t timeMs) {
    // The loopback adapter's frames were all sent and received here.
    if (options_.loopbackAdapter && segment_.direction == PacketDirection::Unknown)
        segment_.direction = PacketDirection::Loopback;
    StreamSegment segment;
    SegmentOfFrame(segment_, {frame.Pointer(segment_.payloadStart), segment_.payloadLength}, segment);
    reassembler_.Process(segment, timeMs);
}

void CapturePipeline::Datagram(const PacketView& frame, int64_t timeMs) {
    if (options_.loopbackAdapter && segment_.direction == PacketDirection::Unknown)
        segment_.direction = PacketDirection::Loopback;
    const auto length = static_cast<uint8_t>(segment_.AddressLength());
    const auto source = FlowEndpoint::FromBytes(segment_.sourceAddressBytes, length, segment_.sourcePort);
    const auto destination =
        FlowEndpoint::FromBytes(segment_.destinationAddressBytes, length, segment_.destinationPort);
    quic_.Datagram(source, destination, segment_.direction,
                   {frame.Pointer(segment_.payloadStart), segment_.payloadLength}, timeMs);
}

void CapturePipeline::End(StreamEnd how) {
    if (ended_) return;
    ended_ = true;
    reassembler_.EndAll(how);
    router_.EndAll();
    quic_.EndAll();
    finder_.Flush();
    totals_.reassembly = reassembler_.Statistics();
    totals_.streams = streams_.Counts();
    totals_.detections = finder_.Counts();
    totals_.ownAddressKnown = finder_.OwnAddressKnown();
}

}  // namespace tarnwick
