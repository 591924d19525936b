// Watches the TCP traffic of one adapter (or replays a capture) on a thread of its own.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "capture/decode/FrameDecoder.h"
#include "capture/decode/TcpSegment.h"
#include "capture/detect/DetectedVideo.h"
#include "capture/detect/DetectionCounts.h"
#include "capture/detect/IgnoreList.h"
#include "capture/detect/OwnAddressInference.h"
#include "capture/detect/OwnAddresses.h"
#include "capture/detect/PendingRequest.h"
#include "capture/detect/PendingRequestTable.h"
#include "capture/detect/RequestSenders.h"
#include "capture/http1/Http1Statistics.h"
#include "capture/http2/Http2Statistics.h"
#include "capture/source/CaptureStatistics.h"
#include "capture/source/LiveAdapterSource.h"
#include "capture/source/PacketSource.h"
#include "capture/stream/ReassemblyStatistics.h"
#include "capture/tls/TlsKeyLog.h"
#include "capture/tls/TlsStatistics.h"

namespace tarnwick {

class Http2CleartextTracker;
class HttpVideoDetector;
class TlsStreamTracker;
class StreamTracker;

// Receives each detected video on the capture thread. No context pointer: receivers reach their
// window through a process-wide pointer.
using DetectionCallback = void (*)(DetectedVideo);

// What a replay saw, for telling the user why it listed what it listed.
struct ReplayTotals {
    uint64_t packets = 0;
    DetectionCounts detections;
    bool ownAddressKnown = false;  // one at least given, or found in the packets
};

// What the stages of reassembled connections saw: TLS ones (all zero without a key log) and clear-text
// HTTP/2 ones (h2c), whose HTTP/1 and HTTP/2 figures are counted with those of TLS connections.
struct StreamTotals {
    ReassemblyStatistics reassembly;
    TlsStatistics tls;
    ReassemblyStatistics cleartextReassembly;
    Http1Statistics http1;
    Http2Statistics http2;
};

class CaptureSession final : private PacketHandler {
public:
    // Opens the adapter (or "any", every adapter at once) for live capture of TCP, tagged or not, with
    // a kernel buffer of bufferMiB (through the capture helper when this process may not capture) and
    // starts the capture thread. When that fails (also for a link type whose frames cannot be read),
    // CaptureStarted() is false and StartError() says why; the session can still be destroyed at once.
    // With a key log, TLS connections whose secrets it holds are decrypted and read too.
    explicit CaptureSession(const std::string& adapterName, int bufferMiB = LiveAdapterSource::kDefaultBufferMiB,
                            std::shared_ptr<TlsKeyLog> keyLog = nullptr);

    // Replays a pcap or pcapng capture: a file, a FIFO, or standard input for "-". The packets' capture
    // times are the clock. The own addresses are the given ones, else for each IP version the sender of
    // its first TCP payload that begins with "GET " (found as the packets come: the capture is read
    // once). The replay starts once a detection callback is installed, so nothing in it is missed.
    // Nothing (and *error set) when the capture cannot be opened, or a regular file is no capture or
    // holds frames of a link type that cannot be read; a stream that turns out so ends the session with
    // EndError() set.
    static std::unique_ptr<CaptureSession> OpenFile(const std::string& path, const OwnAddresses& ownAddresses,
                                                    std::string* error, std::shared_ptr<TlsKeyLog> keyLog = nullptr);

    // Stops the thread at once, even one waiting for a silent stream, closes the source and drops all state.
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // Stops the capture thread at once, also one waiting for a silent stream, and waits for it; the
    // figures and EndError() stay readable. Called by the destructor too.
    void Stop();

    void SetDetectionCallback(DetectionCallback callback);
    // Called on the capture thread right after Finished() turns true (at once when it is true already),
    // so that a waiter needs no polling. It may be called twice and must only wake someone.
    void SetFinishedNotifier(std::function<void()> notifier);
    // The next count detections of url (host and path, no scheme) are swallowed.
    void IgnoreUrl(const std::string& url, int count);

