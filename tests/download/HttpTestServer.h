// SPDX-License-Identifier: GPL-3.0-or-later
// A small HTTP site on 127.0.0.1 for the download tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "SampleData.h"

namespace tarnwick::test {

// An HTTP server with a fixed set of pages:
//   /file.bin (kFileSize bytes, honours Range), /missing (404), /broken (500), /chunked (no Content-Length),
//   /redirect (302 to /file.bin), /secret (Basic auth "user"/"secret", else 401), /empty (200 with no body),
//   /nocontent (204), /guarded (/file.bin's bytes for a request with the cookie kCookie and the referrer
//   kReferer, else 403).
class HttpTestServer {
public:
    static constexpr size_t kFileSize = 200000;
    static constexpr const char* kCookie = "session=s3cret";
    static constexpr const char* kReferer = "http://page.example/watch";

    HttpTestServer();
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& path) const;
    // A request header of the last request, empty when it had none.
    std::string LastHeader(const std::string& name) const;
    int Requests() const { return requests_.load(); }
    // The client's port of the last request, and when it came (wall clock, milliseconds).
    int LastClientPort() const;
    int64_t LastRequestTimeMs() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;
    std::atomic<int> requests_{0};
};

}  // namespace tarnwick::test
