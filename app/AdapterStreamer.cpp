// SPDX-License-Identifier: GPL-3.0-or-later
// The capture helper's work: adapters' rings read on threads of their own, handed to one pcapng stream.
#include "app/AdapterStreamer.h"

#include <linux/if_packet.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>

#include "capture/source/LiveAdapterSource.h"
#include "capture/source/PcapngBlocks.h"
#include "capture/source/RingBlockFormatter.h"

namespace tarnwick {

namespace {

// Pauses between batches of blocks: at most a little under the kernel's own block time-out (a packet
// waits at most that much longer), and none for rings too small to hold a pause's worth of packets.
constexpr int kLongestPauseMs = 45;
constexpr size_t kFewestBlocksToPause = 16;
// How long a stopped thread waits for the kernel to close the block it is filling: it does so after
// at most two of its block time-outs once nothing more arrives; the rest is for a loaded machine.
constexpr auto kHandOverWait = std::chrono::milliseconds(4 * LiveAdapterSource::kBlockTimeoutMs);

uint64_t MicrosecondsNow() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

}  // namespace

class AdapterStreamer::Lane {
public:
    Lane(AdapterStreamer& owner, uint32_t interface, std::unique_ptr<PacketRing> ring, std::string name)
        : owner_(owner),
          interface_(interface),
          ring_(std::move(ring)),
          name_(std::move(name)),
          formatter_(ring_->LinkType(), interface, ring_->LoopbackIndex()),
          framesBytes_(ring_->BlockCount() * sizeof(BlockFrame)) {
        void* frames = mmap(nullptr, framesBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (frames != MAP_FAILED) {
            frames_ = static_cast<BlockFrame*>(frames);
        } else {
            copiedFrames_.resize(ring_->BlockCount());
            frames_ = copiedFrames_.data();
        }
    }
    ~Lane() {
        if (copiedFrames_.empty()) munmap(frames_, framesBytes_);
    }

    PacketRing& Ring() { return *ring_; }
    const std::string& Name() const { return name_; }
    void Start() { thread_ = std::thread(&Lane::Run, this); }
    void Stop() {
        ring_->Interrupt();
        if (thread_.joinable()) thread_.join();
    }
    void AddStatistics(PcapngWriter& blocks) {
        CaptureStatistics figures;
        if (ring_->ReadStatistics(figures)) blocks.AddStatistics(interface_, figures, MicrosecondsNow());
    }

private:
    void Run() {
        uint64_t answered = owner_.statisticsRequests_.load();
        size_t batch = 0;  // blocks forwarded since the last wait
        while (!owner_.ended_.load()) {
            GiveBackTaken();
            // Every block may be with the reader; the one at hand is then one of them.
            uint8_t* block = HeldAll() ? nullptr : ring_->ReadyBlock();
            if (block) {
                if (!Forward(block)) return;
                ++batch;
            } else if (batch > 0 && PauseAfter(batch)) {
                batch = 0;
                if (ring_->Pause(pauseMs_)) break;
            } else {
                batch = 0;
                // Held blocks go back at the next block's wake-up, or after the time-out when idle.
                const PacketRing::Wait wait = ring_->WaitForBlock(LiveAdapterSource::kIdleReturnMs);
                if (wait == PacketRing::Wait::Failed) {
                    owner_.End(ring_->Error());
                    return;
                }
                if (wait == PacketRing::Wait::Interrupted) break;
            }
            if (const uint64_t asked = owner_.statisticsRequests_.load(); asked != answered) {
                answered = asked;
                PcapngWriter blocks;
                AddStatistics(blocks);
                if (!owner_.output_.Put(blocks.Data(), blocks.Size(), false)) {
                    owner_.End("");
                    return;
                }
            }
        }
        if (owner_.handOver_.load()) HandOverRest();
    }

    // After a stop: the packets the kernel captured before it are passed on too, those of the blocks it
    // has filled and of the one it is filling, which it closes on its time-out. Nothing that arrives
    // afterwards is let in, and the work is bounded: one pass over the ring, and no wait for the
    // kernel's block beyond kHandOverWait.
    void HandOverRest() {
        ring_->Seal();
        const auto deadline = std::chrono::steady_clock::now() + kHandOverWait;
        for (size_t forwarded = 0; forwarded < ring_->BlockCount();) {
            GiveBackTaken();
            uint8_t* block = HeldAll() ? nullptr : ring_->ReadyBlock();
            if (block) {
                if (!Forward(block)) return;
                ++forwarded;
                continue;
            }
            // With every block held by the reader, the kernel has none to fill.
            if (HeldAll() || !ring_->Filling()) return;
            if (std::chrono::steady_clock::now() >= deadline) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    bool HeldAll() const { return held_.size() >= ring_->BlockCount(); }

    // Blocks are taken in batches: every wake-up of this process and of its reader costs more than the
    // few words it reads of a block, and the kernel's ring holds the packets meanwhile. The pause
    // halves while a batch fills a quarter of the ring and grows back while batches are small.
    bool PauseAfter(size_t batch) {
        const size_t blocks = ring_->BlockCount();
        if (blocks < kFewestBlocksToPause) return false;
        if (batch >= blocks / 4)
            pauseMs_ /= 2;
        else if (batch <= blocks / 16)
            pauseMs_ = std::min(kLongestPauseMs, std::max(1, pauseMs_ * 2));
        return pauseMs_ > 0;
    }

    // Hands the block's packets to the stream; the block stays this process's while the pipe may
    // point into it.
    bool Forward(uint8_t* block) {
        uint64_t end = 0;
        if (!(owner_.ringBlocks_ ? SendWhole(block, end) : SendPackets(block, end))) return false;
        ring_->Take();
        held_.push_back({block, end});
        return true;
    }

    // Blocks go back in the order they came, once the reader has taken all that points into them.
    void GiveBackTaken() {
        std::optional<uint64_t> taken;
        while (!held_.empty()) {
            if (const uint64_t end = held_.front().end; end > 0) {
                if (!taken) taken = owner_.output_.Taken();
                if (end > *taken) break;
            }
            PacketRing::GiveBack(held_.front().block);
            held_.pop_front();
        }
    }

    // The block as the kernel filled it, its records read by Tarnwick: this side reads no more than
    // the block's own header.
    bool SendWhole(uint8_t* block, uint64_t& end) {
        const auto* header = reinterpret_cast<const tpacket_block_desc*>(block);
        const uint32_t packets = header->hdr.bh1.num_pkts;
        const uint32_t used = header->hdr.bh1.blk_len;
        if (packets == 0) return true;
        if (used < sizeof(tpacket_block_desc) || used > ring_->BlockBytes() || used % 4 != 0) {
            owner_.End("capture on " + name_ + " ended: the kernel's capture ring holds a damaged block");
            return false;
        }
        const uint32_t total = pcapng::kBlockFrameBytes + pcapng::kRingBlockFixedBytes + used;
        // The block's head and trailing length lie in memory kept for this block alone, so that they too
        // can go by reference: the reader then wakes once for the whole block.
        const size_t index = static_cast<size_t>(block - ring_->Memory()) / ring_->BlockBytes();
        BlockFrame& frame = frames_[index];
        frame = {pcapng::kRingBlock, total, interface_, static_cast<uint32_t>(ring_->LoopbackIndex()), total};
        // The trailing length goes after the used part of the block when there is room, in one piece with it.
        const bool trailerInBlock = used + 4 <= ring_->BlockBytes();
        if (trailerInBlock) std::memcpy(block + used, &total, 4);
        const bool byReference = owner_.sharePages_;
        const bool frameByReference = byReference && copiedFrames_.empty();
        const StreamOutput::Chunk chunks[3] = {{reinterpret_cast<const uint8_t*>(&frame), 16, frameByReference},
                                               {block, used + (trailerInBlock ? 4u : 0u), byReference},
                                               {reinterpret_cast<const uint8_t*>(&frame.trailer), 4, frameByReference}};
        if (!owner_.output_.PutTogether(chunks, trailerInBlock ? 2 : 3, &end)) {
            owner_.End("");
            return false;
        }
        return true;
    }

    bool SendPackets(uint8_t* block, uint64_t& end) {
        if (!formatter_.Format(block, ring_->BlockBytes(), pieces_)) {
            owner_.End("capture on " + name_ + " ended: " + formatter_.Error());
            return false;
        }
        for (const auto& piece : pieces_) {
            uint64_t pieceEnd = 0;
            if (!owner_.output_.Put(piece.data, piece.size, piece.inBlock && owner_.sharePages_, &pieceEnd)) {
                owner_.End("");
                return false;
            }
            end = std::max(end, pieceEnd);
        }
        return true;
    }

    AdapterStreamer& owner_;
    uint32_t interface_;
    std::unique_ptr<PacketRing> ring_;
    std::string name_;
    RingBlockFormatter formatter_;
    std::vector<RingBlockFormatter::Piece> pieces_;
    // Blocks handed over and not yet given back, oldest first, with the stream offset the reader must
    // reach before the kernel may write into them again (0 when nothing points into them).
    struct Held {
        uint8_t* block;
        uint64_t end;
    };
    std::deque<Held> held_;
    // Per ring block: the words around it in the stream.
    struct BlockFrame {
        uint32_t type, length, interface, loopback, trailer;
    };
    // They go by reference as well, so they live in pages of their own: the reader may take them after
    // this process has let go of them, even after it has ended, and freed heap memory would by then hold
    // something else. Pages that were unmapped keep what they held for the pipe. Where none can be
    // mapped, the words are copied.
    size_t framesBytes_;
    BlockFrame* frames_ = nullptr;
    std::vector<BlockFrame> copiedFrames_;
    int pauseMs_ = kLongestPauseMs;
    std::thread thread_;
};

AdapterStreamer::AdapterStreamer(int output, std::vector<std::unique_ptr<PacketRing>> adapters,
                                 std::vector<std::string> names, bool sharePages, bool ringBlocks)
    : output_(output),
      sharePages_(sharePages),
      ringBlocks_(ringBlocks),
      wakeUp_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    for (size_t i = 0; i < adapters.size(); ++i)
        lanes_.push_back(std::make_unique<Lane>(*this, static_cast<uint32_t>(i), std::move(adapters[i]), names[i]));
}

AdapterStreamer::~AdapterStreamer() {
    Stop();
    if (wakeUp_ >= 0) close(wakeUp_);
}

bool AdapterStreamer::Start() {
    PcapngWriter header;
    header.AddSectionHeader("tarnwick-capture");
    for (auto& lane : lanes_) header.AddInterface(lane->Ring().LinkType(), lane->Ring().SnapshotLength(), lane->Name());
    if (!output_.Put(header.Data(), header.Size(), false)) return false;
    for (auto& lane : lanes_) lane->Start();
    return true;
}

void AdapterStreamer::Stop(bool handOver) {
    if (handOver) handOver_.store(true);
    ended_.store(true);
    for (auto& lane : lanes_) lane->Stop();
    if (output_.Broken()) return;
    PcapngWriter closing;
    for (auto& lane : lanes_) lane->AddStatistics(closing);
    output_.Put(closing.Data(), closing.Size(), false);
    lanes_.clear();
}

void AdapterStreamer::End(const std::string& failure) {
    {
        std::lock_guard lock(mutex_);
        if (!failure.empty() && failure_.empty()) failure_ = failure;
    }
    ended_.store(true);
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(wakeUp_, &one, sizeof one);
}

std::string AdapterStreamer::Failure() const {
    {
        std::lock_guard lock(mutex_);
        if (!failure_.empty()) return failure_;
    }
    return output_.Error();
}

}  // namespace tarnwick
