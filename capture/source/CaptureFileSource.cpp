// SPDX-License-Identifier: GPL-3.0-or-later
// Packets from a pcap or pcapng capture, plain or compressed: a file, a FIFO or standard input.
#include "capture/source/CaptureFileSource.h"

#include <cstring>

#include "capture/source/PcapngBlocks.h"

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
    return HeaderRead() || OpenCapture();
}

std::optional<int> CaptureFileSource::LinkType() const {
    if (pcapng_) return std::nullopt;
    return linkType_;
}

bool CaptureFileSource::OpenCapture() {
    // The format by the first bytes, after any decompression.
    uint8_t magic[PcapReader::kTakesBytes] = {};
    const size_t have = stream_->Peek(magic, sizeof magic);
    if (stream_->Interrupted()) return false;  // a stop, not a fault
    if (!stream_->Error().empty()) {
        error_ = "cannot read capture file " + path_ + ": " + stream_->Error();
        return false;
    }
    uint32_t type = 0;
    std::memcpy(&type, magic, sizeof type);
    if (have >= 4 && type == pcapng::kSectionHeader) return OpenPcapng();
    if (PcapReader::Takes({magic, have})) return OpenPcap();

    char errorText[PCAP_ERRBUF_SIZE] = {};
    FILE* file = stream_->File();
    handle_ = file ? pcap_fopen_offline(file, errorText) : nullptr;
    if (!handle_) {
        // An interrupted wait for the header is a stop, not a fault.
        if (!stream_->Interrupted())
            error_ = "cannot read capture file " + path_ + ": " +
                     (!stream_->Error().empty() ? stream_->Error() : std::string(errorText));
        return false;
    }
    stream_->ReleaseFile();
    linkType_ = pcap_datalink(handle_);
    // Classic pcap files, in either byte order and time resolution, have fixed-size record headers;
    // others are asked for their position after each packet.
    const int major = pcap_major_version(handle_);
    countOffsets_ = major == 2 && StreamPosition() == kPcapFileHeaderBytes;
    offset_ = StreamPosition();
    snapshotLength_ = static_cast<uint32_t>(pcap_snapshot(handle_));
    return true;
}

bool CaptureFileSource::OpenPcap() {
    pcap_ = std::make_unique<PcapReader>();
    while (!pcap_->HeaderTaken()) {
        size_t room = 0;
        uint8_t* into = pcap_->Room(room);
        const ssize_t count = stream_->Read(into, room);
        if (stream_->Interrupted()) return false;  // a stop, not a fault
        if (count < 0) {
            error_ = "cannot read capture file " + path_ + ": " + stream_->Error();
            return false;
        }
        if (count == 0) {
            error_ = "cannot read capture file " + path_ + ": its header is cut off";
            return false;
        }
        pcap_->Commit(static_cast<size_t>(count));
        if (pcap_->ParseHeader() == PcapReader::Result::Damaged) {
            error_ = "cannot read capture file " + path_ + ": " + pcap_->Failure().reason;
            return false;
        }
    }
    linkType_ = pcap_->LinkType();
    return true;
}

bool CaptureFileSource::OpenPcapng() {
    pcapng_ = std::make_unique<PcapngReader>();
    // The section header, so that a regular file whose header is damaged is refused at once; the
    // interfaces' descriptions come with the packets.
    while (!pcapng_->InSection()) {
        size_t room = 0;
        uint8_t* into = pcapng_->Room(room);
        const ssize_t count = stream_->Read(into, room);
        if (stream_->Interrupted()) return false;  // a stop, not a fault
        if (count < 0) {
            error_ = "cannot read capture file " + path_ + ": " + stream_->Error();
            return false;
        }
        if (count == 0) break;  // a header cut off is said by the first read
        pcapng_->Commit(static_cast<size_t>(count));
        if (pcapng_->ParseDescriptions() == PcapngReader::Result::Damaged) {
            error_ = "cannot read capture file " + path_ + ": " + pcapng_->Error();
            return false;
        }
    }
    return true;
}

