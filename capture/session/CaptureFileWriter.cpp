// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the packets capture sessions read into one pcapng file, with the TLS secrets they used.
#include "capture/session/CaptureFileWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "capture/source/PcapngBlocks.h"

namespace tarnwick {

namespace {

// No limit: a replay's packets keep whatever length they had.
constexpr uint32_t kSnapLength = 0;

// The file's LINKTYPE_ value for a DLT_ value: the few that differ on Linux are written as other
// programs (and the pcapng reader) expect them.
uint16_t LinkTypeOfDlt(int dlt) {
    switch (dlt) {
        case DLT_RAW:
            return 101;
        case DLT_ATM_RFC1483:
            return 100;
        case DLT_SLIP_BSDOS:
            return 102;
        case DLT_PPP_BSDOS:
            return 103;
        case DLT_ATM_CLIP:
            return 106;
        default:
            return static_cast<uint16_t>(dlt);
    }
}

}  // namespace

std::unique_ptr<CaptureFileWriter> CaptureFileWriter::Create(const std::string& path, std::string* error) {
    // Not through a link: someone else's link could send the secrets anywhere.
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0 || fchmod(file, 0600) != 0) {
        const int why = errno;
        if (file >= 0) close(file);
        if (error)
            *error = "cannot write the capture file " + path + ": " +
                     (why == ELOOP ? std::string("it is a symbolic link") : std::string(std::strerror(why)));
        return nullptr;
    }
    std::unique_ptr<CaptureFileWriter> writer(new CaptureFileWriter(path, file));
    PcapngWriter header;
    header.AddSectionHeader("Tarnwick");
    writer->WriteOut(header.Data(), header.Size());
    if (!writer->error_.empty()) {
        if (error) *error = writer->error_;
        return nullptr;
    }
    return writer;
}

CaptureFileWriter::~CaptureFileWriter() {
    Close();
}

void CaptureFileWriter::WriteOut(const uint8_t* bytes, size_t size) {
    while (size > 0 && error_.empty()) {
        const ssize_t written = write(file_, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error_ = "cannot write the capture file " + path_ + ": " + std::strerror(written < 0 ? errno : EIO);
            return;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
}

void CaptureFileWriter::WriteHeld() {
    WriteOut(held_.Data(), held_.Size());
    held_.Clear();
}

void CaptureFileWriter::WritePacket(const std::string& adapter, int linkType, const pcap_pkthdr& header,
                                    const uint8_t* bytes, TlsKeyLog* keyLog) {
    std::lock_guard lock(mutex_);
    if (file_ < 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (held_.Size() == 0) heldSince_ = now;
    if (keyLog) {
        keyLog->TakeUsedLines(keyLogLines_);
        // An empty block first: a reader that reads TLS only from the first block on (Tarnwick does)
        // then reads the connections whose handshakes come before their secrets.
        if (!keyLogLines_.empty() || !secretsWritten_) {
            secretsWritten_ = true;
            // Ahead of the held packets: they may be the first that need these secrets.
            secrets_.AddSecrets(pcapng::kTlsKeyLogSecrets,
                                std::span(reinterpret_cast<const uint8_t*>(keyLogLines_.data()), keyLogLines_.size()));
            explicit_bzero(keyLogLines_.data(), keyLogLines_.size());
            keyLogLines_.clear();
            WriteOut(secrets_.Data(), secrets_.Size());
            secrets_.WipeAndClear();
        }
    }
    auto [interface, added] = interfaces_.try_emplace({adapter, linkType}, static_cast<uint32_t>(interfaces_.size()));
    if (added) held_.AddInterface(LinkTypeOfDlt(linkType), kSnapLength, adapter);
    held_.AddPacket(interface->second, header, bytes);
    if (held_.Size() >= kHoldBytes || now - heldSince_ >= kHoldTime) WriteHeld();
}

void CaptureFileWriter::Flush() {
    std::lock_guard lock(mutex_);
    if (file_ >= 0 && held_.Size() > 0 && std::chrono::steady_clock::now() - heldSince_ >= kHoldTime) WriteHeld();
}

bool CaptureFileWriter::Close() {
    std::lock_guard lock(mutex_);
    if (file_ >= 0) {
        WriteHeld();
        if (close(file_) != 0 && error_.empty())
            error_ = "cannot write the capture file " + path_ + ": " + std::strerror(errno);
        file_ = -1;
    }
    return error_.empty();
}

std::string CaptureFileWriter::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

}  // namespace tarnwick
