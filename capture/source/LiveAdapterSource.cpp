// SPDX-License-Identifier: GPL-3.0-or-later
// Packets from a network adapter, taken from the kernel in blocks.
#include "capture/source/LiveAdapterSource.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "capture/source/CaptureAdapters.h"
#include "capture/source/TcpFilter.h"

namespace tarnwick {

namespace {

constexpr int kSnapshotLength = 65535;

std::string ActivateErrorText(const std::string& name, int status, pcap_t* handle) {
    const std::string prefix = "cannot capture on " + name + ": ";
    switch (status) {
        case PCAP_ERROR_PERM_DENIED:
            return prefix + "permission denied.";
        case PCAP_ERROR_NO_SUCH_DEVICE:
            return prefix + "no such adapter. See tarnwick --list-adapters.";
        case PCAP_ERROR_IFACE_NOT_UP:
            return prefix + "the adapter is down. Bring it up and start again.";
        default:
            return prefix + pcap_statustostr(status) + " (" + pcap_geterr(handle) + ")";
    }
}

// What the library's callback gets: the handler and the adapter's link type.
struct Delivery {
    PacketHandler& handler;
    int linkType;
};

void Forward(u_char* delivery, const pcap_pkthdr* header, const u_char* bytes) {
    const auto& to = *reinterpret_cast<const Delivery*>(delivery);
    to.handler.HandlePacket(*header, bytes, to.linkType);
}

}  // namespace

std::unique_ptr<LiveAdapterSource> LiveAdapterSource::Open(const std::string& name, int bufferMiB, std::string* error,
                                                           bool* permissionDenied) {
    if (permissionDenied) *permissionDenied = false;
    std::unique_ptr<LiveAdapterSource> source(new LiveAdapterSource(name));
    char errorText[PCAP_ERRBUF_SIZE] = {};
    source->handle_ = pcap_create(name.c_str(), errorText);
    if (!source->handle_) {
        *error = "cannot capture on " + name + ": " + errorText;
        return nullptr;
    }
    pcap_t* handle = source->handle_;
    pcap_set_snaplen(handle, kSnapshotLength);
    pcap_set_promisc(handle, 0);
    // Not immediate mode: the kernel fills blocks of packets and wakes the reader once per block (or
    // after the block time-out), instead of once per packet.
    pcap_set_timeout(handle, kBlockTimeoutMs);
    pcap_set_buffer_size(handle, bufferMiB * 1024 * 1024);
    if (const int status = pcap_activate(handle); status < 0) {
        *error = ActivateErrorText(name, status, handle);
        if (permissionDenied) *permissionDenied = status == PCAP_ERROR_PERM_DENIED;
        return nullptr;
    }
    PreferCookedHeaderV2(handle);
    source->linkType_ = pcap_datalink(handle);
    std::string filterError;
    if (!InstallTcpFilter(handle, &filterError)) {
        *error = "cannot capture on " + name + ": " + filterError;
        return nullptr;
    }
    // Reads take what the kernel has handed over and never wait inside the library; ReadBatch waits
    // itself, bounded, for the next block or a wake-up.
    if (pcap_setnonblock(handle, 1, errorText) != 0 || (source->wakeUp_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0) {
        *error = "cannot capture on " + name + ": " + (errorText[0] ? errorText : std::strerror(errno));
        return nullptr;
    }
    return source;
}

LiveAdapterSource::~LiveAdapterSource() {
    if (handle_) pcap_close(handle_);
    if (wakeUp_ >= 0) close(wakeUp_);
}

void LiveAdapterSource::Interrupt() {
    pcap_breakloop(handle_);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeUp_, &one, sizeof one);
}

ReadResult LiveAdapterSource::ReadBatch(PacketHandler& handler) {
    Delivery delivery{handler, linkType_};
    auto* user = reinterpret_cast<u_char*>(&delivery);
    int count = pcap_dispatch(handle_, -1, &Forward, user);
    if (count == 0) {
        pollfd waits[2] = {{pcap_get_selectable_fd(handle_), POLLIN, 0}, {wakeUp_, POLLIN, 0}};
        if (poll(waits, 2, kIdleReturnMs) > 0) count = pcap_dispatch(handle_, -1, &Forward, user);
    }
    if (count >= 0) return ReadResult::Packets;
    if (count == PCAP_ERROR_BREAK) return ReadResult::End;
    error_ =
        "capture on " + name_ + " ended: " + pcap_geterr(handle_) + " (the adapter went away or could not be read)";
    return ReadResult::Failed;
}

bool LiveAdapterSource::ReadStatistics(CaptureStatistics& out) {
    struct pcap_stat now {};
    if (pcap_stats(handle_, &now) != 0) return false;
    // Unsigned 32-bit differences stay right across a wrap of the library's counters.
    totals_.received += static_cast<uint32_t>(now.ps_recv - last_.ps_recv);
    totals_.dropped += static_cast<uint32_t>(now.ps_drop - last_.ps_drop);
    totals_.interfaceDropped += static_cast<uint32_t>(now.ps_ifdrop - last_.ps_ifdrop);
    last_ = now;
    out = totals_;
    return true;
}

}  // namespace tarnwick
