// Watches the TCP traffic of one adapter (or replays a capture) on a thread of its own.
#include "capture/CaptureSession.h"

#include <utility>

#include "capture/detect/HttpVideoDetector.h"
#include "capture/source/CaptureAdapters.h"
#include "capture/source/CaptureFileSource.h"

namespace tarnwick {

namespace {

// How often a live capture asks the kernel for its figures.
constexpr auto kStatisticsInterval = std::chrono::seconds(1);

std::optional<Ipv4Address> OwnAddressOfAdapter(const std::string& name) {
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* adapters = nullptr;
    if (pcap_findalldevs(&adapters, errorText) != 0) return std::nullopt;
    std::optional<Ipv4Address> address;
    for (const pcap_if_t* adapter = adapters; adapter; adapter = adapter->next)
        if (adapter->name && name == adapter->name) {
            address = FirstUsableAddress(adapter->addresses);
            break;
        }
    pcap_freealldevs(adapters);
    return address;
}

std::string BaseName(const std::string& path) {
    if (path == "-") return "stdin";
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

CaptureSession::CaptureSession(const std::string& adapterName, int bufferMiB) : name_(adapterName) {
    const auto address = OwnAddressOfAdapter(adapterName);
    if (!address) {
        startError_ = "cannot capture on " + adapterName +
                      ": it is not a usable adapter (no IPv4 address). See tarnwick --list-adapters.";
        return;
    }
    ownAddress_ = *address;
    source_ = LiveAdapterSource::Open(adapterName, bufferMiB, &startError_);
    if (!source_) return;
    ethernet_ = source_->LinkType() == DLT_EN10MB;
    StartThread();
}

std::unique_ptr<CaptureSession> CaptureSession::OpenFile(const std::string& path, std::optional<Ipv4Address> ownAddress,
                                                         std::string* error) {
    std::unique_ptr<CaptureSession> session(new CaptureSession());
    session->name_ = BaseName(path);
    session->replay_ = true;
    // No filter program here: the detector itself passes over everything but TCP, and running the
    // program in user space for every packet of a file would only slow the replay down.
    session->source_ = CaptureFileSource::Open(path, error);
    if (!session->source_) return nullptr;
    if (ownAddress)
        session->ownAddress_ = *ownAddress;
    else
        session->inference_ = std::make_unique<OwnAddressInference>();
    session->totals_.ownAddressKnown = ownAddress.has_value();
    session->StartThread();
    return session;
}

CaptureSession::~CaptureSession() {
    Stop();
    source_.reset();
    ignored_.Clear();
    pending_.Clear();
}

void CaptureSession::Stop() {
    stop_.store(true);
    if (source_) source_->Interrupt();
    {
        std::lock_guard lock(callbackMutex_);
        callbackInstalled_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

void CaptureSession::SetDetectionCallback(DetectionCallback callback) {
    std::lock_guard lock(callbackMutex_);
    callback_.store(callback);
    callbackInstalled_.notify_all();
}

void CaptureSession::SetFinishedNotifier(std::function<void()> notifier) {
    std::lock_guard lock(callbackMutex_);
    finishedNotifier_ = std::move(notifier);
    if (finishedNotifier_ && Finished()) finishedNotifier_();
}

void CaptureSession::IgnoreUrl(const std::string& url, int count) {
    ignored_.IgnoreUrl(url, count);
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

void CaptureSession::Deliver(DetectedVideo video) {
    if (const DetectionCallback callback = callback_.load()) callback(std::move(video));
}

void CaptureSession::Run() {
    pending_.Clear();
    if (replay_) {
        std::unique_lock lock(callbackMutex_);
        callbackInstalled_.wait(lock, [this] { return callback_.load() != nullptr || stop_.load(); });
    }
    // A stream's header may keep the thread waiting here until its writer sends it, or until a stop.
    if (!stop_.load() && source_->Start()) {
        ethernet_ = source_->LinkType() == DLT_EN10MB;
        ReadUntilStopped();
    } else if (!stop_.load()) {
        endError_ = source_->Error();
    }
    finished_.store(true, std::memory_order_release);
    std::lock_guard lock(callbackMutex_);
    if (finishedNotifier_) finishedNotifier_();
}

void CaptureSession::ReadUntilStopped() {
    HttpVideoDetector detector(
        ownAddress_, pending_, ignored_, [this](DetectedVideo video) { Deliver(std::move(video)); }, name_);
    detector_ = &detector;
    while (!stop_.load()) {
        const ReadResult result = source_->ReadBatch(*this);
        if (result == ReadResult::Failed && !stop_.load()) endError_ = source_->Error();
        if (result != ReadResult::Packets) break;
        PublishStatistics(false);
    }
    PublishStatistics(true);
    // Packets still held for a replay whose own address never showed cannot make a detection.
    inference_.reset();
    totals_.detections = detector.Counts();
    detector_ = nullptr;
}

void CaptureSession::HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes) {
    ++totals_.packets;
    if (!ethernet_) return;
    if (inference_) {
        InferOwnAddress(header, bytes);
        return;
    }
    detector_->ProcessPacket(bytes, header.caplen, static_cast<int64_t>(header.ts.tv_sec));
}

void CaptureSession::InferOwnAddress(const pcap_pkthdr& header, const uint8_t* bytes) {
    const std::optional<Ipv4Address> own = inference_->Examine(header, bytes);
    if (!own) return;
    ownAddress_ = *own;
    totals_.ownAddressKnown = true;
    detector_->SetOwnAddress(*own);
    inference_->ReleaseHeld([this](const pcap_pkthdr& held, const uint8_t* heldBytes) {
        detector_->ProcessPacket(heldBytes, held.caplen, static_cast<int64_t>(held.ts.tv_sec));
    });
    inference_.reset();
    detector_->ProcessPacket(bytes, header.caplen, static_cast<int64_t>(header.ts.tv_sec));
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
