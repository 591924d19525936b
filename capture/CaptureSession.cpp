// Watches the TCP traffic of one adapter (or replays a capture) on a thread of its own.
#include "capture/CaptureSession.h"

#include <utility>

#include "capture/decode/PacketView.h"
#include "capture/detect/HttpVideoDetector.h"
#include "capture/detect/VideoReporter.h"
#include "capture/http1/Http1StreamReader.h"
#include "capture/http2/Http2CleartextTracker.h"
#include "capture/http2/Http2MemoryBudget.h"
#include "capture/http2/Http2StreamReader.h"
#include "capture/playlist/StreamTracker.h"
#include "capture/source/AdapterSource.h"
#include "capture/source/CaptureAdapters.h"
#include "capture/source/CaptureFileSource.h"
#include "capture/stream/SegmentOfFrame.h"
#include "capture/tls/TlsStreamTracker.h"

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

CaptureSession::CaptureSession(const std::string& adapterName, int bufferMiB, std::shared_ptr<TlsKeyLog> keyLog)
    : name_(adapterName), keyLog_(std::move(keyLog)) {
    // On "any" the cooked header tells the direction; its addresses are those of every adapter.
    ownAddresses_ = OwnAddressesOfAdapter(adapterName);
    if (ownAddresses_.Empty() && adapterName != kAnyAdapter) {
        startError_ = "cannot capture on " + adapterName +
                      ": it is not a usable adapter (no usable IPv4 or IPv6 address). See tarnwick --list-adapters.";
        return;
    }
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
                                                         std::string* error, std::shared_ptr<TlsKeyLog> keyLog) {
    std::unique_ptr<CaptureSession> session(new CaptureSession());
    session->keyLog_ = std::move(keyLog);
    session->name_ = BaseName(path);
    session->replay_ = true;
    // No filter program here: the detector itself passes over everything but TCP, and running the
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
    session->inferring_ = ownAddresses.Empty();
    if (session->inferring_) session->inference_ = std::make_unique<OwnAddressInference>();
    session->totals_.ownAddressKnown = !ownAddresses.Empty();
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
    std::string problem;
    if (!stop_.load() && source_->Start()) {
        if (ChooseDecoder(&problem)) ReadUntilStopped();
        else endError_ = "cannot read capture file " + name_ + ": " + problem;
    } else if (!stop_.load()) {
        endError_ = source_->Error();
    }
    finished_.store(true, std::memory_order_release);
    std::lock_guard lock(callbackMutex_);
    if (finishedNotifier_) finishedNotifier_();
}

void CaptureSession::ReadUntilStopped() {
    const auto deliver = [this](DetectedVideo video) { Deliver(std::move(video)); };
    HttpVideoDetector detector(ownAddresses_, pending_, ignored_, deliver, name_, decoder_);
    detector_ = &detector;
    // Decrypted connections report through their own reporter into the same ignore list and callback.
    VideoReporter streamReporter(ignored_, deliver, name_);
    // What the streams of all HTTP/2 connections of this thread hold, TLS and clear text together.
    Http2MemoryBudget http2Budget;
    std::unique_ptr<TlsStreamTracker> tlsStreams;
    // With a key log from the start, or once a replay's capture brings its first secrets.
    const auto startTls = [this, &tlsStreams, &streamReporter, &http2Budget] {
        tlsStreams = std::make_unique<TlsStreamTracker>(
            *keyLog_,
            [this, &streamReporter, &http2Budget](const TlsConnectionFacts& facts) -> std::unique_ptr<StreamReader> {
                if (facts.alpn == "h2")
                    return std::make_unique<Http2StreamReader>(
                        Http2StreamReader::Context{facts.key, facts.serverName, "https"}, streamReporter,
                        streamTotals_.http2, http2Budget);
                // HTTP/1.1 is also what a server that names no protocol speaks.
                if (!facts.alpn.empty() && facts.alpn != "http/1.1") return nullptr;
                return std::make_unique<Http1StreamReader>(
                    Http1StreamReader::Context{facts.key, facts.serverName, "https"}, streamReporter,
                    streamTotals_.http1);
            });
        tlsStreams_ = tlsStreams.get();
    };
    if (keyLog_) startTls();
    startTls_ = startTls;
    StreamTracker streams;
    detector.SetStreamTracker(&streams);
    streams_ = &streams;
    Http2CleartextTracker cleartextHttp2(
        Http2UpgradeReader::Readers{streamReporter, streamTotals_.http2, streamTotals_.http1, http2Budget});
    cleartextHttp2_ = &cleartextHttp2;
    while (!stop_.load()) {
        const ReadResult result = source_->ReadBatch(*this);
        if (refusedLinkType_) {
            endError_ = "cannot read capture file " + name_ + ": packet " + std::to_string(totals_.packets + 1) +
                        " is of link type " + FrameDecoder::DescribeLinkType(*refusedLinkType_) +
                        ", which cannot be read (Tarnwick reads " + FrameDecoder::ReadableLinkTypes() + ")";
            break;
        }
        if (result == ReadResult::Failed && !stop_.load()) endError_ = source_->Error();
        if (result != ReadResult::Packets) break;
        PublishStatistics(false);
    }
    PublishStatistics(true);
    // Packets still held for a replay whose own address never showed cannot make a detection.
    inference_.reset();
    totals_.detections = detector.Counts();
    detector_ = nullptr;
    startTls_ = nullptr;
    if (tlsStreams) {
        tlsStreams->EndAll(stop_.load() ? StreamEnd::Stopped : StreamEnd::Closed);
        streamTotals_.reassembly = tlsStreams->Reassembly();
        streamTotals_.tls = tlsStreams->Tls();
        tlsStreams_ = nullptr;
    }
    streams_ = nullptr;
    cleartextHttp2.EndAll(stop_.load() ? StreamEnd::Stopped : StreamEnd::Closed);
    streamTotals_.cleartextReassembly = cleartextHttp2.Reassembly();
    cleartextHttp2_ = nullptr;
}

