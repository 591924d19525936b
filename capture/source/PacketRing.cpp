// SPDX-License-Identifier: GPL-3.0-or-later
// The kernel's capture ring, read block by block.
#include "capture/source/PacketRing.h"

#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "capture/source/CaptureAdapters.h"
#include "capture/source/LiveAdapterSource.h"

namespace tarnwick {

namespace {

// No extra room in front of each packet: the kernel's own records there (read before anything is
// written over them) leave enough for a pcapng block header and a cooked header or VLAN tag, and every
// byte more is carried to the reader.
constexpr int kReserveBytes = 0;
constexpr unsigned kFrameBytes = 2048;  // only a unit of the ring's bookkeeping for TPACKET_V3

std::string ErrorText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// What the adapter dropped before the kernel saw the packets, as the library counts it: missed and
// overrun receptions from the adapter's statistics (nothing for "any").
uint64_t AdapterDrops(const std::string& name) {
    uint64_t sum = 0;
    for (const char* counter : {"rx_missed_errors", "rx_fifo_errors"}) {
        std::ifstream file("/sys/class/net/" + name + "/statistics/" + counter);
        uint64_t value = 0;
        if (file >> value) sum += value;
    }
    return sum;
}

tpacket_block_desc* Descriptor(uint8_t* block) {
    return reinterpret_cast<tpacket_block_desc*>(block);
}

std::string NotANetworkAdapter(const std::string& name) {
    return "cannot capture on " + name +
           ": no such network adapter (the capture helper opens network adapters only). See tarnwick --list-adapters.";
}

}  // namespace

bool PacketRing::IsNetworkAdapter(const std::string& name, std::string* error) {
    if (name == kAnyAdapter || if_nametoindex(name.c_str()) != 0) return true;
    *error = NotANetworkAdapter(name);
    return false;
}

std::unique_ptr<PacketRing> PacketRing::Open(const std::string& name, int bufferMiB, std::string* error,
                                             bool* permissionDenied) {
    if (permissionDenied) *permissionDenied = false;
    if (!IsNetworkAdapter(name, error)) return nullptr;
    // The library opens the adapter as a live capture would be opened; its socket is asked what it
    // became, then closed (a smallest buffer: it lives for a moment).
    auto probe = LiveAdapterSource::Open(name, 1, error, permissionDenied);
    if (!probe) return nullptr;
    const int fd = probe->Descriptor();
    std::unique_ptr<PacketRing> ring(new PacketRing(name));
    auto fail = [&](const std::string& why) {
        *error = "cannot capture on " + name + ": " + why;
        return nullptr;
    };
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return fail(ErrorText("socket type"));
    sockaddr_ll bound{};
    length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return fail(ErrorText("socket address"));
    // A network adapter named like one of the library's other sources would have opened that instead.
    if (bound.sll_family != AF_PACKET) {
        *error = NotANetworkAdapter(name);
        return nullptr;
    }
    // The filter as the library handed it to the kernel (for cooked sockets it rewrites the program).
    socklen_t instructions = 0;
    if (getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, nullptr, &instructions) != 0) return fail(ErrorText("kernel filter"));
    if (instructions == 0) return fail("the kernel took no filter");
    std::vector<sock_filter> program(instructions);
    if (getsockopt(fd, SOL_SOCKET, SO_GET_FILTER, program.data(), &instructions) != 0 || instructions > program.size())
        return fail(ErrorText("kernel filter"));
    ring->linkType_ = *probe->LinkType();  // an adapter always has one
    ring->snapshotLength_ = probe->SnapshotLength();
    probe.reset();

    ring->adapterDrops_ = AdapterDrops(name);
    const unsigned loopback = if_nametoindex("lo");
    ring->loopbackIndex_ = loopback > 0 ? static_cast<int>(loopback) : -1;
    if (!ring->Create(type, bound.sll_protocol, bound.sll_ifindex, program.data(), instructions, bufferMiB, error))
        return nullptr;
    return ring;
}

