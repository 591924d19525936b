// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the HTTP/1 requests and answers of a connection, in the clear or decrypted, as messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/http1/Http1BodyDecoder.h"
#include "capture/http1/Http1Statistics.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/message/HttpExchangeSink.h"
#include "capture/stream/StreamReader.h"

namespace tarnwick {

// The request line, the field lines and the body of a message may each come in any segment; answers
// are paired with requests in order (pipelined ones too). Bodies are taken off by their framing (a
// length, chunks, or the end of the connection); what the exchange does not want of a body is passed
// over unread. A side that loses its place (bytes never captured, bytes that are no HTTP/1) looks for
// the next message at the start of what comes next, as a per-packet reader would.
class Http1ConnectionReader final : public StreamReader {
public:
    // Makes the reader of a connection that switched to HTTP/2 (h2c): the request that asked becomes
    // its first stream; clientSettings is the payload of the request's HTTP2-Settings. Nothing when none
    // may be made.
    class Http2Switch {
    public:
        virtual std::unique_ptr<StreamReader> SwitchToHttp2(const ConnectionFacts& facts,
                                                            std::unique_ptr<HttpExchange> firstRequest,
                                                            std::span<const uint8_t> clientSettings) = 0;

    protected:
        ~Http2Switch() = default;
    };

    struct Context {
        ConnectionFacts facts;
        HttpExchangeSink& sink;
        Http1Statistics& statistics;
        ByteBudget& messageBytes;  // heads being read, in all
        size_t maxHeadBytes = 64 * 1024;
        size_t maxUnanswered = 64;
        LimitHits* hits = nullptr;
        Http2Switch* http2 = nullptr;  // none: a switch ends the reading
        // Where a head's fields are read into: the readers of one thread take turns with it.
        HttpFields* fields = nullptr;
    };

    // inStep: the reader meets the connection at its start (both sides begin with a message); otherwise
    // each side looks for the start of a message first.
    Http1ConnectionReader(Context context, bool inStep);
    ~Http1ConnectionReader() override;

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) override;
    void OnGap(StreamDirection direction, uint64_t count) override;
    void OnEnd(StreamEnd how) override;
    bool Done() const override { return done_; }
    uint64_t TakeSkip(StreamDirection direction) override;
    // Met again, a connection is read from its next message on; not once it became HTTP/2.
    bool Resumable() const override { return !switched_ && sides_[0].mode != Mode::Held; }

private:
    enum class Mode : uint8_t { Head, Body, Lost, Held, Switched };
    struct Side {
        Mode mode = Mode::Head;
        std::string head;  // a head split across deliveries
        size_t charged = 0;
        Http1BodyDecoder body;
    };
    struct Pending {
        std::unique_ptr<HttpExchange> exchange;  // null: nobody cares for its answer
        bool head = false;                       // a HEAD request: its answer has no body
        bool connect = false;
        bool asksForH2c = false;
        std::string http2Settings;  // decoded, when asksForH2c
    };

    Side& SideOf(StreamDirection direction) { return sides_[IndexOf(direction)]; }
    size_t ReadHead(StreamDirection direction, std::span<const uint8_t> bytes);
    size_t ReadBody(StreamDirection direction, std::span<const uint8_t> bytes);
    size_t Hold(std::span<const uint8_t> bytes);
    // Handles a whole head; returns false when the side lost its place instead.
    bool OnRequestHead(std::string_view head);
    bool OnAnswerHead(std::string_view head, std::span<const uint8_t> rest);
    void StartBody(StreamDirection direction, const Http1BodyDecoder::Framing& framing);
    void BodyEnded(StreamDirection direction, bool complete);
    // messageLost: bytes went missing (a request lost among them still gets its answer).
    void LoseWay(StreamDirection direction, bool messageLost);
    void ReleaseHead(Side& side);
    void SwitchToHttp2(Pending pending, std::span<const uint8_t> rest);
    void GiveUp();

    Context context_;
    Side sides_[2];
    std::vector<Pending> pending_;             // oldest first; seldom more than one
    std::unique_ptr<HttpExchange> answering_;  // the exchange whose answer's body is being read
    // Answers that came with no request waiting since the client's last request: answers to requests the
    // capture may have lost, whose loss the client's side may only find out later.
    size_t unpairedAnswers_ = 0;
    std::string held_;                        // the client's bytes after a request that asks for h2c
    std::unique_ptr<StreamReader> switched_;  // the HTTP/2 reader after a switch
    HttpFields ownFields_;                    // when the context gives none
    HttpFields& fields_;
    int64_t nowMs_ = 0;
    bool done_ = false;
};

}  // namespace tarnwick
