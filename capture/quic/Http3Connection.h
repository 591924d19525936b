// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the HTTP/3 streams of one decrypted QUIC connection and hands each request and its answer on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "capture/http2/Http2HeaderList.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/message/HttpExchangeSink.h"
#include "capture/quic/Http3FrameParser.h"
#include "capture/quic/QpackDecoder.h"
#include "capture/quic/QuicStatistics.h"
#include "capture/stream/StreamDirection.h"

namespace tarnwick {

// Takes the in-order bytes of each stream and direction from the QUIC layer. A client's bidirectional
// stream carries one request one way and its answer (and the server's push promises) the other; the
// unidirectional streams are control, push and QPACK streams, each announced by its first bytes. Each
// side's QPACK encoder stream feeds the decoder of that side's header blocks. Requests go to the sink;
// answers and their bodies to the exchange the sink made. A QPACK error ends the reading of the whole
// connection (the tables would be unknown); a stream that breaks its framing ends only that stream.
class Http3Connection {
public:
    struct Context {
        ConnectionFacts facts;
        HttpExchangeSink& sink;
        QuicStatistics& statistics;
        size_t maxStreams = 256;  // requests followed at once
        size_t maxHeaderList = 64 * 1024;
        size_t maxTableBytes = 64 * 1024;  // each side's QPACK dynamic table
        size_t maxStreamHeld = 64 * 1024;  // bytes a stream holds while its header block waits for the table
        size_t maxHeldBytes = 4u << 20;    // all it holds: frames being gathered, waiting blocks and what follows them
        ByteBudget* budget = nullptr;      // all QUIC connections of the thread
        LimitHits* hits = nullptr;
    };

    explicit Http3Connection(Context context);
    ~Http3Connection();
    Http3Connection(const Http3Connection&) = delete;
    Http3Connection& operator=(const Http3Connection&) = delete;

    // The next in-order bytes of a stream in one direction. False when no more of them are wanted.
    bool OnStreamData(uint64_t streamId, StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs);
    // Every byte of the stream's direction has been handed on.
    void OnStreamEnd(uint64_t streamId, StreamDirection direction);
    void OnStreamReset(uint64_t streamId);
    bool Broken() const { return broken_; }
    // Bytes held: frames being gathered, waiting blocks and what follows them (the tables not counted).
    size_t HeldBytes() const { return accounted_; }

private:
    enum class Kind : uint8_t { Unknown, Request, Response, Control, Push, Encoder, Ignored };

    struct ByteStream final : Http3FrameParser::Handler {
        ByteStream(Http3Connection& owner, uint64_t id, StreamDirection direction, size_t maxKeptFrame)
            : owner(owner), id(id), direction(direction), parser(maxKeptFrame) {}
        bool OnFrame(uint64_t type, std::span<const uint8_t> payload) override {
            return owner.OnFrame(*this, type, payload);
        }
        bool OnData(std::span<const uint8_t> bytes) override { return owner.OnData(*this, bytes); }

        Http3Connection& owner;
        uint64_t id;
        StreamDirection direction;
        Kind kind = Kind::Unknown;
        Http3FrameParser parser;
        uint8_t prefix[16] = {};
        size_t prefixHave = 0;
        bool prefixRead = false;
        uint64_t pushId = 0;
        bool blocked = false;      // its header block waits for the QPACK table
        uint64_t blockedType = 0;  // HEADERS or PUSH_PROMISE
        uint64_t blockedPushId = 0;
        std::vector<uint8_t> heldWhileBlocked;  // what followed the waiting block
        size_t held = 0;                        // counted in streamsHeld_
        bool stopped = false;
        Http2HeaderList fields;
    };

    struct Exchange {
        std::unique_ptr<HttpExchange> exchange;
        bool answered = false;
        bool head = false;  // the request was a HEAD: its answer has no body
    };

    using Key = std::pair<uint64_t, int>;

    ByteStream* Find(uint64_t streamId, StreamDirection direction);
    bool Feed(ByteStream& stream, std::span<const uint8_t> bytes);
    bool ReadPrefix(ByteStream& stream, std::span<const uint8_t>& bytes);
    bool OnFrame(ByteStream& stream, uint64_t type, std::span<const uint8_t> payload);
    bool OnData(ByteStream& stream, std::span<const uint8_t> bytes);
    // Decodes a header block into stream.fields, then reads it; the stream waits when the block does.
    bool DecodeBlock(ByteStream& stream, uint64_t type, uint64_t pushId, std::span<const uint8_t> block);
    bool ReadBlock(ByteStream& stream, uint64_t type, uint64_t pushId);
    bool ReadRequest(ByteStream& stream, bool pushed, uint64_t pushId);
    bool ReadAnswer(ByteStream& stream, Exchange& exchange);
    void ResumeBlocked(StreamDirection encoderSide);
    Exchange* ExchangeOf(const ByteStream& stream);
    void ForgetExchange(const ByteStream& stream);
    QpackDecoder& DecoderOf(StreamDirection direction) { return *decoders_[IndexOf(direction)]; }
    void ReadSettings(StreamDirection from, std::span<const uint8_t> payload);
    bool StreamMalformed(ByteStream& stream);
    void Break();
    // Counts what a stream holds now; false when that is beyond the bounds.
    bool Recount(ByteStream& stream);
    // Takes or gives back what the connection holds in all against the budget; false beyond the bounds.
    bool Settle();
    void Erase(std::map<std::pair<uint64_t, int>, std::unique_ptr<ByteStream>>::iterator stream);

    Context context_;
    std::unique_ptr<QpackDecoder> decoders_[2];  // of the blocks each side sends
    bool decoderUsed_[2] = {false, false};
    std::map<Key, std::unique_ptr<ByteStream>> streams_;
    std::map<uint64_t, Exchange> requests_;  // by stream ID
    std::map<uint64_t, Exchange> pushes_;    // by push ID
    int64_t nowMs_ = 0;
    size_t streamsHeld_ = 0;
    size_t accounted_ = 0;  // taken from the budget
    bool broken_ = false;
};

}  // namespace tarnwick