bool PacketRing::Create(int type, uint16_t protocol, int ifindex, const void* filter, size_t filterLength,
                        int bufferMiB, std::string* error) {
    auto fail = [&](const std::string& what) {
        *error = "cannot capture on " + name_ + ": " + ErrorText(what);
        return false;
    };
    // No protocol yet: nothing arrives before the filter is in place and the socket bound.
    socket_ = socket(AF_PACKET, type | SOCK_CLOEXEC, 0);
    if (socket_ < 0) return fail("packet socket");
    const int version = TPACKET_V3;
    const int reserve = kReserveBytes;
    sock_fprog program{static_cast<unsigned short>(filterLength), static_cast<sock_filter*>(const_cast<void*>(filter))};
    if (setsockopt(socket_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0) return fail("ring version");
    if (setsockopt(socket_, SOL_PACKET, PACKET_RESERVE, &reserve, sizeof reserve) != 0) return fail("ring headroom");
    if (setsockopt(socket_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) return fail("kernel filter");

    tpacket_req3 request{};
    request.tp_block_size = kBlockBytes;
    request.tp_block_nr = static_cast<unsigned>(std::max<size_t>(2, (size_t(bufferMiB) << 20) / kBlockBytes));
    request.tp_frame_size = kFrameBytes;
    request.tp_retire_blk_tov = LiveAdapterSource::kBlockTimeoutMs;
    for (;;) {
        request.tp_frame_nr = request.tp_block_nr * (kBlockBytes / kFrameBytes);
        if (setsockopt(socket_, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) == 0) break;
        // As the library does: a smaller ring when the kernel has no memory for the one asked for.
        if (errno != ENOMEM || request.tp_block_nr <= 2) return fail("capture ring");
        request.tp_block_nr /= 2;
    }
    blockCount_ = request.tp_block_nr;
    void* memory = mmap(nullptr, blockCount_ * kBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, socket_, 0);
    if (memory == MAP_FAILED) return fail("mapping the capture ring");
    ring_ = static_cast<uint8_t*>(memory);

    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = protocol;
    address.sll_ifindex = ifindex;
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return fail("binding the adapter");
    wakeUp_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeUp_ < 0) return fail("wake-up event");
    // Edge-triggered: the socket reads as readable for as long as the newest block the kernel filled
    // is still held, so only the kernel's wake-up for each further block is of use.
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) return fail("wake-up set");
    epoll_event packets{};
    packets.events = EPOLLIN | EPOLLET;
    packets.data.fd = socket_;
    epoll_event wakeUp{};
    wakeUp.events = EPOLLIN;
    wakeUp.data.fd = wakeUp_;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, socket_, &packets) != 0 ||
        epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeUp_, &wakeUp) != 0)
        return fail("wake-up set");
    return true;
}

PacketRing::~PacketRing() {
    if (ring_) munmap(ring_, blockCount_ * kBlockBytes);
    if (socket_ >= 0) close(socket_);
    if (wakeUp_ >= 0) close(wakeUp_);
    if (epoll_ >= 0) close(epoll_);
}

uint8_t* PacketRing::ReadyBlock() {
    uint8_t* block = ring_ + current_ * kBlockBytes;
    const uint32_t status = __atomic_load_n(&Descriptor(block)->hdr.bh1.block_status, __ATOMIC_ACQUIRE);
    return (status & TP_STATUS_USER) ? block : nullptr;
}

void PacketRing::GiveBack(uint8_t* block) {
    // The kernel counts afresh when it opens the block again; until then the block reads as empty.
    Descriptor(block)->hdr.bh1.num_pkts = 0;
    __atomic_store_n(&Descriptor(block)->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
}

bool PacketRing::Filling() const {
    auto* descriptor = reinterpret_cast<tpacket_block_desc*>(ring_ + current_ * kBlockBytes);
    if (__atomic_load_n(&descriptor->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) return false;
    // The kernel counts the block's packets as it adds them; only whether there are any is read here.
    return __atomic_load_n(&descriptor->hdr.bh1.num_pkts, __ATOMIC_RELAXED) > 0;
}

bool PacketRing::Seal() {
    sock_filter takeNothing = BPF_STMT(BPF_RET | BPF_K, 0);
    sock_fprog program{1, &takeNothing};
    return setsockopt(socket_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

PacketRing::Wait PacketRing::WaitForBlock(int timeoutMs) {
    if (ReadyBlock()) return Wait::Ready;
    epoll_event events[2];
    const int count = epoll_wait(epoll_, events, 2, timeoutMs);
    if (count < 0 && errno != EINTR) {
        error_ = "capture on " + name_ + " ended: " + ErrorText("waiting for packets");
        return Wait::Failed;
    }
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == wakeUp_) return Wait::Interrupted;  // the event stays set: later waits end too
        if (events[i].events & (EPOLLERR | EPOLLHUP)) {
            int cause = 0;
            socklen_t length = sizeof cause;
            getsockopt(socket_, SOL_SOCKET, SO_ERROR, &cause, &length);
            // An adapter taken down comes back up with the same name; one that is gone does not.
            if (cause != ENETDOWN || if_nametoindex(name_.c_str()) == 0) {
                error_ = "capture on " + name_ + " ended: " + std::strerror(cause ? cause : EIO) +
                         " (the adapter went away or could not be read)";
                return Wait::Failed;
            }
        }
    }
    return ReadyBlock() ? Wait::Ready : Wait::Idle;
}

bool PacketRing::Pause(int timeoutMs) {
    pollfd wait{wakeUp_, POLLIN, 0};
    return poll(&wait, 1, timeoutMs) > 0;
}

void PacketRing::Interrupt() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeUp_, &one, sizeof one);
}

bool PacketRing::ReadStatistics(CaptureStatistics& out) {
    tpacket_stats_v3 figures{};
    socklen_t length = sizeof figures;
    if (getsockopt(socket_, SOL_PACKET, PACKET_STATISTICS, &figures, &length) != 0) return false;
    totals_.received += figures.tp_packets;  // the kernel counts its drops in here
    totals_.dropped += figures.tp_drops;
    const uint64_t adapterDrops = AdapterDrops(name_);
    if (adapterDrops >= adapterDrops_) totals_.interfaceDropped += adapterDrops - adapterDrops_;
    adapterDrops_ = adapterDrops;
    out = totals_;
    return true;
}

}  // namespace tarnwick
