// SPDX-License-Identifier: GPL-3.0-or-later
// A socket of this process's own fetches, known to the capture before it sends its first packet.
#include "download/OwnSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "capture/session/OwnConnections.h"

namespace tarnwick {
namespace {

// The port the socket is bound to, in host order; 0 when it cannot be read.
uint16_t LocalPort(int descriptor) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

// Binds to port 0 of the family's wildcard address: the system picks the port now, so it can be registered
// before the connection's first packet; the source address is still chosen by the route at connect time.
bool BindEphemeral(int descriptor, int family) {
    if (family == AF_INET) {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        return ::bind(descriptor, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    }
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_any;
    return ::bind(descriptor, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
}

void CloseKeepingErrno(int descriptor) {
    const int error = errno;
    ::close(descriptor);
    errno = error;
}

}  // namespace

OwnSocket::~OwnSocket() {
    Close();
}

OwnSocket::OwnSocket(OwnSocket&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      port_(std::exchange(other.port_, 0)),
      token_(std::exchange(other.token_, 0)) {}

OwnSocket& OwnSocket::operator=(OwnSocket&& other) noexcept {
    if (this != &other) {
        Close();
        descriptor_ = std::exchange(other.descriptor_, -1);
        port_ = std::exchange(other.port_, 0);
        token_ = std::exchange(other.token_, 0);
    }
    return *this;
}

int OwnSocket::OpenClientDescriptor(int family, int type, int protocol, uint64_t& token) {
    token = 0;
    const int descriptor = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (descriptor < 0) return -1;
    // Only internet sockets carry traffic the capture could see.
    if (family != AF_INET && family != AF_INET6) return descriptor;
    if (!BindEphemeral(descriptor, family)) {
        CloseKeepingErrno(descriptor);
        return -1;
    }
    const uint16_t port = LocalPort(descriptor);
    if (port == 0) {
        CloseKeepingErrno(descriptor);
        if (errno == 0) errno = EADDRNOTAVAIL;
        return -1;
    }
    token = OwnConnections::Process().Opened(port, OwnConnections::Role::Client);
    return descriptor;
}

int OwnSocket::CloseDescriptor(int descriptor, uint64_t token) {
    const int result = ::close(descriptor);
    if (token != 0) OwnConnections::Process().Closed(token);
    return result;
}

bool OwnSocket::OpenClient(int family, int flags) {
    Close();
    uint64_t token = 0;
    const int descriptor = OpenClientDescriptor(family, SOCK_STREAM | flags, 0, token);
    if (descriptor < 0) return false;
    Adopt(descriptor, token);
    return true;
}

void OwnSocket::Adopt(int descriptor, uint64_t token) {
    Close();
    descriptor_ = descriptor;
    token_ = token;
    port_ = LocalPort(descriptor);
}

bool OwnSocket::OpenLoopbackListener(int backlog) {
    Close();
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return false;
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) != 0 ||
        ::listen(descriptor, backlog) != 0) {
        CloseKeepingErrno(descriptor);
        return false;
    }
    descriptor_ = descriptor;
    port_ = LocalPort(descriptor);
    // Registered before anyone is told the port, so the first connection to it is already known.
    token_ = OwnConnections::Process().Opened(port_, OwnConnections::Role::Listener);
    return true;
}

void OwnSocket::Close() {
    if (descriptor_ < 0) return;
    CloseDescriptor(descriptor_, token_);
    descriptor_ = -1;
    port_ = 0;
    token_ = 0;
}

}  // namespace tarnwick
