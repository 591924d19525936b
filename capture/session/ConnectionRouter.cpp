// SPDX-License-Identifier: GPL-3.0-or-later
// Chooses the reader of each connection the capture thread meets: HTTP/1, HTTP/2 (h2c), or TLS with its
// decrypted HTTP/1 or HTTP/2 inside; every reader hands its requests and answers to the one sink.
#include "capture/session/ConnectionRouter.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "capture/http1/Http1Head.h"
#include "capture/http2/Http2StreamReader.h"
#include "capture/session/RecycledBlocks.h"
#include "capture/tls/TlsHandshakeReader.h"
#include "capture/tls/TlsHello.h"

namespace tarnwick {

namespace {

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
// A client that sends less of the preface in its first bytes is not told apart.
constexpr size_t kPrefaceLine = 16;

std::string_view TextOf(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

PacketDirection Reversed(PacketDirection direction) {
    if (direction == PacketDirection::Incoming) return PacketDirection::Outgoing;
    if (direction == PacketDirection::Outgoing) return PacketDirection::Incoming;
    return direction;
}

// The server name a ClientHello record names, when the record is all there.
std::string ServerNameOf(std::span<const uint8_t> bytes) {
    if (bytes.size() < 9) return {};
    const size_t recordLength = static_cast<size_t>(bytes[3]) << 8 | bytes[4];
    const size_t messageLength = static_cast<size_t>(bytes[6]) << 16 | static_cast<size_t>(bytes[7]) << 8 | bytes[8];
    if (bytes.size() < 5 + recordLength || messageLength + 4 > recordLength) return {};
    TlsClientHello hello;
    if (!TlsClientHello::Parse(bytes.subspan(9, messageLength), hello)) return {};
    return hello.serverName;
}

}  // namespace

std::optional<ConnectionRouter::Protocol> ConnectionRouter::ProtocolOf(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    if (TlsConnection::StartsClientHello(bytes)) return Protocol::Tls;
    if (bytes.size() < 6 && bytes[0] == 0x16) return std::nullopt;
    const std::string_view text = TextOf(bytes);
    if (kPreface.substr(0, std::min(text.size(), kPreface.size())) == text.substr(0, kPreface.size()))
        return text.size() >= kPrefaceLine ? std::optional(Protocol::Http2) : std::nullopt;
    bool complete = false;
    if (Http1Head::MayBeginRequest(text, complete)) return complete ? std::optional(Protocol::Http1) : std::nullopt;
    return Protocol::Other;
}

// Stands for a connection's reader until its protocol is known. At a connection's start the client's
// first bytes tell, and what either side sent before is held and handed to the reader chosen. A
// connection met in its middle is read from the first delivery that begins something readable (a
// request, an answer, a ClientHello, the HTTP/2 preface); that also tells which side is the client,
// and the reader is given the sides in that order.
class ConnectionRouter::Decider final : public StreamReader {
public:
    Decider(ConnectionRouter& router, const ConnectionStart& start)
        : router_(router),
          state_(std::in_place_type<Undecided>,
                 ConnectionFacts{start.key, "http", {}, HttpTransport::Http1, start.clientLinkDirection}),
          atStart_(start.openingSeen) {}
    ~Decider() override { Release(); }
    // One is made for every connection, and thousands may be open.
    static void* operator new(size_t size) { return RecycledBlocks<Decider>::Take(size); }
    static void operator delete(void* block, size_t size) noexcept { RecycledBlocks<Decider>::Give(block, size); }

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) override {
        if (reader_) return reader_->OnData(Ordered(direction), bytes, timeMs);
        if (done_) return;
        if (atStart_)
            Hold(direction, bytes, timeMs);
        else
            Watch(direction, bytes, timeMs);
    }
    void OnGap(StreamDirection direction, uint64_t count) override {
        if (reader_) return reader_->OnGap(Ordered(direction), count);
        // The start is lost: the connection is read from the next delivery that begins something.
        atStart_ = false;
        Release();
    }
    void OnEnd(StreamEnd how) override {
        if (!reader_) return;
        reader_->OnEnd(how);
        // A TLS connection whose records wait for their secrets outlives its connection for a while.
        if (tls_ && tls_->Lingering()) {
            owned_.release();
            reader_ = nullptr;
            router_.Linger(std::unique_ptr<TlsConnection>(tls_));
        }
    }
    bool Done() const override { return reader_ ? reader_->Done() : done_; }
    // Undecided, it may hold the start of a connection that cannot be read without it.
    bool Resumable() const override { return reader_ && reader_->Resumable(); }
    uint64_t TakeSkip(StreamDirection direction) override {
        return reader_ ? reader_->TakeSkip(Ordered(direction)) : 0;
    }

private:
    StreamDirection Ordered(StreamDirection direction) const { return swapped_ ? Opposite(direction) : direction; }

