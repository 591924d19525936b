// SPDX-License-Identifier: GPL-3.0-or-later
// Servers on 127.0.0.1 that ask who is calling: a proxy that wants a password, an HTTPS site that wants
// a client certificate.
#pragma once

#include <memory>
#include <string>
#include <thread>

namespace tarnwick::test {

// An HTTP proxy that answers 407 (realm "corporate") until the request carries "agent"/"pass", then
// fetches nothing and answers any address with 1000 sample bytes.
class PasswordProxy {
public:
    PasswordProxy();
    ~PasswordProxy();
    PasswordProxy(const PasswordProxy&) = delete;
    PasswordProxy& operator=(const PasswordProxy&) = delete;

    int Port() const { return port_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;
};

// An HTTPS site with /file.bin (1000 sample bytes) that only answers a client presenting its client
// certificate. Makes its certificates with the openssl tool.
class CertificateDemandingServer {
public:
    static constexpr const char* kBundlePassPhrase = "owl";

    CertificateDemandingServer();
    ~CertificateDemandingServer();
    CertificateDemandingServer(const CertificateDemandingServer&) = delete;
    CertificateDemandingServer& operator=(const CertificateDemandingServer&) = delete;

    // False when no certificate could be made (no openssl tool).
    bool Ready() const { return port_ > 0; }
    std::string Url(const std::string& path) const;
    // The server's certificate, to be trusted by the client.
    std::string ServerCertificate() const;
    // The client's certificate and key in one PEM file, and as a PKCS#12 bundle locked with kBundlePassPhrase.
    std::string ClientPem() const;
    std::string ClientBundle() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;
};

}  // namespace tarnwick::test
