// The capture helper's work: adapters read on threads of their own, written to one pcapng stream.
#include "app/AdapterStreamer.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>

namespace tarnwick {

namespace {

// Packet blocks collect in staging areas of this size and go out in pieces of about kFlushBytes, so a
// burst never holds a huge buffer; a block is never larger than 64 KiB and a bit.
constexpr size_t kStagingBytes = 1u << 20;
constexpr size_t kFlushBytes = 512u * 1024;
// Areas a pipe may take by reference, and one more written out by copy while the reader has not
// yet let go of any of them. A deep pipe (1 MiB) holds two flushes; the third keeps copies rare.
constexpr size_t kSharedStagings = 3;

uint64_t MicrosecondsNow() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// Memory mapped for staging alone: it never returns to the heap, where other data could overwrite
// bytes that a pipe still points at.
struct Staging {
    uint8_t* data = nullptr;
    size_t used = 0;
    uint64_t end = 0;  // the stream offset the reader must take before the area is written again
};

}  // namespace

class AdapterStreamer::Lane final : private PacketHandler {
public:
    Lane(AdapterStreamer& owner, uint32_t interface, std::unique_ptr<LiveAdapterSource> source, std::string name)
        : owner_(owner), interface_(interface), source_(std::move(source)), name_(std::move(name)) {}
    ~Lane() {
        for (auto& staging : stagings_)
            if (staging.data) munmap(staging.data, kStagingBytes);
    }

    LiveAdapterSource& Source() { return *source_; }
    const std::string& Name() const { return name_; }
    bool MapStagings() {
        for (auto& staging : stagings_) {
            void* memory = mmap(nullptr, kStagingBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (memory == MAP_FAILED) return false;
            staging.data = static_cast<uint8_t*>(memory);
        }
        return true;
    }
    void Start() { thread_ = std::thread(&Lane::Run, this); }
    void Stop() {
        source_->Interrupt();
        if (thread_.joinable()) thread_.join();
    }
    void AddStatistics(PcapngWriter& blocks) {
        CaptureStatistics figures;
        if (source_->ReadStatistics(figures)) blocks.AddStatistics(interface_, figures, MicrosecondsNow());
    }

private:
    static constexpr size_t kCopied = kSharedStagings;  // the area always written out by copy

    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes) override {
        const size_t length = PcapngWriter::PacketBlockBytes(header.caplen);
        if (length > kStagingBytes) {  // beyond any snapshot length the library hands out
            FlushPackets();
            PcapngWriter single;
            single.AddPacket(interface_, header, bytes);
            if (!owner_.output_.Put(single.Data(), single.Size(), false)) owner_.End("");
            return;
        }
        if (stagings_[current_].used + length > kStagingBytes) FlushPackets();
        Staging& staging = stagings_[current_];
        PcapngWriter::PutPacket(staging.data + staging.used, interface_, header, bytes);
        staging.used += length;
        if (staging.used >= kFlushBytes) FlushPackets();
    }
    void FlushPackets() {
        Staging& staging = stagings_[current_];
        if (staging.used == 0) return;
        const bool shared = current_ != kCopied && owner_.sharePages_;
        if (!owner_.output_.Put(staging.data, staging.used, shared, &staging.end)) owner_.End("");
        staging.used = 0;
        current_ = NextWritable();
    }
    // An area the pipe no longer points into, else the copied one.
    size_t NextWritable() {
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = 0; i < kSharedStagings; ++i)
                if (stagings_[i].end <= taken_) return i;
            if (pass == 0) taken_ = owner_.output_.Taken();
        }
        return kCopied;
    }
    void Flush() {
        FlushPackets();
        if (blocks_.Size() > 0 && !owner_.output_.Put(blocks_.Data(), blocks_.Size(), false)) owner_.End("");
        blocks_.Clear();
    }
    void Run() {
        uint64_t answered = owner_.statisticsRequests_.load();
        while (!owner_.ended_.load()) {
            const ReadResult result = source_->ReadBatch(*this);
            if (const uint64_t asked = owner_.statisticsRequests_.load(); asked != answered) {
                answered = asked;
                AddStatistics(blocks_);
            }
            Flush();
            if (result == ReadResult::Failed) owner_.End(source_->Error());
            if (result != ReadResult::Packets) break;
        }
    }

    AdapterStreamer& owner_;
    uint32_t interface_;
    std::unique_ptr<LiveAdapterSource> source_;
    std::string name_;
    std::array<Staging, kSharedStagings + 1> stagings_;
    size_t current_ = 0;
    uint64_t taken_ = 0;
    PcapngWriter blocks_;  // statistics
    std::thread thread_;
};

AdapterStreamer::AdapterStreamer(int output, std::vector<std::unique_ptr<LiveAdapterSource>> adapters,
                                 std::vector<std::string> names, bool sharePages)
    : output_(output), sharePages_(sharePages), wakeUp_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
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
    for (auto& lane : lanes_) header.AddInterface(lane->Source().LinkType(), lane->Source().SnapshotLength(), lane->Name());
    if (!output_.Put(header.Data(), header.Size(), false)) return false;
    for (auto& lane : lanes_)
        if (!lane->MapStagings()) {
            End(std::string("cannot map its staging memory: ") + std::strerror(errno));
            return true;
        }
    for (auto& lane : lanes_) lane->Start();
    return true;
}

void AdapterStreamer::Stop() {
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
    std::lock_guard lock(mutex_);
    return failure_;
}

}  // namespace tarnwick
