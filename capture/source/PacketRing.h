// SPDX-License-Identifier: GPL-3.0-or-later
// A live capture read straight from the kernel's ring (TPACKET_V3), block by block, for a reader that
// hands the blocks on rather than looking into each packet. The adapter is opened by the library first,
// so that its choices (socket kind, link type, the kernel filter as it translated it) hold unchanged;
// this ring then takes over with a socket of its own whose blocks it holds as long as it needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/source/CaptureStatistics.h"

namespace tarnwick {

class PacketRing {
public:
    static constexpr size_t kBlockBytes = 256u * 1024;

    // Whether name is a network adapter of this machine, or "any" (else *error says so): asked before
    // anything is opened, since the library also opens other things by name (netfilter queues, USB,
    // Bluetooth and D-Bus monitors).
    static bool IsNetworkAdapter(const std::string& name, std::string* error);
    // Opens name like LiveAdapterSource::Open (the same filter, errors and permission answer); only
    // network adapters.
    static std::unique_ptr<PacketRing> Open(const std::string& name, int bufferMiB, std::string* error,
                                            bool* permissionDenied = nullptr);
    ~PacketRing();
    PacketRing(const PacketRing&) = delete;
    PacketRing& operator=(const PacketRing&) = delete;

    int LinkType() const { return linkType_; }
    uint32_t SnapshotLength() const { return snapshotLength_; }
    // Index of the loopback adapter, whose outgoing packets come in again and are read once.
    int LoopbackIndex() const { return loopbackIndex_; }
    size_t BlockBytes() const { return kBlockBytes; }
    size_t BlockCount() const { return blockCount_; }
    // The ring's first block; block i lies i * BlockBytes() after it.
    const uint8_t* Memory() const { return ring_; }

    // The next block the kernel has filled (or closed on its time-out), else null. It stays this
    // process's until GiveBack(), which may come after later blocks were taken.
    uint8_t* ReadyBlock();
    // Moves on past the block from ReadyBlock().
    void Take() { current_ = (current_ + 1) % blockCount_; }
    // The kernel fills the block again (after the rest of the ring).
    static void GiveBack(uint8_t* block);
    // True while the block the kernel fills next holds packets it has not handed over yet; it closes
    // that block when full or on its time-out.
    bool Filling() const;
    // Lets no further packet into the ring; what it holds stays. False when the kernel refused.
    bool Seal();

    enum class Wait { Ready, Idle, Interrupted, Failed };
    // Waits at most timeoutMs for a filled block or Interrupt(); also returns when the kernel filled a
    // block while earlier ones are still held.
    Wait WaitForBlock(int timeoutMs);
    void Interrupt();
    // Sleeps timeoutMs unless interrupted; true when interrupted.
    bool Pause(int timeoutMs);
    const std::string& Error() const { return error_; }

    // Summed since the ring was opened (the kernel resets its counters on every question).
    bool ReadStatistics(CaptureStatistics& out);

private:
    explicit PacketRing(std::string name) : name_(std::move(name)) {}
    bool Create(int type, uint16_t protocol, int ifindex, const void* filter, size_t filterLength, int bufferMiB,
                std::string* error);

    std::string name_;
    int socket_ = -1;
    int wakeUp_ = -1;
    int epoll_ = -1;
    uint8_t* ring_ = nullptr;
    size_t blockCount_ = 0;
    size_t current_ = 0;
    int linkType_ = 0;
    uint32_t snapshotLength_ = 0;
    int loopbackIndex_ = -1;
    CaptureStatistics totals_;
    uint64_t adapterDrops_ = 0;  // the adapter's own count when last read
    std::string error_;
};

}  // namespace tarnwick