uint64_t CaptureFileSource::StreamPosition() const {
    const off_t position = ftello(pcap_file(handle_));
    return position < 0 ? 0 : static_cast<uint64_t>(position);
}

ReadResult CaptureFileSource::Damaged(uint64_t packet, uint64_t offset, const std::string& why) {
    const bool compressed = stream_->Compression() != StreamDecompressor::Format::Plain;
    error_ = "capture file " + path_ + " is damaged or cut off at packet " + std::to_string(packet) + " (byte offset " +
             std::to_string(offset) + (compressed ? " of the decompressed capture" : "") + "): " + why;
    return ReadResult::Failed;
}

ReadResult CaptureFileSource::ReadBatch(PacketHandler& handler) {
    if (pcap_) return ReadRecords(handler);
    return pcapng_ ? ReadPcapngBatch(handler) : ReadPcapBatch(handler);
}

ReadResult CaptureFileSource::ReadRecords(PacketHandler& handler) {
    // What the reader holds from the header's read comes first.
    if (pcap_->Parse(handler) == PcapReader::Result::Damaged) return DamagedRecord();
    size_t room = 0;
    uint8_t* into = pcap_->Room(room);
    const ssize_t count = stream_->Read(into, room);
    if (stream_->Interrupted()) return ReadResult::End;
    if (count < 0) return Damaged(pcap_->PacketsRead() + 1, pcap_->Offset(), stream_->Error());
    if (count == 0) {
        if (pcap_->AtRecordBoundary()) return ReadResult::End;
        return Damaged(pcap_->PacketsRead() + 1, pcap_->Offset(), "the capture ends inside a record");
    }
    pcap_->Commit(static_cast<size_t>(count));
    if (pcap_->Parse(handler) == PcapReader::Result::Damaged) return DamagedRecord();
    return ReadResult::Packets;
}

ReadResult CaptureFileSource::DamagedRecord() {
    const auto& damage = pcap_->Failure();
    return Damaged(damage.packet, damage.offset, damage.reason);
}

ReadResult CaptureFileSource::ReadPcapBatch(PacketHandler& handler) {
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
            handler.HandlePacket(*header, bytes, linkType_);
            continue;
        }
        if (status == PCAP_ERROR_BREAK || stream_->Interrupted()) return ReadResult::End;
        // The decompression's own account of a failed read says more than the library's.
        return Damaged(packets_ + 1, offset_, !stream_->Error().empty() ? stream_->Error() : pcap_geterr(handle_));
    }
    return ReadResult::Packets;
}

ReadResult CaptureFileSource::ReadPcapngBatch(PacketHandler& handler) {
    // What the reader holds from the header's read comes first.
    if (pcapng_->Parse(handler) == PcapngReader::Result::Damaged) {
        const auto& damage = pcapng_->Failure();
        return Damaged(damage.packet, damage.offset, damage.reason);
    }
    size_t room = 0;
    uint8_t* into = pcapng_->Room(room);
    const ssize_t count = stream_->Read(into, room);
    if (stream_->Interrupted()) return ReadResult::End;
    if (count < 0) return Damaged(pcapng_->PacketsRead() + 1, pcapng_->Offset(), stream_->Error());
    if (count == 0) {
        if (pcapng_->AtBlockBoundary()) return ReadResult::End;
        return Damaged(pcapng_->PacketsRead() + 1, pcapng_->Offset(), "the capture ends inside a block");
    }
    pcapng_->Commit(static_cast<size_t>(count));
    if (pcapng_->Parse(handler) == PcapngReader::Result::Damaged) {
        const auto& damage = pcapng_->Failure();
        return Damaged(damage.packet, damage.offset, damage.reason);
    }
    return ReadResult::Packets;
}

}  // namespace tarnwick
