// The capture helper's work: adapters read on threads of their own, written to one pcapng stream.
#include "app/AdapterStreamer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tarnwick {

namespace {

// A batch is written in pieces of about this size, so a burst never holds a huge buffer.
constexpr size_t kFlushBytes = 512u * 1024;

uint64_t MicrosecondsNow() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

}  // namespace

class AdapterStreamer::Lane final : private PacketHandler {
public:
    Lane(AdapterStreamer& owner, uint32_t interface, std::unique_ptr<LiveAdapterSource> source, std::string name)
        : owner_(owner), interface_(interface), source_(std::move(source)), name_(std::move(name)) {}

    LiveAdapterSource& Source() { return *source_; }
    const std::string& Name() const { return name_; }
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
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes) override {
        blocks_.AddPacket(interface_, header, bytes);
        if (blocks_.Size() >= kFlushBytes) Flush();
    }
    void Flush() {
        if (blocks_.Size() > 0 && !owner_.Write(blocks_)) owner_.End("");
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
    PcapngWriter blocks_;
    std::thread thread_;
};

AdapterStreamer::AdapterStreamer(int output, std::vector<std::unique_ptr<LiveAdapterSource>> adapters,
                                 std::vector<std::string> names)
    : output_(output), wakeUp_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
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
    if (!Write(header)) return false;
    for (auto& lane : lanes_) lane->Start();
    return true;
}

void AdapterStreamer::Stop() {
    ended_.store(true);
    for (auto& lane : lanes_) lane->Stop();
    if (outputBroken_.load()) return;
    PcapngWriter closing;
    for (auto& lane : lanes_) lane->AddStatistics(closing);
    Write(closing);
    lanes_.clear();
}

bool AdapterStreamer::Write(const PcapngWriter& blocks) {
    std::lock_guard lock(mutex_);
    if (outputBroken_.load()) return false;
    const uint8_t* at = blocks.Data();
    size_t left = blocks.Size();
    while (left > 0) {
        const ssize_t written = write(output_, at, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            outputBroken_.store(true);  // the reader went away
            return false;
        }
        at += written;
        left -= static_cast<size_t>(written);
    }
    return true;
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
