// SPDX-License-Identifier: GPL-3.0-or-later
// A socket of this process's own fetches, known to the capture before it sends its first packet.
#pragma once

#include <cstdint>

namespace tarnwick {

// A client socket is bound to an ephemeral port and registered with OwnConnections before it connects; a
// listener is registered once it listens. Closing unregisters it (the registry keeps it known for a while,
// for the capture's late packets). Move-only; the destructor closes.
class OwnSocket {
public:
    OwnSocket() = default;
    ~OwnSocket();
    OwnSocket(OwnSocket&& other) noexcept;
    OwnSocket& operator=(OwnSocket&& other) noexcept;
    OwnSocket(const OwnSocket&) = delete;
    OwnSocket& operator=(const OwnSocket&) = delete;

    // A TCP socket of `family` (AF_INET, AF_INET6) for connecting out; `flags` are or-ed into the type
    // (SOCK_NONBLOCK...; SOCK_CLOEXEC always). False with errno set when a step failed.
    bool OpenClient(int family, int flags = 0);
    // A listening TCP socket on 127.0.0.1 with a port the system chooses. False with errno set.
    bool OpenLoopbackListener(int backlog);
    void Close();

    int Descriptor() const { return descriptor_; }
    uint16_t Port() const { return port_; }
    bool IsOpen() const { return descriptor_ >= 0; }

    // For a library that creates and closes its sockets through callbacks: the descriptor (-1 with errno
    // set on failure) and the registry's token, to be handed to CloseDescriptor.
    static int OpenClientDescriptor(int family, int type, int protocol, uint64_t& token);
    static int CloseDescriptor(int descriptor, uint64_t token);

private:
    void Adopt(int descriptor, uint64_t token);

    int descriptor_ = -1;
    uint16_t port_ = 0;
    uint64_t token_ = 0;
};

}  // namespace tarnwick
