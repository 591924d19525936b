// Reads one answer's body whole off a connection that is followed from that answer's first packet:
// the text of a playlist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "capture/http1/Http1BodyDecoder.h"
#include "capture/stream/StreamReader.h"

namespace tarnwick {

// The connection is followed from the answer, so the answering side is the one the reassembler took
// for the opener (StreamDirection::ClientToServer); the other direction is passed over. A body longer
// than its bound, framing that is not HTTP/1, or a connection that ends early gives nothing.
class PlaylistBodyReader final : public StreamReader {
public:
    static constexpr size_t kMaxHeadBytes = 64 * 1024;
    using Whole = std::function<void(std::string body)>;

    PlaylistBodyReader(size_t maxBodyBytes, Whole whole);

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) override;
    void OnEnd(StreamEnd how) override;
    bool Done() const override { return done_; }

private:
    void Finish();

    size_t maxBodyBytes_;
    Whole whole_;
    std::string head_;
    bool inBody_ = false;
    Http1BodyDecoder decoder_;
    std::string body_;
    bool done_ = false;
};

}  // namespace tarnwick
