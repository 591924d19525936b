// Servers on 127.0.0.1 for the download tests: a small HTTP site and a scripted raw TCP peer.
#include "LoopbackServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <httplib.h>
#include <map>

namespace tarnwick::test {

std::string SampleBody(size_t size) {
    std::string body(size, '\0');
    uint32_t state = 2463534242u;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        body[i] = static_cast<char>(state & 0xFF);
    }
    return body;
}

struct HttpTestServer::Impl {
    httplib::Server server;
    mutable std::mutex lock;
    std::map<std::string, std::string> lastHeaders;
};

HttpTestServer::HttpTestServer() : impl_(std::make_unique<Impl>()) {
    auto& s = impl_->server;
    s.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
        std::lock_guard lock(impl_->lock);
        impl_->lastHeaders.clear();
        for (const auto& [name, value] : request.headers) impl_->lastHeaders[name] = value;
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
    s.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/file.bin", 302);
    });
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

std::string HttpTestServer::LastHeader(const std::string& name) const {
    std::lock_guard lock(impl_->lock);
    for (const auto& [key, value] : impl_->lastHeaders) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
    }
    return {};
}

ScriptedTcpServer::ScriptedTcpServer(std::vector<Step> script, bool holdOpen) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t size = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script = std::move(script), holdOpen]() mutable { Run(std::move(script), holdOpen); });
}

ScriptedTcpServer::~ScriptedTcpServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
}

std::string ScriptedTcpServer::ReceivedRequest() const {
    std::lock_guard lock(lock_);
    return request_;
}

void ScriptedTcpServer::Run(std::vector<Step> script, bool holdOpen) {
    auto waitFor = [this](int fd, short events) {
        while (!stop_) {
            pollfd p{fd, events, 0};
            if (::poll(&p, 1, 50) > 0) return true;
        }
        return false;
    };
    if (!waitFor(listener_, POLLIN)) return;
    int peer = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (peer < 0) return;
    int one = 1;
    ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536 && waitFor(peer, POLLIN)) {
        ssize_t n = ::recv(peer, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
    }
    {
        std::lock_guard lock(lock_);
        request_ = request;
    }
    for (const Step& step : script) {
        for (int waited = 0; waited < step.delayMs && !stop_; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        size_t sent = 0;
        while (sent < step.bytes.size() && !stop_) {
            ssize_t n = ::send(peer, step.bytes.data() + sent, step.bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
    }
    while (holdOpen && !stop_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::close(peer);
}

int UnusedPort() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(s);  // bound but never listening: connections to it are refused
    return ntohs(address.sin_port);
}

}  // namespace tarnwick::test