    bool CaptureStarted() const { return started_; }
    // A sentence the user can act on; empty when the capture started.
    const std::string& StartError() const { return startError_; }
    // True once the capture thread has left its loop (stopped, read error or end of file), or when it
    // never ran. Every callback of the session has returned by then.
    bool Finished() const { return finished_.load(std::memory_order_acquire); }
    // Why the capture ended by itself before its end: a damaged capture (with the packet and byte
    // offset), an adapter that could not be read. Empty when it ran to its end or was stopped.
    // Meaningful once Finished().
    const std::string& EndError() const { return endError_; }
    bool IsReplay() const { return replay_; }
    // The adapter's name, or the capture file's name without its folder ("stdin" for standard input).
    const std::string& Name() const { return name_; }
    // For a replay without given addresses, complete once Finished().
    const OwnAddresses& OwnAddressSet() const { return ownAddresses_; }
    // Meaningful once Finished().
    const ReplayTotals& Totals() const { return totals_; }
    // Meaningful once Finished().
    const StreamTotals& Streams() const { return streamTotals_; }
    // A replay whose capture carries TLS secrets reads TLS from then on: final once Finished().
    bool ReadsTls() const { return keyLog_ != nullptr; }
    // A live capture's kernel figures, refreshed about once a second and when the capture ends;
    // nothing for replays. Any thread.
    std::optional<CaptureStatistics> Statistics() const;

private:
    CaptureSession() = default;
    void StartThread();
    void Run();
    void ReadUntilStopped();
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int linkType) override;
    // A replay's capture carries TLS secrets: they join the key log (one is made when there is none).
    void HandleSecrets(std::span<const uint8_t> keyLogLines) override;
    // The decoder for a packet of another link type than the last; false (and the replay refused from
    // here) when frames of that type cannot be read.
    bool ChangeDecoder(int linkType);
    // A replay's packets while its own addresses are still being found.
    void InferOwnAddresses(const pcap_pkthdr& header, const PacketView& frame);
    // Hands a decoded frame to the stages that read it.
    void Examine(const PacketView& frame, const TcpSegment& segment, const pcap_pkthdr& header);
    void AdoptOwnAddress(const IpAddress& address);
    // The decoder for the source's link type, when it has one for all packets; false, with the reason in
    // *error, when it cannot be read.
    bool ChooseDecoder(std::string* error);
    // Hands a decoded segment to the TLS stages; false when it is not part of a TLS connection.
    bool TakeTlsSegment(const pcap_pkthdr& header, const PacketView& frame);
    // The same for clear-text HTTP/2 connections; called only for segments the tracker follows or that
    // may begin a connection for it.
    bool TakeCleartextHttp2Segment(const pcap_pkthdr& header, std::span<const uint8_t> payload);
    void PublishStatistics(bool force);
    void Deliver(DetectedVideo video);

    std::atomic<DetectionCallback> callback_{nullptr};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{true};
    std::unique_ptr<PacketSource> source_;
    FrameDecoder decoder_;
    int decoderLinkType_ = DLT_EN10MB;        // decoder_'s, or kNoLinkType once a link type was refused
    std::optional<int> refusedLinkType_;     // a packet's that cannot be read: the replay ends there
    std::deque<int> heldLinkTypes_;          // of the packets inference_ holds, oldest first
    std::function<void()> startTls_;         // makes the TLS stages once secrets come, while the thread reads
    TcpSegment segment_;  // filled anew by every decode
    bool replay_ = false;
    bool started_ = false;
    OwnAddresses ownAddresses_;
    std::string name_;
    std::string startError_;
    std::string endError_;
    ReplayTotals totals_;
    StreamTotals streamTotals_;
    std::shared_ptr<TlsKeyLog> keyLog_;
    PendingRequestTable pending_;
    IgnoreList ignored_;
    HttpVideoDetector* detector_ = nullptr;           // the capture thread's, while it runs
    TlsStreamTracker* tlsStreams_ = nullptr;          // the same, with a key log
    StreamTracker* streams_ = nullptr;                // the same
    Http2CleartextTracker* cleartextHttp2_ = nullptr; // the same
    // A replay without given addresses: packets are held back until the first request names an own
    // address; the other IP version's comes from its first request as the packets pass.
    bool inferring_ = false;
    std::unique_ptr<OwnAddressInference> inference_;
    RequestSenders senders_;
    mutable std::mutex statisticsMutex_;
    std::optional<CaptureStatistics> statistics_;
    std::chrono::steady_clock::time_point statisticsRead_{};
    std::mutex callbackMutex_;
    std::condition_variable callbackInstalled_;
    std::function<void()> finishedNotifier_;
    std::thread thread_;
};

}  // namespace tarnwick
