// SPDX-License-Identifier: GPL-3.0-or-later
// Writes the packets capture sessions read into one pcapng file, with the TLS secrets they used.
#pragma once

#include <pcap/pcap.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "capture/source/PcapngWriter.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

// The file can be read again without a key log: the secrets of every TLS connection that was decrypted
// go into it as Decryption Secrets Blocks, ahead of the packets that need them. Packets are held back a
// moment before they are written, so that a secret found a little after its connection's first
// encrypted packets (a browser writes its key log late) still lands in front of them. The file holds
// secrets: only its owner may read it, and nothing else of them is written anywhere.
class CaptureFileWriter {
public:
    // Packets are held at most this long, and at most this many bytes of them.
    static constexpr auto kHoldTime = std::chrono::seconds(2);
    static constexpr size_t kHoldBytes = 4u << 20;

    // Creates (or empties) the file with mode 0600. Nothing, with *error set, when that fails.
    static std::unique_ptr<CaptureFileWriter> Create(const std::string& path, std::string* error);
    ~CaptureFileWriter();
    CaptureFileWriter(const CaptureFileWriter&) = delete;
    CaptureFileWriter& operator=(const CaptureFileWriter&) = delete;

    // From any capture thread, after the packet was read: the secrets keyLog handed out since the last
    // packet are written first (keyLog may be null). adapter and linkType choose the packet's interface.
    void WritePacket(const std::string& adapter, int linkType, const pcap_pkthdr& header, const uint8_t* bytes,
                     TlsKeyLog* keyLog);
    // Writes out the packets held for kHoldTime; any thread, about once a second while packets are quiet.
    void Flush();
    // Writes out everything and closes the file. False when a write failed; Error() says why.
    bool Close();

    const std::string& Path() const { return path_; }
    // The first failure, as a sentence; empty while all went well.
    std::string Error() const;

private:
    CaptureFileWriter(std::string path, int file) : path_(std::move(path)), file_(file) {}
    void WriteHeld();
    void WriteOut(const uint8_t* bytes, size_t size);

    const std::string path_;
    mutable std::mutex mutex_;
    int file_ = -1;
    PcapngWriter held_;     // packet and interface blocks, not written yet
    PcapngWriter secrets_;  // one secrets block at a time, wiped once written
    std::string keyLogLines_;
    bool secretsWritten_ = false;
    std::chrono::steady_clock::time_point heldSince_{};
    std::map<std::pair<std::string, int>, uint32_t> interfaces_;
    std::string error_;
};

}  // namespace tarnwick
