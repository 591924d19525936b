// SPDX-License-Identifier: GPL-3.0-or-later
// A real TLS conversation between an OpenSSL client and server in memory, for feeding the decryption.
#include "tests/capture/TlsTestSession.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <tuple>

namespace tarnwick::testing {

namespace {

struct Credentials {
    EVP_PKEY* key;
    X509* certificate;
};

Credentials SelfSigned(EVP_PKEY* key) {
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), 0);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("videohost.test"), -1,
                               -1, 0);
    X509_set_issuer_name(certificate, name);
    X509_sign(certificate, key, EVP_sha256());
    return {key, certificate};
}

// Made once per process: an RSA key takes a while.
const Credentials& RsaCredentials() {
    static const Credentials credentials = SelfSigned(EVP_RSA_gen(2048));
    return credentials;
}
const Credentials& EcCredentials() {
    static const Credentials credentials = SelfSigned(EVP_EC_gen("P-256"));
    return credentials;
}

void KeepKeyLogLine(const SSL* ssl, const char* line) {
    auto* keyLog = static_cast<std::string*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
    keyLog->append(line).append("\n");
}

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned int inLength, void*) {
    // The first protocol the client offers.
    if (inLength == 0 || in[0] + 1u > inLength) return SSL_TLSEXT_ERR_NOACK;
    *out = in + 1;
    *outLength = in[0];
    return SSL_TLSEXT_ERR_OK;
}

}  // namespace

struct TlsTestSession::Impl {
    SSL_CTX* clientContext = nullptr;
    SSL_CTX* serverContext = nullptr;
    SSL* client = nullptr;
    SSL* server = nullptr;
    BIO* clientNetwork = nullptr;  // what the client writes comes out here
    BIO* serverNetwork = nullptr;
    std::string keyLog;
};

TlsTestSession::TlsTestSession(const TlsTestOptions& options) : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.clientContext = SSL_CTX_new(TLS_client_method());
    s.serverContext = SSL_CTX_new(TLS_server_method());
    for (SSL_CTX* context : {s.clientContext, s.serverContext}) {
        const int version = options.tls13 ? TLS1_3_VERSION : TLS1_2_VERSION;
        SSL_CTX_set_min_proto_version(context, version);
        SSL_CTX_set_max_proto_version(context, version);
        SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
        if (!options.suites.empty()) {
            if (options.tls13)
                SSL_CTX_set_ciphersuites(context, options.suites.c_str());
            else
                SSL_CTX_set_cipher_list(context, options.suites.c_str());
        }
    }
    SSL_CTX_set_app_data(s.clientContext, &s.keyLog);
    SSL_CTX_set_keylog_callback(s.clientContext, KeepKeyLogLine);
    for (const Credentials* credentials : {&RsaCredentials(), &EcCredentials()}) {
        SSL_CTX_use_certificate(s.serverContext, credentials->certificate);
        SSL_CTX_use_PrivateKey(s.serverContext, credentials->key);
    }
    SSL_CTX_set_dh_auto(s.serverContext, 1);
    SSL_CTX_set_alpn_select_cb(s.serverContext, SelectAlpn, nullptr);
    if (options.helloRetry) {
        // The client's key share is for X25519 only; the server takes only P-256 and must ask again.
        SSL_CTX_set1_groups_list(s.clientContext, "X25519:P-256");
        SSL_CTX_set1_groups_list(s.serverContext, "P-256");
    }

    s.client = SSL_new(s.clientContext);
    s.server = SSL_new(s.serverContext);
    SSL_set_verify(s.client, SSL_VERIFY_NONE, nullptr);
    if (!options.serverName.empty()) SSL_set_tlsext_host_name(s.client, options.serverName.c_str());
    if (!options.clientAlpn.empty()) {
        std::vector<unsigned char> wire;
        for (const auto& protocol : options.clientAlpn) {
            wire.push_back(static_cast<unsigned char>(protocol.size()));
            wire.insert(wire.end(), protocol.begin(), protocol.end());
        }
        SSL_set_alpn_protos(s.client, wire.data(), static_cast<unsigned>(wire.size()));
    }
    BIO *clientInternal = nullptr, *serverInternal = nullptr;
    BIO_new_bio_pair(&clientInternal, 1 << 20, &s.clientNetwork, 1 << 20);
    BIO_new_bio_pair(&serverInternal, 1 << 20, &s.serverNetwork, 1 << 20);
    SSL_set_bio(s.client, clientInternal, clientInternal);
    SSL_set_bio(s.server, serverInternal, serverInternal);
    SSL_set_connect_state(s.client);
    SSL_set_accept_state(s.server);
}

TlsTestSession::~TlsTestSession() {
    Impl& s = *impl_;
    SSL_free(s.client);
    SSL_free(s.server);
    BIO_free(s.clientNetwork);
    BIO_free(s.serverNetwork);
    SSL_CTX_free(s.clientContext);
    SSL_CTX_free(s.serverContext);
}

const std::string& TlsTestSession::KeyLog() const {
    return impl_->keyLog;
}

std::string TlsTestSession::NegotiatedCipher() const {
    return SSL_get_cipher_name(impl_->client);
}

// Moves what each side wrote to the other, recording it on the way.
void TlsTestSession::Pump() {
    Impl& s = *impl_;
    for (bool moved = true; moved;) {
        moved = false;
        for (auto [from, to, direction] :
             {std::tuple{s.clientNetwork, s.serverNetwork, StreamDirection::ClientToServer},
              std::tuple{s.serverNetwork, s.clientNetwork, StreamDirection::ServerToClient}}) {
            uint8_t buffer[1 << 16];
            const int got = BIO_read(from, buffer, sizeof buffer);
            if (got <= 0) continue;
            wire_.push_back({direction, std::vector<uint8_t>(buffer, buffer + got)});
            BIO_write(to, buffer, got);
            moved = true;
        }
    }
}

bool TlsTestSession::Handshake() {
    Impl& s = *impl_;
    for (int round = 0; round < 20; ++round) {
        const int client = SSL_do_handshake(s.client);
        const int server = SSL_do_handshake(s.server);
        Pump();
        if (client == 1 && server == 1) {
            // Lets the client take the server's last handshake messages (and TLS 1.3 tickets, none here).
            uint8_t none[1];
            SSL_read(s.client, none, 0);
            SSL_read(s.server, none, 0);
            Pump();
            return true;
        }
    }
    return false;
}

void TlsTestSession::ClientSends(const std::string& text) {
    SSL_write(impl_->client, text.data(), static_cast<int>(text.size()));
    Pump();
    std::string sink(text.size(), '\0');
    for (size_t got = 0; got < text.size();) {
        const int read = SSL_read(impl_->server, sink.data(), static_cast<int>(sink.size()));
        if (read <= 0) break;
        got += static_cast<size_t>(read);
    }
    Pump();
}

void TlsTestSession::ServerSends(const std::string& text) {
    SSL_write(impl_->server, text.data(), static_cast<int>(text.size()));
    Pump();
    std::string sink(text.size(), '\0');
    for (size_t got = 0; got < text.size();) {
        const int read = SSL_read(impl_->client, sink.data(), static_cast<int>(sink.size()));
        if (read <= 0) break;
        got += static_cast<size_t>(read);
    }
    Pump();
}

void TlsTestSession::UpdateKey(StreamDirection by) {
    SSL* ssl = by == StreamDirection::ClientToServer ? impl_->client : impl_->server;
    SSL_key_update(ssl, SSL_KEY_UPDATE_NOT_REQUESTED);
    SSL_do_handshake(ssl);
    Pump();
}

}  // namespace tarnwick::testing
