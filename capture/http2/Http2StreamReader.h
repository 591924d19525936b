// Reads the HTTP/2 streams of a reassembled (and perhaps decrypted) connection and reports its videos.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "capture/detect/VideoReporter.h"
#include "capture/detect/VideoResponseJudge.h"
#include "capture/http2/HpackBlockDecoder.h"
#include "capture/http2/Http2FrameParser.h"
#include "capture/http2/Http2HeaderList.h"
#include "capture/http2/Http2MemoryBudget.h"
#include "capture/http2/Http2Statistics.h"
#include "capture/stream/FlowKey.h"
#include "capture/stream/StreamReader.h"

namespace tarnwick {

// Each stream's request (its pseudo-headers and fields) is paired with the response on the same stream,
// a pushed response with the request its server promised, and judged by the rules HTTP/1 responses
// are judged by: the response head in HTTP/1 form, then the first DATA bytes. The request is kept in
// HTTP/1.1 form, so a captured request can be replayed over HTTP/1.1.
// Memory is bounded: streams followed at once, the bytes they hold (per connection and, through the
// budget, in all) and each header list; what a bound cuts is counted and not judged. A framing error or
// a header block that cannot be decoded ends the reading of the connection (the table of the decoder
// would be unknown from there on); the program reads on.
class Http2StreamReader final : public StreamReader, private Http2FrameParser::Handler {
public:
    static constexpr size_t kMaxStreams = 256;
    static constexpr size_t kMaxHeldBytes = 1u << 20;
    static constexpr size_t kStreamOverhead = 256;  // counted for each followed stream besides its texts

    struct Context {
        FlowKey key;
        std::string serverName;         // named by the TLS handshake; stands in when a request names no host
        std::string scheme = "https";   // when a request names no (known) scheme
    };

    // A request as it is reported.
    struct Request {
        bool get = false;
        std::string url;     // host and path, no scheme; empty when the request has no path
        std::string scheme;  // "http" or "https"
        std::string text;    // HTTP/1.1 form through the blank line
    };

    Http2StreamReader(Context context, VideoReporter& reporter, Http2Statistics& statistics, Http2MemoryBudget& budget);
    ~Http2StreamReader() override;
    Http2StreamReader(const Http2StreamReader&) = delete;
    Http2StreamReader& operator=(const Http2StreamReader&) = delete;

    // A connection upgraded from HTTP/1.1: stream 1 carries the answer to the request that asked for it,
    // and the client's settings came with that request (the payload of a SETTINGS frame).
    void AdoptUpgradeRequest(Request request, std::span<const uint8_t> clientSettings);

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) override;
    void OnEnd(StreamEnd how) override;
    bool Done() const override { return done_; }

    size_t Streams() const { return streams_.size(); }
    size_t HeldBytes() const { return held_; }

private:
    using Verdict = VideoResponseJudge::Verdict;

    struct Stream {
        std::optional<Request> request;
        bool responseStarted = false;  // its final response head was read
        VideoResponseJudge judge;
        std::optional<Verdict> verdict;
        size_t held = 0;
    };
    using StreamTable = std::map<uint32_t, Stream>;

    // The header block a direction is in the middle of.
    struct Block {
        uint32_t streamId = 0;  // whose fields these are: the promised stream for a push
        bool request = false;
        bool keep = false;      // its fields are collected (the stream is followed)
        bool endStream = false;
        Http2HeaderList fields;
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
    void EndBlock(StreamDirection direction);
    void ReadRequest(StreamTable::iterator stream, const Http2HeaderList& fields);
    void ReadResponse(StreamTable::iterator stream, const Block& block);
    void Decide(StreamTable::iterator stream, Verdict verdict);
    void Settle(StreamTable::iterator stream);
    Stream* Open(uint32_t id);
    bool Hold(Stream& stream, size_t bytes);
    void Forget(StreamTable::iterator stream);
    void ForgetAbove(uint32_t lastStreamId, uint32_t parity);
    bool Malformed();
    void GiveUp();

    Context context_;
    VideoReporter& reporter_;
    Http2Statistics& statistics_;
    Http2MemoryBudget& budget_;
    Http2FrameParser parsers_[2];
    HpackBlockDecoder decoders_[2];
    Block blocks_[2];
    bool settingsSeen_[2] = {false, false};
    StreamTable streams_;
    uint32_t highestClientStream_ = 0;
    uint32_t highestPushedStream_ = 0;
    size_t held_ = 0;
    int64_t now_ = 0;
    bool done_ = false;
};

}  // namespace tarnwick
