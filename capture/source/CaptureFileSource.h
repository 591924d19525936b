// Packets from a pcap or pcapng capture: a file, a FIFO or standard input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/source/InterruptibleStream.h"
#include "capture/source/PacketSource.h"

namespace tarnwick {

class CaptureFileSource final : public PacketSource {
public:
    // path "-" is standard input. A regular file's header is read here, so a file that is not a capture
    // fails at once; a stream's header is read by Start() on the reading thread, where it may wait.
    // Nothing (and *error set) when the capture cannot be read.
    static std::unique_ptr<CaptureFileSource> Open(const std::string& path, std::string* error);
    ~CaptureFileSource() override;

    bool Start() override;
    // A run of packets; a damaged or cut-off record ends the read with Failed, and Error() names the
    // packet and the byte offset where the damage begins.
    ReadResult ReadBatch(PacketHandler& handler) override;
    void Interrupt() override { stream_->Interrupt(); }
    int LinkType() const override { return handle_ ? pcap_datalink(handle_) : DLT_NULL; }
    // True once the capture's header has been read, and with it the link type: at Open() for a regular
    // file, at Start() for a stream.
    bool HeaderRead() const { return handle_ != nullptr; }

    uint64_t PacketsRead() const { return packets_; }

private:
    CaptureFileSource() = default;
    bool OpenCapture();
    uint64_t StreamPosition() const;

    std::string path_;
    std::unique_ptr<InterruptibleStream> stream_;  // outlives the handle, which closes its FILE
    pcap_t* handle_ = nullptr;
    uint64_t packets_ = 0;
    uint64_t offset_ = 0;        // where the record after the last packet read begins
    bool countOffsets_ = false;  // pcap records: offsets are summed instead of asked from the stream
    uint32_t snapshotLength_ = 0;
};

}  // namespace tarnwick
