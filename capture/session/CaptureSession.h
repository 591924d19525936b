// SPDX-License-Identifier: GPL-3.0-or-later
// Watches the TCP traffic of one adapter (or replays a capture) on a thread of its own.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "capture/decode/FrameDecoder.h"
#include "capture/decode/TcpSegment.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/session/DetectionSink.h"
#include "capture/session/PipelineTotals.h"
#include "capture/source/CaptureStatistics.h"
#include "capture/source/LiveAdapterSource.h"
#include "capture/source/OwnAddresses.h"
#include "capture/source/PacketSource.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

class CaptureFileWriter;
class CapturePipeline;

// One capture thread: packets from the source, decoded, then one reassembler that hands every
// connection to the reader of its protocol (HTTP/1, h2c, TLS with HTTP/1 or HTTP/2 inside), and every
// request and answer to one sink that judges them. Detections leave through the installed sink object.
class CaptureSession final : private PacketHandler {
public:
    // Opens the adapter (or "any", every adapter at once) for live capture of TCP, tagged or not, with
    // a kernel buffer of bufferMiB (through the capture helper when this process may not capture) and
    // starts the capture thread. When that fails (also for a link type whose frames cannot be read),
    // CaptureStarted() is false and StartError() says why; the session can still be destroyed at once.
    // With a key log, TLS connections whose secrets it holds are decrypted and read too.
    explicit CaptureSession(const std::string& adapterName, int bufferMiB = LiveAdapterSource::kDefaultBufferMiB,
                            std::shared_ptr<TlsKeyLog> keyLog = nullptr, CaptureLimits limits = {});

    // Replays a pcap or pcapng capture: a file, a FIFO, or standard input for "-". The packets' capture
    // times are the clock. The own addresses are the given ones, else for each IP version the sender of
    // its first GET request. The replay starts once a detection sink is installed, so nothing in it is
    // missed. Nothing (and *error set) when the capture cannot be opened, or a regular file is no capture
    // or holds frames of a link type that cannot be read; a stream that turns out so ends the session
    // with EndError() set.
    static std::unique_ptr<CaptureSession> OpenFile(const std::string& path, const OwnAddresses& ownAddresses,
                                                    std::string* error, std::shared_ptr<TlsKeyLog> keyLog = nullptr,
                                                    CaptureLimits limits = {});

    // Stops the thread at once, even one waiting for a silent stream, closes the source and drops all state.
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // Stops the capture thread at once, also one waiting for a silent stream, and waits for it; the
    // figures and EndError() stay readable. Called by the destructor too.
    void Stop();

    // Where detections go, from now on; it must outlive the session's thread (or be replaced by null
    // first). A replay waits for it.
    void SetDetectionSink(DetectionSink* sink);
    // Every packet read from now on is written into writer too, with the TLS secrets used for it; the
    // writer must outlive the capture thread. Set once, before the detection sink (a replay starts then).
    void SetFileWriter(std::shared_ptr<CaptureFileWriter> writer);
    // Called on the capture thread right after Finished() turns true (at once when it is true already),
    // so that a waiter needs no polling. It may be called twice and must only wake someone.
    void SetFinishedNotifier(std::function<void()> notifier);

    bool CaptureStarted() const { return started_; }
    // A sentence the user can act on; empty when the capture started.
    const std::string& StartError() const { return startError_; }
    // True once the capture thread has left its loop (stopped, read error or end of file), or when it
    // never ran. Every call into the sink has returned by then.
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
    // What every stage saw; meaningful once Finished().
    const PipelineTotals& Totals() const { return totals_; }
    // A replay whose capture carries TLS secrets reads TLS from then on: final once Finished().
    bool ReadsTls() const { return keyLog_ != nullptr; }
    const CaptureLimits& Limits() const { return limits_; }
    // A live capture's kernel figures, refreshed about once a second and when the capture ends;
    // nothing for replays. Any thread.
    std::optional<CaptureStatistics> Statistics() const;

    // A packet's capture time in milliseconds, its seconds clamped to a range (some 34,000 years either
    // side of 1970) in which no arithmetic on times can overflow.
    static int64_t CaptureMilliseconds(const timeval& time);

private:
    CaptureSession() = default;
    void StartThread();
    void Run();
    void ReadUntilStopped();
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int linkType) override;
    // A replay's capture carries TLS secrets: they join the key log (one is made when there is none).
    void HandleSecrets(std::span<const uint8_t> keyLogLines) override;
    // The decoder for the source's link type, when it has one for all packets; false, with the reason in
    // *error, when it cannot be read.
    bool ChooseDecoder(std::string* error);
    // The decoder for a packet of another link type than the last; false (and the replay refused from
    // here) when frames of that type cannot be read.
    bool ChangeDecoder(int linkType);
    void PublishStatistics(bool force);

    std::atomic<DetectionSink*> sink_{nullptr};
    std::shared_ptr<CaptureFileWriter> writerOwner_;
    std::atomic<CaptureFileWriter*> writer_{nullptr};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{true};
    std::unique_ptr<PacketSource> source_;
    FrameDecoder decoder_;
    int decoderLinkType_ = DLT_EN10MB;     // decoder_'s, or none once a link type was refused
    std::optional<int> refusedLinkType_;   // a packet's that cannot be read: the replay ends there
    CapturePipeline* pipeline_ = nullptr;  // the capture thread's, while it runs
    bool replay_ = false;
    bool started_ = false;
    bool loopbackAdapter_ = false;
    OwnAddresses ownAddresses_;
    std::string name_;
    std::string startError_;
    std::string endError_;
    PipelineTotals totals_;
    CaptureLimits limits_;
    std::shared_ptr<TlsKeyLog> keyLog_;
    mutable std::mutex statisticsMutex_;
    std::optional<CaptureStatistics> statistics_;
    std::chrono::steady_clock::time_point statisticsRead_{};
    std::mutex sinkMutex_;
    std::condition_variable sinkInstalled_;
    std::function<void()> finishedNotifier_;
    std::thread thread_;
};

}  // namespace tarnwick
