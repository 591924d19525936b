// SPDX-License-Identifier: GPL-3.0-or-later
// Packets from a network adapter, taken from the kernel in blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "capture/source/PacketSource.h"

namespace tarnwick {

class LiveAdapterSource final : public PacketSource {
public:
    // Large enough for the bursts of a fast download while the reading thread waits for the CPU.
    static constexpr int kDefaultBufferMiB = 32;
    // How long the kernel may hold a part-filled block: bounds how late a video shows up.
    static constexpr int kBlockTimeoutMs = 50;
    // The kernel holds back a block only while it has packets, so an idle adapter would keep a read
    // waiting for ever; it returns after this long instead, and its statistics can be answered.
    static constexpr int kIdleReturnMs = 200;

    // Opens name for live capture of TCP (untagged or behind VLAN tags), not promiscuous, whole frames,
    // with a kernel buffer of bufferMiB; "any" with the second Linux cooked header where offered.
    // Nothing (and *error set to a sentence the user can act on) when that fails; *permissionDenied
    // (when given) then says whether the process lacked the right to capture, which the caller's
    // advice completes.
    static std::unique_ptr<LiveAdapterSource> Open(const std::string& name, int bufferMiB, std::string* error,
                                                   bool* permissionDenied = nullptr);
    ~LiveAdapterSource() override;

    // Everything the kernel has handed over in its filled (or timed-out) blocks.
    ReadResult ReadBatch(PacketHandler& handler) override;
    // Wakes a read that waits for the kernel at once.
    void Interrupt() override;
    std::optional<int> LinkType() const override { return linkType_; }
    uint32_t SnapshotLength() const { return static_cast<uint32_t>(pcap_snapshot(handle_)); }
    // The packet socket, for a reader that takes the kernel's ring over itself.
    int Descriptor() const { return pcap_get_selectable_fd(handle_); }
    bool ReadStatistics(CaptureStatistics& out) override;

private:
    explicit LiveAdapterSource(std::string name) : name_(std::move(name)) {}

    std::string name_;
    pcap_t* handle_ = nullptr;
    int wakeUp_ = -1;  // an eventfd that Interrupt() signals
    int linkType_ = DLT_EN10MB;
    // The library's counters are 32 bits wide; their differences are summed here so they never wrap.
    CaptureStatistics totals_;
    struct pcap_stat last_ {};
};

}  // namespace tarnwick
