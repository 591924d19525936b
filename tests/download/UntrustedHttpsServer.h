// SPDX-License-Identifier: GPL-3.0-or-later
// An HTTPS server on 127.0.0.1 whose certificate nobody trusts.
#pragma once

#include <memory>
#include <string>
#include <thread>

namespace tarnwick::test {

// An HTTPS server with /file.bin under a freshly made self-signed certificate that nobody trusts.
class UntrustedHttpsServer {
public:
    struct Options {
        // Served under "/" besides /file.bin.
        std::string folder;
        // The certificate names 127.0.0.1 as its address: a client told to trust CertificatePath() then
        // trusts this server.
        bool addressInCertificate = false;
    };

    UntrustedHttpsServer() : UntrustedHttpsServer(Options{}) {}
    explicit UntrustedHttpsServer(const Options& options);
    ~UntrustedHttpsServer();
    UntrustedHttpsServer(const UntrustedHttpsServer&) = delete;
    UntrustedHttpsServer& operator=(const UntrustedHttpsServer&) = delete;

    // False when no certificate could be made (no openssl tool).
    bool Ready() const { return port_ > 0; }
    std::string Url(const std::string& path) const;
    int Port() const { return port_; }
    std::string CertificatePath() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace tarnwick::test
