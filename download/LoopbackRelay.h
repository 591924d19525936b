// SPDX-License-Identifier: GPL-3.0-or-later
// The proxy on 127.0.0.1 that ffmpeg fetches a stream through, so that its connections are our own ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "config/DownloadStallLimit.h"
#include "download/CapturedRequestHeaders.h"
#include "download/OwnSocket.h"

struct ssl_ctx_st;

namespace tarnwick {

// ffmpeg is a child process: its sockets cannot be registered with the capture, so it is told to use this
// relay as its HTTP proxy (`-http_proxy`). The relay's listening port and every connection it opens to a
// server are registered. Each request gets a connection of its own, which the server is asked to close after
// its answer ("Connection: close"); the answer's bytes go back unchanged, then both connections close.
// A CONNECT (ffmpeg's way to an HTTPS server) is not tunnelled blindly: ffmpeg 5.1 checks the certificate of
// the first connection only, never of the playlist's segments, so the relay opens the server's TLS itself
// with the certificate and name checked, as every other download does, and speaks TLS to ffmpeg with a
// throw-away certificate of its own. The browser's fields are added to every request the relay sends, so
// they never appear on ffmpeg's command line, which every local user can read. Bounded: kMaxConnections at
// a time, request heads of ProxyRequest::kMaxHeadBytes, only GET. Nothing of the requests is logged.
class LoopbackRelay {
public:
    static constexpr int kMaxConnections = 16;

    LoopbackRelay();
    ~LoopbackRelay();
    LoopbackRelay(const LoopbackRelay&) = delete;
    LoopbackRelay& operator=(const LoopbackRelay&) = delete;

    // Set before Start.
    std::string caBundle;                          // CA certificates for HTTPS servers; empty: the system's store
    CapturedRequestHeaders captured;               // the browser's fields, sent again (see CapturedRequestHeaders::For)
    uint32_t stallLimitMs = kDefaultStallLimitMs;  // a connection on which nothing moves this long is closed

    // False when it cannot listen or read the CA certificates; Error() says why.
    bool Start();
    // Closes every connection and waits for them; also done by the destructor.
    void Stop();

    uint16_t Port() const { return listener_.Port(); }
    // "http://127.0.0.1:PORT", for ffmpeg's -http_proxy.
    std::string ProxyUrl() const;
    std::string Error() const;
    // The first server that could not be reached or whose certificate failed, and why; empty when none.
    std::string ServerProblem() const;

private:
    struct Worker {
        std::thread thread;
        bool done = false;
    };

    void AcceptLoop();
    void Serve(int client);
    // Connects to host:port through an own socket; false (and ServerProblem) when it cannot.
    bool ConnectToServer(const std::string& host, uint16_t port, OwnSocket& server);
    void NoteProblem(const std::string& problem);
    // Keeps the descriptor known to Stop(), which shuts it down to end a blocked read.
    void Track(int descriptor, bool live);
    void ApplyTimeouts(int descriptor) const;
    bool MakeContexts();

    OwnSocket listener_;
    ssl_ctx_st* serverContext_ = nullptr;  // TLS toward the servers, certificates checked
    ssl_ctx_st* localContext_ = nullptr;   // TLS toward ffmpeg, under the throw-away certificate
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::list<Worker> workers_;
    int active_ = 0;
    std::set<int> liveDescriptors_;
    std::string error_;
    std::string serverProblem_;
};

}  // namespace tarnwick
