// Servers on 127.0.0.1 for the download tests: a small HTTP site and a scripted raw TCP peer.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick::test {

// Deterministic bytes for a body of the given size.
std::string SampleBody(size_t size);

// An HTTP server with a fixed set of pages:
//   /file.bin (kFileSize bytes, honours Range), /missing (404), /broken (500), /chunked (no Content-Length),
//   /redirect (302 to /file.bin), /secret (Basic auth "user"/"secret", else 401).
class HttpTestServer {
public:
    static constexpr size_t kFileSize = 200000;

    HttpTestServer();
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& path) const;
    // A request header of the last request, empty when it had none.
    std::string LastHeader(const std::string& name) const;
    int Requests() const { return requests_.load(); }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<int> requests_{0};
};

// Accepts one connection, reads the request header, then sends each step's bytes after its delay; then
// closes, or keeps the connection open and silent until destroyed.
class ScriptedTcpServer {
public:
    struct Step {
        std::string bytes;
        int delayMs = 0;
    };

    ScriptedTcpServer(std::vector<Step> script, bool holdOpen);
    ~ScriptedTcpServer();
    ScriptedTcpServer(const ScriptedTcpServer&) = delete;
    ScriptedTcpServer& operator=(const ScriptedTcpServer&) = delete;

    int Port() const { return port_; }
    std::string ReceivedRequest() const;

private:
    void Run(std::vector<Step> script, bool holdOpen);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex lock_;
    std::string request_;
    std::thread thread_;
};

// A loopback port with nothing listening on it.
int UnusedPort();

}  // namespace tarnwick::test