void CaptureSession::HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int linkType) {
    // A capture of several adapters may change the link type between packets.
    if (linkType != decoderLinkType_ && !ChangeDecoder(linkType)) return;
    ++totals_.packets;
    const PacketView frame(bytes, header.caplen);
    if (!decoder_.Decode(frame, segment_)) return;
    // TLS connections are told apart by their handshake, not by the own addresses, and leave the
    // per-packet path; without a key log that path is all there is.
    if (tlsStreams_ && TakeTlsSegment(header, frame)) return;
    const std::span<const uint8_t> payload(frame.Pointer(segment_.payloadStart), segment_.payloadLength);
    if ((cleartextHttp2_->Following() || Http2CleartextTracker::Concerns(payload)) && TakeCleartextHttp2Segment(header, payload))
        return;
    // A capture of one IP version never completes the inference; its packets pass here at full speed
    // once that version's sender is known.
    if (inferring_ && (inference_ || !senders_.Knows(segment_.ipVersion))) {
        InferOwnAddresses(header, frame);
        return;
    }
    Examine(frame, segment_, header);
}

void CaptureSession::HandleSecrets(std::span<const uint8_t> keyLogLines) {
    if (!keyLog_) {
        if (!replay_ || !startTls_) return;
        keyLog_ = std::make_shared<TlsKeyLog>("");
        startTls_();
    }
    keyLog_->AddLines(std::string_view(reinterpret_cast<const char*>(keyLogLines.data()), keyLogLines.size()));
}

void CaptureSession::Examine(const PacketView& frame, const TcpSegment& segment, const pcap_pkthdr& header) {
    const auto seconds = static_cast<int64_t>(header.ts.tv_sec);
    // A playlist's connection is read on before the detector sees the frame: the frame that starts a
    // playlist answer is taken by the detector, which sets the following up.
    streams_->Process(frame, segment, seconds);
    detector_->ProcessSegment(frame, segment, seconds, static_cast<uint32_t>(header.ts.tv_usec));
}

bool CaptureSession::TakeTlsSegment(const pcap_pkthdr& header, const PacketView& frame) {
    const std::span<const uint8_t> payload(frame.Pointer(segment_.payloadStart), segment_.payloadLength);
    if (!tlsStreams_->Following() && !TlsConnection::StartsClientHello(payload)) return false;
    StreamSegment segment;
    SegmentOfFrame(segment_, payload, segment);
    return tlsStreams_->Process(segment, static_cast<int64_t>(header.ts.tv_sec));
}

bool CaptureSession::TakeCleartextHttp2Segment(const pcap_pkthdr& header, std::span<const uint8_t> payload) {
    StreamSegment segment;
    SegmentOfFrame(segment_, payload, segment);
    return cleartextHttp2_->Process(segment, static_cast<int64_t>(header.ts.tv_sec));
}

void CaptureSession::InferOwnAddresses(const pcap_pkthdr& header, const PacketView& frame) {
    const bool namesOwnAddress = senders_.Observe(frame, segment_);
    if (inference_) {
        if (!namesOwnAddress) {
            inference_->Hold(header, frame.Pointer(0));
            // The held packets' link types, trimmed as the inference lets its oldest go.
            heldLinkTypes_.push_back(decoderLinkType_);
            while (heldLinkTypes_.size() > inference_->HeldPackets()) heldLinkTypes_.pop_front();
            return;
        }
        AdoptOwnAddress(segment_.SourceAddress());
        inference_->ReleaseHeld([this](const pcap_pkthdr& held, const uint8_t* heldBytes) {
            const int heldLinkType = heldLinkTypes_.front();
            heldLinkTypes_.pop_front();
            const FrameDecoder decoder =
                heldLinkType == decoderLinkType_ ? decoder_ : FrameDecoder::ForLinkType(heldLinkType).value_or(decoder_);
            const PacketView heldFrame(heldBytes, held.caplen);
            TcpSegment heldSegment;
            if (decoder.Decode(heldFrame, heldSegment)) Examine(heldFrame, heldSegment, held);
        });
        inference_.reset();
    } else if (namesOwnAddress) {
        AdoptOwnAddress(segment_.SourceAddress());
    }
    inferring_ = !senders_.Complete();
    Examine(frame, segment_, header);
}

void CaptureSession::AdoptOwnAddress(const IpAddress& address) {
    ownAddresses_.Add(address);
    totals_.ownAddressKnown = true;
    detector_->AddOwnAddress(address);
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
