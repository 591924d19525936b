// SPDX-License-Identifier: GPL-3.0-or-later
// Chooses the reader of each connection the capture thread meets: HTTP/1, HTTP/2 (h2c), or TLS with its
// decrypted HTTP/1 or HTTP/2 inside; every reader hands its requests and answers to the one sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "capture/http1/Http1ConnectionReader.h"
#include "capture/http2/Http2StreamReader.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/message/HttpExchangeSink.h"
#include "capture/session/PipelineTotals.h"
#include "capture/stream/TcpReassembler.h"
#include "capture/tls/TlsConnection.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

class ConnectionRouter final : public ConnectionOpener, private Http1ConnectionReader::Http2Switch {
public:
    // Bytes a connection's sides may send before the client's first bytes tell its protocol.
    static constexpr size_t kMaxUndecidedBytes = 16 * 1024;

    struct Context {
        HttpExchangeSink& sink;
        const CaptureLimits& limits;
        PipelineTotals& totals;       // its stage figures and limit hits are counted here
        TlsKeyLog* keyLog = nullptr;  // without one, TLS connections are counted, not read
        ByteBudget& messages;
        ByteBudget& http2;
        ByteBudget& tls;
    };

    explicit ConnectionRouter(Context context) : context_(context) {}

    std::unique_ptr<StreamReader> Open(const ConnectionStart& start) override;

    // What the client's first bytes of a connection begin; nothing while too few have come.
    enum class Protocol : uint8_t { Http1, Http2, Tls, Other };
    static std::optional<Protocol> ProtocolOf(std::span<const uint8_t> clientBytes);

    // The readers, for a connection whose protocol is known. inStep: read from the connection's start.
    std::unique_ptr<StreamReader> Http1(const ConnectionFacts& facts, bool inStep);
    std::unique_ptr<StreamReader> Http2(const ConnectionFacts& facts);
    std::unique_ptr<TlsConnection> Tls(const ConnectionFacts& facts, std::span<const uint8_t> clientHello);

    // Ended TLS connections whose records wait for the key log are looked at again now and then;
    // nowMs: a capture time (a live capture's is the wall clock).
    void Tick(int64_t nowMs) {
        if (!lingering_.empty() && nowMs - lastTickMs_ >= kTickMs) Retry(nowMs);
    }
    // The capture ended: lingering connections get one last look, then their readers are told.
    void EndAll();
    void SetKeyLog(TlsKeyLog* keyLog) { context_.keyLog = keyLog; }

private:
    class Decider;
    static constexpr int64_t kTickMs = 250;

    void Linger(std::unique_ptr<TlsConnection> connection) { lingering_.push_back(std::move(connection)); }
    std::unique_ptr<StreamReader> SwitchToHttp2(const ConnectionFacts& facts,
                                                std::unique_ptr<HttpExchange> firstRequest,
                                                std::span<const uint8_t> clientSettings) override;
    void Retry(int64_t nowMs);
    Http2StreamReader::Context Http2Context(const ConnectionFacts& facts);
    Http1ConnectionReader::Context Http1Context(const ConnectionFacts& facts);

    Context context_;
    size_t tlsConnections_ = 0;  // decrypting now
    std::vector<std::unique_ptr<TlsConnection>> lingering_;
    HttpFields fields_;  // the HTTP/1 readers' heads are read into it, one at a time
    int64_t lastTickMs_ = INT64_MIN / 2;
};

}  // namespace tarnwick
