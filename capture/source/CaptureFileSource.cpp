// Packets from a pcap or pcapng capture: a file, a FIFO or standard input.
#include "capture/source/CaptureFileSource.h"

#include <cstring>

namespace tarnwick {

namespace {

constexpr int kBatchPackets = 4096;
constexpr uint64_t kPcapFileHeaderBytes = 24;
constexpr uint64_t kPcapRecordHeaderBytes = 16;

}  // namespace

std::unique_ptr<CaptureFileSource> CaptureFileSource::Open(const std::string& path, std::string* error) {
    std::unique_ptr<CaptureFileSource> source(new CaptureFileSource());
    source->path_ = path == "-" ? "standard input" : path;
    std::string why;
    source->stream_ = InterruptibleStream::Open(path, &why);
    if (!source->stream_) {
        if (error) *error = "cannot read capture file " + path + ": " + why;
        return nullptr;
    }
    if (source->stream_->IsRegularFile() && !source->OpenCapture()) {
        if (error) *error = source->error_;
        return nullptr;
    }
    return source;
}

CaptureFileSource::~CaptureFileSource() {
    if (handle_) pcap_close(handle_);  // closes the stream's FILE, before stream_ goes
}

bool CaptureFileSource::Start() {
    return handle_ || OpenCapture();
}

bool CaptureFileSource::OpenCapture() {
    char errorText[PCAP_ERRBUF_SIZE] = {};
    handle_ = pcap_fopen_offline(stream_->File(), errorText);
    if (!handle_) {
        // An interrupted wait for the header is a stop, not a fault.
        if (!stream_->Interrupted()) error_ = "cannot read capture file " + path_ + ": " + errorText;
        return false;
    }
    stream_->ReleaseFile();
    // Classic pcap files, in either byte order and time resolution, have fixed-size record headers;
    // others (pcapng) are asked for their position after each packet.
    const int major = pcap_major_version(handle_);
    countOffsets_ = major == 2 && StreamPosition() == kPcapFileHeaderBytes;
    offset_ = StreamPosition();
    snapshotLength_ = static_cast<uint32_t>(pcap_snapshot(handle_));
    return true;
}

uint64_t CaptureFileSource::StreamPosition() const {
    const off_t position = ftello(pcap_file(handle_));
    return position < 0 ? 0 : static_cast<uint64_t>(position);
}

ReadResult CaptureFileSource::ReadBatch(PacketHandler& handler) {
    for (int i = 0; i < kBatchPackets; ++i) {
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        const int status = pcap_next_ex(handle_, &header, &bytes);
        if (status == 1) {
            ++packets_;
            // A record longer than the snapshot length was cut by the library: ask where it ended.
            if (countOffsets_ && header->caplen < snapshotLength_)
                offset_ += kPcapRecordHeaderBytes + header->caplen;
            else
                offset_ = StreamPosition();
            handler.HandlePacket(*header, bytes);
            continue;
        }
        if (status == PCAP_ERROR_BREAK || stream_->Interrupted()) return ReadResult::End;
        error_ = "capture file " + path_ + " is damaged or cut off at packet " + std::to_string(packets_ + 1) +
                 " (byte offset " + std::to_string(offset_) + "): " + pcap_geterr(handle_);
        return ReadResult::Failed;
    }
    return ReadResult::Packets;
}

}  // namespace tarnwick
