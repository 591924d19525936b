// SPDX-License-Identifier: GPL-3.0-or-later
// A raw TCP peer on 127.0.0.1 that answers with scripted bytes.
#include "ScriptedTcpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace tarnwick::test {

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

}  // namespace tarnwick::test
