// SPDX-License-Identifier: GPL-3.0-or-later
// Packets from a pcap or pcapng capture, plain or compressed: a file, a FIFO or standard input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/source/InterruptibleStream.h"
#include "capture/source/PacketSource.h"
#include "capture/source/PcapReader.h"
#include "capture/source/PcapngReader.h"

namespace tarnwick {

// pcap files are read by PcapReader (libpcap takes the rarer variants); pcapng ones by PcapngReader, which gives each
// packet its interface's link type (libpcap refuses interfaces of different link types) and hands on the TLS secrets a
// file carries. gzip and zstd compression is undone whatever the file's name.
class CaptureFileSource final : public PacketSource {
public:
    // path "-" is standard input. A regular file's header is read here, so a file that is not a capture
    // fails at once; a stream's header is read by Start() on the reading thread, where it may wait.
    // Nothing (and *error set) when the capture cannot be read.
    static std::unique_ptr<CaptureFileSource> Open(const std::string& path, std::string* error);
    ~CaptureFileSource() override;

    bool Start() override;
    // A run of packets; a damaged or cut-off record (or compression) ends the read with Failed, and
    // Error() names the packet and the byte offset where the damage begins.
    ReadResult ReadBatch(PacketHandler& handler) override;
    void Interrupt() override { stream_->Interrupt(); }
    // A pcap file's one link type; nothing for pcapng, whose packets each name their own.
    std::optional<int> LinkType() const override;
    // True once the capture's header has been read, and with it the format: at Open() for a regular
    // file, at Start() for a stream.
    bool HeaderRead() const { return handle_ != nullptr || pcap_ != nullptr || pcapng_ != nullptr; }

    uint64_t PacketsRead() const { return pcap_ ? pcap_->PacketsRead() : pcapng_ ? pcapng_->PacketsRead() : packets_; }

private:
    CaptureFileSource() = default;
    bool OpenCapture();
    bool OpenPcap();
    bool OpenPcapng();
    ReadResult ReadRecords(PacketHandler& handler);
    ReadResult DamagedRecord();
    ReadResult ReadPcapBatch(PacketHandler& handler);
    ReadResult ReadPcapngBatch(PacketHandler& handler);
    uint64_t StreamPosition() const;
    // "capture file NAME is damaged or cut off at packet N (byte offset X): why"
    ReadResult Damaged(uint64_t packet, uint64_t offset, const std::string& why);

    std::string path_;
    std::unique_ptr<InterruptibleStream> stream_;  // outlives the handle, which closes its FILE
    pcap_t* handle_ = nullptr;
    std::unique_ptr<PcapReader> pcap_;
    std::unique_ptr<PcapngReader> pcapng_;
    int linkType_ = DLT_EN10MB;
    uint64_t packets_ = 0;
    uint64_t offset_ = 0;        // where the record after the last packet read begins
    bool countOffsets_ = false;  // pcap records: offsets are summed instead of asked from the stream
    uint32_t snapshotLength_ = 0;
};

}  // namespace tarnwick
