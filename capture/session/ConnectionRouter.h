// Chooses the reader of each connection the capture thread meets: HTTP/1, HTTP/2 (h2c), or TLS with its
// decrypted HTTP/1 or HTTP/2 inside; every reader hands its requests and answers to the one sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "capture/http1/Http1ConnectionReader.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/message/HttpExchangeSink.h"
#include "capture/session/PipelineTotals.h"
#include "capture/stream/TcpReassembler.h"
#include "capture/tls/TlsConnection.h"
#include "capture/tls/TlsKeyLog.h"

namespace tarnwick {

class ConnectionRouter final : public ConnectionOpener {
public:
    // Bytes a connection's sides may send before the client's first bytes tell its protocol.
    static constexpr size_t kMaxUndecidedBytes = 16 * 1024;

    struct Context {
        HttpExchangeSink& sink;
        const CaptureLimits& limits;
        PipelineTotals& totals;  // its stage figures and limit hits are counted here
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
    std::unique_ptr<StreamReader> Tls(const ConnectionFacts& facts, std::span<const uint8_t> clientHello);

private:
    class Decider;

    Context context_;
    size_t tlsConnections_ = 0;  // decrypting now
};

}  // namespace tarnwick
