// Reads the HTTP/1.1 messages of a reassembled (and decrypted) connection and reports its videos.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "capture/detect/VideoReporter.h"
#include "capture/detect/VideoResponseJudge.h"
#include "capture/http1/Http1BodyDecoder.h"
#include "capture/http1/Http1Statistics.h"
#include "capture/stream/FlowKey.h"
#include "capture/stream/StreamReader.h"

namespace tarnwick {

// Each response is paired with the request it answers (the n-th response with the n-th request, as
// HTTP/1.1 orders them) and judged by the same rules as the per-packet detector: a video content type,
// or a body that starts with the Flash video signature; the size is the Content-Length text. Message
// bodies are passed over by their framing (Content-Length, chunked, or to the end of the connection).
class Http1StreamReader final : public StreamReader {
public:
    static constexpr size_t kMaxHeadBytes = 64 * 1024;
    static constexpr size_t kMaxLineBytes = Http1BodyDecoder::kMaxLineBytes;  // a chunk-size or trailer line
    static constexpr size_t kMaxUnpaired = 64;     // requests without their response, or the other way round

    struct Context {
        FlowKey key;
        std::string serverName;        // named by the TLS handshake; stands in for a missing Host header
        std::string scheme = "https";
    };

    Http1StreamReader(Context context, VideoReporter& reporter, Http1Statistics& statistics);

    // The URL (host and path, no scheme) a request head asks for; empty when it names no target.
    static std::string RequestUrl(std::string_view head, const Context& context);

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) override;
    void OnEnd(StreamEnd how) override;
    bool Done() const override { return done_; }

private:
    struct Side {
        bool inBody = false;
        std::string head;
        Http1BodyDecoder body;
    };
    struct Request {
        bool get = false;
        bool head = false;  // a HEAD request: its response has no body
        std::string url;    // host and path, no scheme; empty when it has no target
        std::string text;   // the request head through its blank line
    };
    using Verdict = VideoResponseJudge::Verdict;
    using Framing = Http1BodyDecoder::Framing;

    size_t ReadHead(StreamDirection direction, std::span<const uint8_t> bytes);
    size_t ReadBody(StreamDirection direction, std::span<const uint8_t> bytes);
    void OnRequestHead(const std::string& head);
    void OnResponseHead(const std::string& head);
    void StartBody(Side& side, const Framing& framing, bool toTheEndAllowed);
    void BodyBytes(std::span<const uint8_t> bytes);
    void BodyEnded();
    void Decide(Verdict verdict);
    void Pair();
    void GiveUp();

    Context context_;
    VideoReporter& reporter_;
    Http1Statistics& statistics_;
    Side sides_[2];
    std::deque<Request> requests_;   // waiting for their responses' verdicts
    std::deque<Verdict> verdicts_;   // waiting for their requests (bytes of the two directions may come in any order)
    // The response being read; its verdict may wait for the first body bytes.
    VideoResponseJudge judge_;
    int64_t now_ = 0;
    bool done_ = false;
};

}  // namespace tarnwick