    void Hold(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) {
        // Most clients' first delivery tells by itself: it goes to the reader as it is, never copied.
        std::string* held = std::get<Undecided>(state_).held;
        if (direction == StreamDirection::ClientToServer && held[0].empty() && held[1].empty()) {
            const auto protocol = ProtocolOf(bytes);
            if (protocol && *protocol != Protocol::Other) {
                Choose(*protocol, bytes, true);
                if (reader_) {
                    reader_->OnData(StreamDirection::ClientToServer, bytes, timeMs);
                    return;
                }
                if (done_) return;
            }
        }
        std::string& mine = held[IndexOf(direction)];
        if (mine.size() + bytes.size() > kMaxUndecidedBytes || !router_.context_.messages.Take(bytes.size())) {
            // Whatever this is, it is not what a client of a readable protocol sends first.
            done_ = true;
            Release();
            return;
        }
        charged_ += bytes.size();
        mine.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const auto protocol = ProtocolOf({reinterpret_cast<const uint8_t*>(held[0].data()), held[0].size()});
        if (!protocol) return;
        // An HTTP/1 reader takes the place of what is held: the bytes leave it first.
        std::string first = std::move(held[0]);
        std::string second = std::move(held[1]);
        Choose(*protocol, {reinterpret_cast<const uint8_t*>(first.data()), first.size()}, true);
        if (!reader_) {
            if (!done_) {
                std::string* still = std::get<Undecided>(state_).held;
                still[0] = std::move(first);
                still[1] = std::move(second);
            }
            return;
        }
        Release();
        if (!first.empty())
            reader_->OnData(StreamDirection::ClientToServer,
                            {reinterpret_cast<const uint8_t*>(first.data()), first.size()}, timeMs);
        if (!second.empty() && !reader_->Done())
            reader_->OnData(StreamDirection::ServerToClient,
                            {reinterpret_cast<const uint8_t*>(second.data()), second.size()}, timeMs);
    }

    void Watch(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) {
        const std::string_view text = TextOf(bytes);
        bool complete = false;
        std::optional<Protocol> protocol;
        bool fromServer = false;
        if (TlsConnection::StartsClientHello(bytes))
            protocol = Protocol::Tls;
        else if (text.size() >= kPrefaceLine && text.substr(0, kPrefaceLine) == kPreface.substr(0, kPrefaceLine))
            protocol = Protocol::Http2;
        else if (Http1Head::MayBeginRequest(text, complete) && complete)
            protocol = Protocol::Http1;
        else if (Http1Head::MayBeginAnswer(text, complete) && complete) {
            protocol = Protocol::Http1;
            fromServer = true;
        }
        if (!protocol) return;  // the middle of something: the next delivery may begin a message
        // The sender of a request is the client; the sender of an answer the server.
        const bool senderIsClient = !fromServer;
        swapped_ = (direction == StreamDirection::ClientToServer) != senderIsClient;
        if (swapped_) {
            ConnectionFacts& facts = std::get<Undecided>(state_).facts;
            std::swap(facts.key.client, facts.key.server);
            facts.clientLinkDirection = Reversed(facts.clientLinkDirection);
        }
        Choose(*protocol, bytes, false);
        if (reader_) reader_->OnData(Ordered(direction), bytes, timeMs);
    }

    void Choose(Protocol protocol, std::span<const uint8_t> clientBytes, bool inStep) {
        const ConnectionFacts& facts = std::get<Undecided>(state_).facts;
        switch (protocol) {
            case Protocol::Http1: {
                // By far the most frequent: made in the place of what stood for it, not apart.
                Http1ConnectionReader::Context context = router_.Http1Context(facts);
                reader_ = &state_.emplace<Http1ConnectionReader>(std::move(context), inStep);
                break;
            }
            case Protocol::Http2:
                owned_ = router_.Http2(facts);
                reader_ = owned_.get();
                break;
            case Protocol::Tls:
                // The whole hello is needed to name its server when nothing will decrypt it.
                if (!router_.context_.keyLog && clientBytes.size() >= 5 &&
                    clientBytes.size() < 5 + (static_cast<size_t>(clientBytes[3]) << 8 | clientBytes[4]) && atStart_)
                    return;
                if (auto tls = router_.Tls(facts, clientBytes)) {
                    tls_ = tls.get();
                    owned_ = std::move(tls);
                    reader_ = owned_.get();
                }
                break;
            case Protocol::Other:
                break;
        }
        if (!reader_) done_ = true;
    }

    void Release() {
        router_.context_.messages.Give(charged_);
        charged_ = 0;
        if (auto* undecided = std::get_if<Undecided>(&state_))
            for (std::string& held : undecided->held) std::string().swap(held);
    }

    // What a connection needs until its protocol is known.
    struct Undecided {
        explicit Undecided(ConnectionFacts facts) : facts(std::move(facts)) {}
        ConnectionFacts facts;
        std::string held[2];  // what each side sent first, at a connection's start
    };

