// SPDX-License-Identifier: GPL-3.0-or-later
// The proxy on 127.0.0.1 that ffmpeg fetches a stream through, so that its connections are our own ones.
#include "download/LoopbackRelay.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "download/HttpResponseReader.h"
#include "download/ProxyRequest.h"

namespace tarnwick {
namespace {

constexpr int kAcceptSliceMs = 100;
constexpr size_t kCopyBlock = 64 * 1024;

// One end of a relayed exchange: a plain socket, or TLS over it.
struct Channel {
    int descriptor = -1;
    SSL* tls = nullptr;

    // Bytes read (> 0), 0 at the end, < 0 on a failure or a timeout.
    ssize_t Read(char* data, size_t size) const {
        if (!tls) {
            for (;;) {
                const ssize_t got = ::recv(descriptor, data, size, 0);
                if (got < 0 && errno == EINTR) continue;
                return got;
            }
        }
        size_t got = 0;
        if (SSL_read_ex(tls, data, size, &got) == 1) return static_cast<ssize_t>(got);
        return SSL_get_error(tls, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }

    bool WriteAll(const char* data, size_t size) const {
        while (size > 0) {
            size_t sent = 0;
            if (tls) {
                if (SSL_write_ex(tls, data, size, &sent) != 1) return false;
            } else {
                const ssize_t n = ::send(descriptor, data, size, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                sent = static_cast<size_t>(n);
            }
            data += sent;
            size -= sent;
        }
        return true;
    }
    bool WriteAll(const std::string& text) const { return WriteAll(text.data(), text.size()); }
};

// Frees a TLS connection, telling the peer it ends when it still can.
class TlsHolder {
public:
    explicit TlsHolder(SSL* tls) : tls_(tls) {}
    ~TlsHolder() {
        if (!tls_) return;
        SSL_shutdown(tls_);
        SSL_free(tls_);
    }
    TlsHolder(const TlsHolder&) = delete;
    TlsHolder& operator=(const TlsHolder&) = delete;
    SSL* get() const { return tls_; }

private:
    SSL* tls_;
};

// Reads a request head up to its blank line; false when it is longer than allowed or the peer stops first.
bool ReadHead(const Channel& channel, std::string& head) {
    char block[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        if (head.size() >= ProxyRequest::kMaxHeadBytes) return false;
        const size_t room = std::min(sizeof block, ProxyRequest::kMaxHeadBytes - head.size());
        const ssize_t got = channel.Read(block, room);
        if (got <= 0) return false;
        head.append(block, static_cast<size_t>(got));
    }
    head.resize(head.find("\r\n\r\n") + 4);
    return true;
}

std::string Answer(const std::string& status) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// Copies the server's answer to ffmpeg unchanged until it is complete or the server ends the connection: a
// server that keeps the connection open despite "Connection: close" does not hold the copy up.
void CopyAnswer(const Channel& server, const Channel& client) {
    HttpResponseReader framing([](const HttpResponseReader&) { return true; },
                               [](const char*, size_t) { return true; });
    std::vector<char> block(kCopyBlock);
    for (;;) {
        const ssize_t got = server.Read(block.data(), block.size());
        if (got <= 0) return;
        if (!client.WriteAll(block.data(), static_cast<size_t>(got))) return;
        const HttpResponseReader::State state = framing.Feed(block.data(), static_cast<size_t>(got));
        if (state == HttpResponseReader::State::Complete || state == HttpResponseReader::State::Failed) return;
    }
}

std::string TlsFailure() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "the connection ended during the handshake";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// A certificate for the relay's side of ffmpeg's TLS: made afresh for every relay, its key never leaves memory.
bool UseThrowAwayCertificate(SSL_CTX* context) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* certificate = X509_new();
    bool made = key && certificate;
    if (made) {
        unsigned char serial[8] = {};
        RAND_bytes(serial, sizeof serial);
        serial[0] &= 0x7F;
        BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
        made = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != nullptr;
        BN_free(number);
        X509_NAME* name = X509_get_subject_name(certificate);
        made = made && X509_set_version(certificate, 2) == 1 &&
               X509_gmtime_adj(X509_getm_notBefore(certificate), -3600) != nullptr &&
               X509_gmtime_adj(X509_getm_notAfter(certificate), 7 * 24 * 3600) != nullptr &&
               X509_set_pubkey(certificate, key) == 1 &&
               X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>("Tarnwick loopback relay"), -1, -1,
                                          0) == 1 &&
               X509_set_issuer_name(certificate, name) == 1 && X509_sign(certificate, key, EVP_sha256()) > 0 &&
               SSL_CTX_use_certificate(context, certificate) == 1 && SSL_CTX_use_PrivateKey(context, key) == 1;
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    return made;
}

bool IsAddress(const std::string& host) {
    unsigned char bytes[16];
    return inet_pton(AF_INET, host.c_str(), bytes) == 1 || inet_pton(AF_INET6, host.c_str(), bytes) == 1;
}

}  // namespace

LoopbackRelay::LoopbackRelay() = default;

LoopbackRelay::~LoopbackRelay() {
    Stop();
    SSL_CTX_free(serverContext_);
    SSL_CTX_free(localContext_);
}

std::string LoopbackRelay::ProxyUrl() const {
    return "http://127.0.0.1:" + std::to_string(Port());
}

std::string LoopbackRelay::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string LoopbackRelay::ServerProblem() const {
    std::lock_guard lock(mutex_);
    return serverProblem_;
}

void LoopbackRelay::NoteProblem(const std::string& problem) {
    std::lock_guard lock(mutex_);
    if (serverProblem_.empty()) serverProblem_ = problem;
}

bool LoopbackRelay::MakeContexts() {
    serverContext_ = SSL_CTX_new(TLS_client_method());
    localContext_ = SSL_CTX_new(TLS_server_method());
    if (!serverContext_ || !localContext_) {
        error_ = "cannot set up TLS: " + TlsFailure();
        return false;
    }
    SSL_CTX_set_min_proto_version(serverContext_, TLS1_2_VERSION);
    SSL_CTX_set_verify(serverContext_, SSL_VERIFY_PEER, nullptr);
    // A server that closes without TLS's closing message ends its answer all the same; the framing of the
    // answer, which ffmpeg reads, tells whether it was whole.
    SSL_CTX_set_options(serverContext_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    const bool loaded = caBundle.empty()
                            ? SSL_CTX_set_default_verify_paths(serverContext_) == 1
                            : SSL_CTX_load_verify_locations(serverContext_, caBundle.c_str(), nullptr) == 1;
    if (!loaded) {
        error_ = "cannot read the CA certificates" + (caBundle.empty() ? std::string() : " at " + caBundle) + ": " +
                 TlsFailure();
        return false;
    }
    SSL_CTX_set_min_proto_version(localContext_, TLS1_2_VERSION);
    SSL_CTX_set_options(localContext_, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (!UseThrowAwayCertificate(localContext_)) {
        error_ = "cannot make the relay's certificate: " + TlsFailure();
        return false;
    }
    return true;
}

bool LoopbackRelay::Start() {
    if (acceptThread_.joinable()) return true;
    stopping_ = false;
    if (!serverContext_ && !MakeContexts()) return false;
    if (!listener_.OpenLoopbackListener(kMaxConnections)) {
        std::lock_guard lock(mutex_);
        error_ = std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno);
        return false;
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void LoopbackRelay::Stop() {
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    std::list<Worker> workers;
    {
        std::lock_guard lock(mutex_);
        for (int descriptor : liveDescriptors_) ::shutdown(descriptor, SHUT_RDWR);
        workers.splice(workers.end(), workers_);
    }
    for (Worker& worker : workers) worker.thread.join();
    listener_.Close();
}

void LoopbackRelay::Track(int descriptor, bool live) {
    std::lock_guard lock(mutex_);
    if (live) {
        liveDescriptors_.insert(descriptor);
        // Stop() may have swept the descriptors before this one was known.
        if (stopping_) ::shutdown(descriptor, SHUT_RDWR);
    } else {
        liveDescriptors_.erase(descriptor);
    }
}

void LoopbackRelay::ApplyTimeouts(int descriptor) const {
    if (stallLimitMs == 0) return;
    timeval limit{};
    limit.tv_sec = stallLimitMs / 1000;
    limit.tv_usec = static_cast<suseconds_t>(stallLimitMs % 1000) * 1000;
    // Reads and writes, and on Linux the connect as well, give up after this long without progress.
    setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void LoopbackRelay::AcceptLoop() {
    while (!stopping_) {
        {
            // Finished connections are joined here, so the list stays as short as the live ones.
            std::lock_guard lock(mutex_);
            for (auto worker = workers_.begin(); worker != workers_.end();) {
                if (!worker->done) {
                    ++worker;
                    continue;
                }
                worker->thread.join();
                worker = workers_.erase(worker);
            }
        }
        pollfd waiting{listener_.Descriptor(), POLLIN, 0};
        if (::poll(&waiting, 1, kAcceptSliceMs) <= 0) continue;
        const int client = ::accept4(listener_.Descriptor(), nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        std::lock_guard lock(mutex_);
        if (active_ >= kMaxConnections || stopping_) {
            const std::string busy = Answer("503 Service Unavailable");
            (void)::send(client, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(client);
            continue;
        }
        ++active_;
        liveDescriptors_.insert(client);
        workers_.emplace_back();
        Worker& worker = workers_.back();
        worker.thread = std::thread([this, client, &worker] {
            Serve(client);
            std::lock_guard lock(mutex_);
            liveDescriptors_.erase(client);
            ::close(client);
            --active_;
            worker.done = true;
        });
    }
}

bool LoopbackRelay::ConnectToServer(const std::string& host, uint16_t port, OwnSocket& server) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string where = host + " port " + std::to_string(port);
    const int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (status != 0) {
        NoteProblem("cannot find the server " + host + ": " + gai_strerror(status));
        return false;
    }
    int lastError = ECONNREFUSED;
    bool connected = false;
    for (addrinfo* address = found; address && !connected && !stopping_; address = address->ai_next) {
        OwnSocket attempt;
        if (!attempt.OpenClient(address->ai_family)) {
            lastError = errno;
            continue;
        }
        ApplyTimeouts(attempt.Descriptor());
        Track(attempt.Descriptor(), true);
        int result;
        do {
            result = ::connect(attempt.Descriptor(), address->ai_addr, address->ai_addrlen);
        } while (result != 0 && errno == EINTR);
        if (result != 0) lastError = errno;
        Track(attempt.Descriptor(), false);
        if (result == 0) {
            server = std::move(attempt);
            connected = true;
        }
    }
    ::freeaddrinfo(found);
    if (!connected && !stopping_) NoteProblem("cannot connect to " + where + ": " + std::strerror(lastError));
    return connected;
}

void LoopbackRelay::Serve(int client) {
    ApplyTimeouts(client);
    const Channel plainClient{client, nullptr};
    std::string head;
    if (!ReadHead(plainClient, head)) return;
    const ProxyRequest request = ProxyRequest::Parse(head);
    if (request.TargetForm() != ProxyRequest::Form::Absolute && request.TargetForm() != ProxyRequest::Form::Connect) {
        plainClient.WriteAll(Answer("400 Bad Request"));
        return;
    }

    OwnSocket server;
    if (!ConnectToServer(request.Host(), request.Port(), server)) {
        plainClient.WriteAll(Answer("502 Bad Gateway"));
        return;
    }
    Track(server.Descriptor(), true);
    struct Untrack {
        LoopbackRelay* relay;
        int descriptor;
        ~Untrack() { relay->Track(descriptor, false); }
    } untrack{this, server.Descriptor()};

    if (request.TargetForm() == ProxyRequest::Form::Absolute) {
        const Channel plainServer{server.Descriptor(), nullptr};
        if (!plainServer.WriteAll(request.ForServer(captured.For(request.Host())))) return;
        CopyAnswer(plainServer, plainClient);
        return;
    }

    // CONNECT: the server's TLS first, so that a server that cannot be trusted is refused before ffmpeg is
    // told that the way is open.
    TlsHolder serverTls(SSL_new(serverContext_));
    if (!serverTls.get() || SSL_set_fd(serverTls.get(), server.Descriptor()) != 1) return;
    if (IsAddress(request.Host())) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(serverTls.get()), request.Host().c_str());
    } else {
        SSL_set_tlsext_host_name(serverTls.get(), request.Host().c_str());
        SSL_set1_host(serverTls.get(), request.Host().c_str());
    }
    if (SSL_connect(serverTls.get()) != 1) {
        const long verified = SSL_get_verify_result(serverTls.get());
        const std::string where = request.Host() + " port " + std::to_string(request.Port());
        if (verified != X509_V_OK) {
            ERR_clear_error();
            NoteProblem("the certificate of " + where + " cannot be trusted (" +
                        X509_verify_cert_error_string(verified) + ")");
        } else if (!stopping_) {
            NoteProblem("no secure connection to " + where + ": " + TlsFailure());
        }
        plainClient.WriteAll(Answer("502 Bad Gateway"));
        return;
    }
    if (!plainClient.WriteAll("HTTP/1.1 200 Connection established\r\n\r\n")) return;
    TlsHolder clientTls(SSL_new(localContext_));
    if (!clientTls.get() || SSL_set_fd(clientTls.get(), client) != 1 || SSL_accept(clientTls.get()) != 1) {
        ERR_clear_error();
        return;
    }
    const Channel secureClient{client, clientTls.get()};
    const Channel secureServer{server.Descriptor(), serverTls.get()};
    std::string innerHead;
    if (!ReadHead(secureClient, innerHead)) return;
    const ProxyRequest inner = ProxyRequest::Parse(innerHead);
    if (inner.TargetForm() != ProxyRequest::Form::Origin) {
        secureClient.WriteAll(Answer("400 Bad Request"));
        return;
    }
    // The fields are chosen by the host the connection goes to, not by what the request inside says.
    if (!secureServer.WriteAll(inner.ForServer(captured.For(request.Host())))) return;
    CopyAnswer(secureServer, secureClient);
}

}  // namespace tarnwick
