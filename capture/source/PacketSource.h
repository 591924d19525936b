// SPDX-License-Identifier: GPL-3.0-or-later
// Where a capture session's packets come from: a live adapter, a capture file or a stream of one.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "capture/source/CaptureStatistics.h"

namespace tarnwick {

// Receives the packets of a read, on the reading thread, in capture order.
class PacketHandler {
public:
    // linkType (a DLT_ value) is the packet's own: the captures of several adapters in one pcapng file
    // differ from packet to packet.
    virtual void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int linkType) = 0;
    // TLS key log lines (NSS format) that a capture carries for the packets after them, in their place
    // among the packets. A secret: the bytes are valid only during the call and must not be kept.
    virtual void HandleSecrets(std::span<const uint8_t> keyLogLines) { (void)keyLogLines; }

protected:
    ~PacketHandler() = default;
};

enum class ReadResult {
    Packets,  // the ready packets were handed over (possibly none); more may come
    End,      // the input ended (end of file or stream, or Interrupt())
    Failed,   // a read failed or the input is damaged: Error() says why and where
};

// One source per capture session; only the session's thread reads, any thread may interrupt.
class PacketSource {
public:
    virtual ~PacketSource() = default;

    // Work that may wait for input (a stream's header); runs on the reading thread before any read.
    // False with Error() set when the source cannot deliver packets.
    virtual bool Start() { return true; }
    // Hands over what is ready: a block of a live ring, a run of a file's packets. Waits at most
    // about the read time-out for a first packet.
    virtual ReadResult ReadBatch(PacketHandler& handler) = 0;
    // From any thread: a waiting or later read returns End at once.
    virtual void Interrupt() = 0;
    // The link type (a DLT_ value) that every packet has, where the source has one: a live adapter's, a
    // pcap file's; known once Start() succeeded. Nothing where each packet's own is known only as it
    // comes (pcapng, whose interfaces may differ and be described at any point).
    virtual std::optional<int> LinkType() const = 0;
    // The kernel's figures so far; false when the source has none (files, streams). Reading thread only.
    virtual bool ReadStatistics(CaptureStatistics&) { return false; }

    const std::string& Error() const { return error_; }

protected:
    std::string error_;
};

}  // namespace tarnwick
