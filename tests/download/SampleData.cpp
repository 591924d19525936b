// SPDX-License-Identifier: GPL-3.0-or-later
// Deterministic test bodies and free loopback ports.
#include "SampleData.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

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
