// SPDX-License-Identifier: GPL-3.0-or-later
// A small HTTP site on 127.0.0.1 for the download tests.
#include "HttpTestServer.h"

#include <httplib.h>
#include <strings.h>

#include <chrono>
#include <map>
#include <mutex>

namespace tarnwick::test {

struct HttpTestServer::Impl {
    httplib::Server server;
    mutable std::mutex lock;
    std::map<std::string, std::string> lastHeaders;
    int lastClientPort = 0;
    int64_t lastRequestTimeMs = 0;
};

HttpTestServer::HttpTestServer() : impl_(std::make_unique<Impl>()) {
    auto& s = impl_->server;
    s.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(impl_->lock);
        impl_->lastHeaders.clear();
        for (const auto& [name, value] : request.headers) impl_->lastHeaders[name] = value;
        impl_->lastClientPort = request.remote_port;
        impl_->lastRequestTimeMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        ++requests_;
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.Get("/file.bin", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(SampleBody(kFileSize), "video/x-flv");
    });
    s.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
        response.set_content("no such file", "text/plain");
    });
    s.Get("/broken", [](const httplib::Request&, httplib::Response& response) {
        response.status = 500;
        response.set_content("server trouble", "text/plain");
    });
    s.Get("/chunked", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("video/x-flv", [](size_t offset, httplib::DataSink& sink) {
            std::string body = SampleBody(kFileSize);
            if (offset < body.size()) {
                size_t n = std::min<size_t>(10000, body.size() - offset);
                sink.write(body.data() + offset, n);
            }
            if (offset + 10000 >= body.size()) sink.done();
            return true;
        });
    });
    s.Get("/redirect",
          [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/file.bin", 302); });
    s.Get("/secret", [](const httplib::Request& request, httplib::Response& response) {
        // "user:secret" in base64.
        if (request.get_header_value("Authorization") == "Basic dXNlcjpzZWNyZXQ=") {
            response.set_content(SampleBody(kFileSize), "video/x-flv");
            return;
        }
        response.status = 401;
        response.set_header("WWW-Authenticate", "Basic realm=\"videos\"");
        response.set_content("who are you", "text/plain");
    });
    s.Get("/empty",
          [](const httplib::Request&, httplib::Response& response) { response.set_content("", "video/x-flv"); });
    s.Get("/nocontent", [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
    s.Get("/guarded", [](const httplib::Request& request, httplib::Response& response) {
        if (request.get_header_value("Cookie").find(kCookie) == std::string::npos ||
            request.get_header_value("Referer") != kReferer) {
            response.status = 403;
            response.set_content("not for you", "text/plain");
            return;
        }
        response.set_content(SampleBody(kFileSize), "video/x-flv");
    });
    port_ = s.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { impl_->server.listen_after_bind(); });
    for (int i = 0; i < 500 && !impl_->server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

HttpTestServer::~HttpTestServer() {
    impl_->server.stop();
    thread_.join();
}

std::string HttpTestServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int HttpTestServer::LastClientPort() const {
    std::lock_guard lock(impl_->lock);
    return impl_->lastClientPort;
}

int64_t HttpTestServer::LastRequestTimeMs() const {
    std::lock_guard lock(impl_->lock);
    return impl_->lastRequestTimeMs;
}

std::string HttpTestServer::LastHeader(const std::string& name) const {
    std::lock_guard lock(impl_->lock);
    for (const auto& [key, value] : impl_->lastHeaders) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return {};
}

}  // namespace tarnwick::test
