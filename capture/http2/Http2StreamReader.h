// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the HTTP/2 streams of a reassembled (and perhaps decrypted) connection and hands each request
// and its answer on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "capture/http2/HpackBlockDecoder.h"
#include "capture/http2/Http2FrameParser.h"
#include "capture/http2/Http2HeaderList.h"
#include "capture/http2/Http2Statistics.h"
#include "capture/limits/CaptureLimits.h"
#include "capture/message/HttpExchangeSink.h"
#include "capture/stream/StreamReader.h"

namespace tarnwick {

// Each stream's request (its pseudo-headers and fields) goes to the sink, which may take an interest in
// its answer; a pushed answer belongs to the request its server promised. The request is handed on in
// HTTP/1.1 form too, so a captured request can be replayed over HTTP/1.1. Memory is bounded: streams
// followed at once, the bytes they and the decoders' tables hold (per connection and, through the
// budget, in all) and each header list; what a bound cuts is counted. A framing error, a header block
// that cannot be decoded or a lost stretch ends the reading of the connection (the decoders' tables
// would be unknown from there on).
class Http2StreamReader final : public StreamReader, private Http2FrameParser::Handler {
public:
    static constexpr size_t kStreamOverhead = 256;  // counted for each followed stream

    struct Context {
        ConnectionFacts facts;
        HttpExchangeSink& sink;
        Http2Statistics& statistics;
        ByteBudget& budget;  // all HTTP/2 connections of the thread
        size_t maxStreams = 256;
        size_t maxHeldBytes = 1u << 20;
        size_t maxHeaderList = 64 * 1024;
        LimitHits* hits = nullptr;
    };

    explicit Http2StreamReader(Context context);
    ~Http2StreamReader() override;
    Http2StreamReader(const Http2StreamReader&) = delete;
    Http2StreamReader& operator=(const Http2StreamReader&) = delete;

    // A connection switched from HTTP/1.1: stream 1 carries the answer to the request that asked for it
    // (its exchange, if the sink wanted one), and the client's settings came with that request (the
    // payload of a SETTINGS frame).
    void AdoptUpgradeRequest(std::unique_ptr<HttpExchange> exchange, std::span<const uint8_t> clientSettings);

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) override;
    void OnGap(StreamDirection direction, uint64_t count) override;
    void OnEnd(StreamEnd how) override;
    bool Done() const override { return done_; }

    size_t Streams() const { return streams_.size(); }
    size_t HeldBytes() const { return held_; }

private:
    struct Stream {
        std::unique_ptr<HttpExchange> exchange;  // null until its request was read, or when nobody cares
        bool requestRead = false;
        bool answered = false;  // its final answer head was read
        size_t held = 0;
    };
    using StreamTable = std::map<uint32_t, Stream>;

    // The header block a direction is in the middle of.
    struct Block {
        uint32_t streamId = 0;  // whose fields these are: the promised stream for a push
        bool request = false;
        bool pushed = false;
        bool keep = false;  // its fields are collected (the stream is followed)
        bool endStream = false;
        Http2HeaderList fields;
        size_t charged = 0;  // what fields holds, counted against its stream's hold
    };

    bool OnFrameStart(StreamDirection direction, const Http2::FrameHeader& frame,
                      const Http2FrameParser::Fields& fields) override;
    bool OnFrameContent(StreamDirection direction, const Http2::FrameHeader& frame,
                        std::span<const uint8_t> bytes) override;
    bool OnSetting(StreamDirection direction, uint16_t id, uint32_t value) override;
    bool OnFrameEnd(StreamDirection direction, const Http2::FrameHeader& frame) override;

    bool StartHeaders(StreamDirection direction, const Http2::FrameHeader& frame);
    bool StartPush(uint32_t promisedStreamId);
    bool DecodeFragment(StreamDirection direction, std::span<const uint8_t> bytes, bool last);
    // Counts what a kept block's fields hold against its stream (cutting the list where there is no
    // room), and gives it back when the block is done with.
    void ChargeBlock(Block& block);
    void ReleaseBlock(Block& block);
    void EndBlock(StreamDirection direction);
    void ReadRequest(StreamTable::iterator stream, const Block& block);
    void ReadAnswer(StreamTable::iterator stream, const Block& block);
    void EndStream(StreamTable::iterator stream);
    Stream* Open(uint32_t id);
    bool Hold(Stream& stream, size_t bytes);
    bool HoldTables();
    void Forget(StreamTable::iterator stream);
    void ForgetAbove(uint32_t lastStreamId, uint32_t parity);
    bool Malformed();
    void GiveUp();

    Context context_;
    Http2FrameParser parsers_[2];
    HpackBlockDecoder decoders_[2];
    Block blocks_[2];
    bool settingsSeen_[2] = {false, false};
    StreamTable streams_;
    uint32_t highestClientStream_ = 0;
    uint32_t highestPushedStream_ = 0;
    size_t held_ = 0;
    size_t tablesHeld_ = 0;  // what the decoders' tables may hold, counted in held_
    int64_t nowMs_ = 0;
    bool done_ = false;
};

}  // namespace tarnwick
