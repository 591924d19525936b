// SPDX-License-Identifier: GPL-3.0-or-later
// Watches the TCP traffic of one adapter (or replays a capture) on a thread of its own.
#include "capture/session/CaptureSession.h"

#include <algorithm>
#include <utility>

#include "capture/decode/PacketView.h"
#include "capture/session/CaptureFileWriter.h"
#include "capture/session/CapturePipeline.h"
#include "capture/session/OwnConnections.h"
#include "capture/source/AdapterSource.h"
#include "capture/source/CaptureAdapters.h"
#include "capture/source/CaptureFileSource.h"

namespace tarnwick {

namespace {

// How often a live capture asks the kernel for its figures.
constexpr auto kStatisticsInterval = std::chrono::seconds(1);
// No packet has it: every packet after a refused link type takes the slow path.
constexpr int kNoLinkType = -1;

std::string BaseName(const std::string& path) {
    if (path == "-") return "stdin";
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int64_t CaptureSession::CaptureMilliseconds(const timeval& time) {
    constexpr int64_t kLimit = int64_t{1} << 40;
    const auto seconds = std::clamp<int64_t>(static_cast<int64_t>(time.tv_sec), -kLimit, kLimit);
    const auto micro = std::clamp<int64_t>(static_cast<int64_t>(time.tv_usec), 0, 999999);
    return seconds * 1000 + micro / 1000;
}

CaptureSession::CaptureSession(const std::string& adapterName, int bufferMiB, std::shared_ptr<TlsKeyLog> keyLog,
                               CaptureLimits limits)
    : name_(adapterName), limits_(limits), keyLog_(std::move(keyLog)) {
    // On "any" the cooked header tells the direction; its addresses are those of every adapter.
    ownAddresses_ = OwnAddressesOfAdapter(adapterName);
    if (ownAddresses_.Empty() && adapterName != kAnyAdapter) {
        startError_ = "cannot capture on " + adapterName +
                      ": it is not a usable adapter (no usable IPv4 or IPv6 address). See tarnwick --list-adapters.";
        return;
    }
    loopbackAdapter_ = IsLoopbackAdapter(adapterName);
    source_ = OpenAdapterSource(adapterName, bufferMiB, &startError_);
    if (!source_) return;
    std::string problem;
    if (!ChooseDecoder(&problem)) {
        startError_ = "cannot capture on " + adapterName + ": " + problem;
        source_.reset();
        return;
    }
    StartThread();
}

std::unique_ptr<CaptureSession> CaptureSession::OpenFile(const std::string& path, const OwnAddresses& ownAddresses,
                                                         std::string* error, std::shared_ptr<TlsKeyLog> keyLog,
                                                         CaptureLimits limits) {
    std::unique_ptr<CaptureSession> session(new CaptureSession());
    session->keyLog_ = std::move(keyLog);
    session->limits_ = limits;
    session->name_ = BaseName(path);
    session->replay_ = true;
    // No filter program here: the decoder itself passes over everything but TCP, and running the
    // program in user space for every packet of a file would only slow the replay down.
    auto source = CaptureFileSource::Open(path, error);
    if (!source) return nullptr;
    // A stream's link type is known once its header has come (on the capture thread).
    const bool headerRead = source->HeaderRead();
    session->source_ = std::move(source);
    std::string problem;
    if (headerRead && !session->ChooseDecoder(&problem)) {
        if (error) *error = "cannot read capture file " + path + ": " + problem;
        return nullptr;
    }
    session->ownAddresses_ = ownAddresses;
    session->StartThread();
    return session;
}

bool CaptureSession::ChooseDecoder(std::string* error) {
    // A pcapng file's interfaces may differ: each packet's link type is looked at as it comes.
    const std::optional<int> linkType = source_->LinkType();
    if (!linkType) return true;
    const auto decoder = FrameDecoder::ForLinkType(*linkType);
    if (!decoder) {
        *error = "its link type " + FrameDecoder::DescribeLinkType(*linkType) + " cannot be read (Tarnwick reads " +
                 FrameDecoder::ReadableLinkTypes() + ")";
        return false;
    }
    decoder_ = *decoder;
    decoderLinkType_ = *linkType;
    return true;
}

bool CaptureSession::ChangeDecoder(int linkType) {
    if (refusedLinkType_) return false;
    // A decoder is two bytes and a lookup among a few: it is made anew at each change.
    const auto decoder = FrameDecoder::ForLinkType(linkType);
    if (!decoder) {
        refusedLinkType_ = linkType;
        decoderLinkType_ = kNoLinkType;
        return false;
    }
    decoder_ = *decoder;
    decoderLinkType_ = linkType;
    return true;
}

CaptureSession::~CaptureSession() {
    Stop();
    source_.reset();
}

void CaptureSession::Stop() {
    stop_.store(true);
    if (source_) source_->Interrupt();
    {
        std::lock_guard lock(sinkMutex_);
        sinkInstalled_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void CaptureSession::SetDetectionSink(DetectionSink* sink) {
    std::lock_guard lock(sinkMutex_);
    sink_.store(sink);
    sinkInstalled_.notify_all();
}

void CaptureSession::SetFinishedNotifier(std::function<void()> notifier) {
    std::lock_guard lock(sinkMutex_);
    finishedNotifier_ = std::move(notifier);
    if (finishedNotifier_ && Finished()) finishedNotifier_();
}

std::optional<CaptureStatistics> CaptureSession::Statistics() const {
    std::lock_guard lock(statisticsMutex_);
    return statistics_;
}

void CaptureSession::StartThread() {
    started_ = true;
    // Set here, not by the thread, so a destructor running right after construction waits for it.
    finished_.store(false);
    thread_ = std::thread(&CaptureSession::Run, this);
}

void CaptureSession::Run() {
    if (replay_) {
        std::unique_lock lock(sinkMutex_);
        sinkInstalled_.wait(lock, [this] { return sink_.load() != nullptr || stop_.load(); });
    }
    // A stream's header may keep the thread waiting here until its writer sends it, or until a stop.
    std::string problem;
    if (!stop_.load() && source_->Start()) {
        if (ChooseDecoder(&problem))
            ReadUntilStopped();
        else
            endError_ = "cannot read capture file " + name_ + ": " + problem;
    } else if (!stop_.load()) {
        endError_ = source_->Error();
    }
    finished_.store(true, std::memory_order_release);
    std::lock_guard lock(sinkMutex_);
    if (finishedNotifier_) finishedNotifier_();
}

void CaptureSession::ReadUntilStopped() {
    CapturePipeline::Options options;
    options.sourceName = name_;
    options.ownAddresses = ownAddresses_;
    options.inferOwnAddresses = replay_ && ownAddresses_.Empty();
    options.live = !replay_;
    options.loopbackAdapter = loopbackAdapter_;
    options.keyLog = keyLog_.get();
    options.limits = limits_;
    CapturePipeline pipeline(std::move(options), [this](DetectedVideo video) {
        DetectionSink* sink = sink_.load();
        if (!sink) return false;
        sink->OnVideo(std::move(video));
        return true;
    });
    pipeline_ = &pipeline;
    while (!stop_.load()) {
        const ReadResult result = source_->ReadBatch(*this);
        if (refusedLinkType_) {
            endError_ = "cannot read capture file " + name_ + ": packet " +
                        std::to_string(pipeline.Totals().packets + 1) + " is of link type " +
                        FrameDecoder::DescribeLinkType(*refusedLinkType_) + ", which cannot be read (Tarnwick reads " +
                        FrameDecoder::ReadableLinkTypes() + ")";
            break;
        }
        if (result == ReadResult::Failed && !stop_.load()) endError_ = source_->Error();
        if (result != ReadResult::Packets) break;
        PublishStatistics(false);
        // A live capture's packets are stamped with the wall clock, which goes on while the adapter is idle.
        if (!replay_) pipeline.Tick(OwnConnections::NowMs());
    }
    // Stop() sets the flag before it interrupts the source, and the loop may end in between: the closing
    // figures are asked of an interrupted source, which sends them rather than a request for later ones.
    if (stop_.load()) source_->Interrupt();
    PublishStatistics(true);
    pipeline.End(stop_.load() ? StreamEnd::Stopped : StreamEnd::Closed);
    totals_ = pipeline.Totals();
    if (replay_ && ownAddresses_.Empty()) ownAddresses_ = pipeline.OwnAddressSet();
    pipeline_ = nullptr;
}

void CaptureSession::SetFileWriter(std::shared_ptr<CaptureFileWriter> writer) {
    if (keyLog_) keyLog_->RecordUse();
    writerOwner_ = std::move(writer);
    writer_.store(writerOwner_.get());
}

void CaptureSession::HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int linkType) {
    // A capture of several adapters may change the link type between packets.
    if (linkType == decoderLinkType_ || ChangeDecoder(linkType))
        pipeline_->Frame(decoder_, PacketView(bytes, header.caplen), CaptureMilliseconds(header.ts));
    // After the packet was read: the secrets that reading it needed go in front of it.
    if (CaptureFileWriter* writer = writer_.load()) writer->WritePacket(name_, linkType, header, bytes, keyLog_.get());
}

void CaptureSession::HandleSecrets(std::span<const uint8_t> keyLogLines) {
    if (!keyLog_) {
        if (!replay_ || !pipeline_) return;
        keyLog_ = std::make_shared<TlsKeyLog>("");
        if (writer_.load()) keyLog_->RecordUse();
        pipeline_->SetKeyLog(keyLog_.get());
    }
    keyLog_->AddLines(std::string_view(reinterpret_cast<const char*>(keyLogLines.data()), keyLogLines.size()));
}

void CaptureSession::PublishStatistics(bool force) {
    if (replay_) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - statisticsRead_ < kStatisticsInterval) return;
    statisticsRead_ = now;
    CaptureStatistics figures;
    if (!source_->ReadStatistics(figures)) return;
    std::lock_guard lock(statisticsMutex_);
    statistics_ = figures;
}

}  // namespace tarnwick