    ConnectionRouter& router_;
    // Thousands of connections wait for their answers: an HTTP/1 reader takes the place of the rest.
    std::variant<Undecided, Http1ConnectionReader> state_;
    bool atStart_;
    bool swapped_ = false;
    bool done_ = false;
    size_t charged_ = 0;
    StreamReader* reader_ = nullptr;  // in state_, or owned_
    std::unique_ptr<StreamReader> owned_;
    TlsConnection* tls_ = nullptr;  // owned_, when it is a TLS connection
};

std::unique_ptr<StreamReader> ConnectionRouter::Open(const ConnectionStart& start) {
    return std::make_unique<Decider>(*this, start);
}

void ConnectionRouter::Retry(int64_t nowMs) {
    lastTickMs_ = nowMs;
    for (auto& connection : lingering_) connection->Retry(nowMs);
    std::erase_if(lingering_,
                  [](const std::unique_ptr<TlsConnection>& connection) { return !connection->Lingering(); });
}

void ConnectionRouter::EndAll() {
    // The key log gets one last look; what is still missing then is given up.
    for (auto& connection : lingering_) {
        connection->Retry(lastTickMs_);
        connection->Retry(INT64_MAX / 2);
    }
    lingering_.clear();
}

std::unique_ptr<StreamReader> ConnectionRouter::Http1(const ConnectionFacts& facts, bool inStep) {
    return std::make_unique<Http1ConnectionReader>(Http1Context(facts), inStep);
}

Http1ConnectionReader::Context ConnectionRouter::Http1Context(const ConnectionFacts& facts) {
    const CaptureLimits& limits = context_.limits;
    return Http1ConnectionReader::Context{facts,
                                          context_.sink,
                                          context_.totals.http1,
                                          context_.messages,
                                          limits.Bytes(Limit::HeadBytes),
                                          limits.Bytes(Limit::UnansweredRequests),
                                          &context_.totals.limitsReached,
                                          this,
                                          &fields_};
}

std::unique_ptr<StreamReader> ConnectionRouter::SwitchToHttp2(const ConnectionFacts& facts,
                                                              std::unique_ptr<HttpExchange> firstRequest,
                                                              std::span<const uint8_t> clientSettings) {
    auto reader = std::make_unique<Http2StreamReader>(Http2Context(facts));
    reader->AdoptUpgradeRequest(std::move(firstRequest), clientSettings);
    return reader;
}

std::unique_ptr<StreamReader> ConnectionRouter::Http2(const ConnectionFacts& facts) {
    return std::make_unique<Http2StreamReader>(Http2Context(facts));
}

Http2StreamReader::Context ConnectionRouter::Http2Context(const ConnectionFacts& facts) {
    const CaptureLimits& limits = context_.limits;
    ConnectionFacts http2Facts = facts;
    http2Facts.transport = HttpTransport::Http2;
    return Http2StreamReader::Context{http2Facts,
                                      context_.sink,
                                      context_.totals.http2,
                                      context_.http2,
                                      limits.Bytes(Limit::Http2Streams),
                                      limits.Bytes(Limit::Http2ConnectionBytes),
                                      limits.Bytes(Limit::HeadBytes),
                                      &context_.totals.limitsReached};
}

std::unique_ptr<TlsConnection> ConnectionRouter::Tls(const ConnectionFacts& facts,
                                                     std::span<const uint8_t> clientHello) {
    PipelineTotals& totals = context_.totals;
    const bool overBound = tlsConnections_ >= context_.limits.Bytes(Limit::TlsConnections);
    if (!context_.keyLog || overBound) {
        if (overBound) {
            ++totals.tls.notFollowed;
            totals.limitsReached.Hit(Limit::TlsConnections);
        }
        totals.CountUnreadHttps(ServerNameOf(clientHello));
        return nullptr;
    }
    TlsConnectionLimits limits;
    limits.maxHeldBytes = context_.limits.Bytes(Limit::TlsConnectionBytes);
    limits.keyWaitMs = context_.limits.Get(Limit::KeyWaitSeconds) * 1000;
    limits.budget = &context_.tls;
    limits.hits = &totals.limitsReached;
    limits.alive = &tlsConnections_;
    const ConnectionFacts outer = facts;
    return std::make_unique<TlsConnection>(
        facts.key, *context_.keyLog,
        [this, outer](const TlsConnectionFacts& tls, TlsApplicationProtocol protocol) -> std::unique_ptr<StreamReader> {
            ConnectionFacts inner = outer;
            inner.scheme = "https";
            inner.serverName = tls.serverName;
            if (protocol == TlsApplicationProtocol::Http1) return Http1(inner, true);
            if (protocol == TlsApplicationProtocol::Http2) return Http2(inner);
            return nullptr;
        },
        totals.tls, limits);
}

}  // namespace tarnwick
