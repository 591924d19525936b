// Watches the TCP traffic of one adapter (or replays a capture file) on a thread of its own.
#pragma once

#include <pcap/pcap.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "capture/detect/DetectedVideo.h"
#include "capture/detect/IgnoreList.h"
#include "capture/detect/PendingRequest.h"
#include "capture/detect/PendingRequestTable.h"

namespace tarnwick {

// Receives each detected video on the capture thread. No context pointer: receivers reach their
// window through a process-wide pointer.
using DetectionCallback = void (*)(DetectedVideo);

class CaptureSession {
public:
    // Opens the adapter for live capture of "tcp" and starts the capture thread. When that fails,
    // CaptureStarted() is false and StartError() says why; the session can still be destroyed at once.
    explicit CaptureSession(const std::string& adapterName);

    // Replays a pcap or pcapng file; the packets' capture times are the clock. The own address is
    // the given one, else the sender of the first TCP payload that begins with "GET ". The replay
    // starts once a detection callback is installed, so nothing in the file is missed.
    // Nothing (and *error set) when the file cannot be read as a capture.
    static std::unique_ptr<CaptureSession> OpenFile(const std::string& path, std::optional<Ipv4Address> ownAddress,
                                                    std::string* error);

    // Stops the thread (within about one read time-out), closes the adapter and drops all state.
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

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
    // The adapter's name, or the capture file's name without its folder.
    const std::string& Name() const { return name_; }
    const Ipv4Address& OwnAddress() const { return ownAddress_; }

private:
    CaptureSession() = default;
    void StartThread();
    void Run();
    void Deliver(DetectedVideo video);

    std::atomic<DetectionCallback> callback_{nullptr};
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{true};
    pcap_t* handle_ = nullptr;
    bool ethernet_ = true;  // frames of other link types are skipped, never misread
    bool replay_ = false;
    bool started_ = false;
    Ipv4Address ownAddress_{};
    std::string name_;
    std::string startError_;
    PendingRequestTable pending_;
    IgnoreList ignored_;
    std::mutex callbackMutex_;
    std::condition_variable callbackInstalled_;
    std::function<void()> finishedNotifier_;
    std::thread thread_;
};

}  // namespace tarnwick
