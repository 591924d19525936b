// A clear-text HTTP/1.1 connection whose first request asks to switch to HTTP/2 (Upgrade: h2c).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "capture/http1/Http1Statistics.h"
#include "capture/http2/Http2MemoryBudget.h"
#include "capture/http2/Http2StreamReader.h"
#include "capture/http2/Http2Statistics.h"
#include "capture/stream/StreamReader.h"

namespace tarnwick {

// Holds both directions until the server's answer to the first request is complete. A 101 switches
// to HTTP/2: the request becomes stream 1 (kept without the fields that asked for the switch, so that
// replaying it fetches the video instead of switching again) and the frames after the two heads go to
// an HTTP/2 reader. Any other answer keeps HTTP/1.1, read by the HTTP/1 reader from the first byte.
class Http2UpgradeReader final : public StreamReader {
public:
    static constexpr size_t kMaxHeldBytes = 128 * 1024;  // per direction, until the answer decides

    struct Readers {
        VideoReporter& reporter;
        Http2Statistics& http2;
        Http1Statistics& http1;
        Http2MemoryBudget& budget;
    };

    Http2UpgradeReader(const FlowKey& key, Readers readers);

    // Whether a client's first payload is an HTTP/1.1 request head that asks to switch to h2c.
    static bool AsksForH2c(std::span<const uint8_t> payload);

    void OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) override;
    void OnEnd(StreamEnd how) override;
    bool Done() const override { return done_; }

private:
    void Decide(int64_t timeSeconds);
    void SwitchToHttp2(size_t requestHeadSize, size_t responseHeadSize, int64_t timeSeconds);
    void Forward(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds);
    void GiveUp();

    FlowKey key_;
    Readers readers_;
    std::string held_[2];
    std::unique_ptr<StreamReader> next_;
    uint64_t clientBodyLeft_ = 0;  // of the upgrade request, passed over before the client's preface
    bool done_ = false;
};

}  // namespace tarnwick
