// Reads one answer's body whole off a connection that is followed from that answer's first packet:
// the text of a playlist.
#include "capture/playlist/PlaylistBodyReader.h"

#include <algorithm>
#include <utility>

namespace tarnwick {

PlaylistBodyReader::PlaylistBodyReader(size_t maxBodyBytes, Whole whole)
    : maxBodyBytes_(maxBodyBytes), whole_(std::move(whole)) {}

void PlaylistBodyReader::OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t) {
    if (done_ || direction != StreamDirection::ClientToServer) return;
    if (!inBody_) {
        const size_t old = head_.size();
        const size_t take = std::min(bytes.size(), kMaxHeadBytes - old);
        head_.append(reinterpret_cast<const char*>(bytes.data()), take);
        const size_t end = head_.find("\r\n\r\n", old >= 3 ? old - 3 : 0);
        if (end == std::string::npos) {
            done_ = head_.size() >= kMaxHeadBytes;
            return;
        }
        const size_t headSize = end + 4;
        head_.resize(headSize);
        bytes = bytes.subspan(headSize - old);
        const auto framing = Http1BodyDecoder::FramingOf(head_);
        if (!framing.valid || (framing.length && *framing.length > maxBodyBytes_)) {
            done_ = true;
            return;
        }
        inBody_ = true;
        if (decoder_.Start(framing, true) == Http1BodyDecoder::Result::Ended) {
            Finish();
            return;
        }
    }
    size_t used = 0;
    const auto result = decoder_.Read(bytes, used, [this](std::span<const uint8_t> piece) {
        if (body_.size() + piece.size() > maxBodyBytes_) {
            done_ = true;
            return;
        }
        body_.append(reinterpret_cast<const char*>(piece.data()), piece.size());
    });
    if (done_) return;
    if (result == Http1BodyDecoder::Result::Broken) done_ = true;
    else if (result == Http1BodyDecoder::Result::Ended) Finish();
}

void PlaylistBodyReader::OnEnd(StreamEnd how) {
    // A body that runs to the end of the connection is whole only when the connection closed cleanly.
    if (!done_ && inBody_ && decoder_.ToTheEnd() && how == StreamEnd::Closed) Finish();
    done_ = true;
}

void PlaylistBodyReader::Finish() {
    done_ = true;
    if (whole_) whole_(std::move(body_));
}

}  // namespace tarnwick
