// Turns captured TCP frames into detected videos: GET requests out, video responses in.
#include "capture/detect/HttpVideoDetector.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "capture/detect/VideoResponseRules.h"
#include "capture/detect/VideoSignature.h"

namespace tarnwick {

namespace Rules = VideoResponseRules;

namespace {

std::span<const uint8_t> BytesOf(std::string_view view) {
    return {reinterpret_cast<const uint8_t*>(view.data()), view.size()};
}

}  // namespace

HttpVideoDetector::HttpVideoDetector(OwnAddresses ownAddresses, PendingRequestTable& pending, IgnoreList& ignored,
                                     Deliver deliver, std::string sourceName, FrameDecoder decoder)
    : ownAddresses_(std::move(ownAddresses)),
      decoder_(decoder),
      pending_(pending),
      reporter_(ignored, std::move(deliver), std::move(sourceName)) {}

void HttpVideoDetector::ReportFlvContinuation(int64_t now) {
    ++counts_.videoAnswers;
    Report(previousRequest_, previousSizeText_, std::string(Rules::kFlvType), now);
}

void HttpVideoDetector::RecordRequest(const PacketView& frame, const TcpSegment& tcp, int64_t now) {
    const size_t start = tcp.payloadStart;
    const size_t windowEnd = start + std::min(tcp.payloadLength, kSearchWindow);
    const auto get = frame.Find(Rules::kRequestMarker, start, windowEnd);
    if (!get) return;
    const auto blank = frame.Find(" ", *get, windowEnd);
    if (!blank) return;
    ++counts_.requests;

    const auto key =
        pending_.Hashed({tcp.SourceAddress(), tcp.DestinationAddress(), tcp.sourcePort, tcp.destinationPort});
    pending_.Prefetch(key);  // arrives while the headers are searched

    // Views into the frame: the table copies the texts into its own entry.
    const std::string_view path = frame.View(*get, *blank);
    std::string_view host, requestText;
    size_t blankLineFrom = *blank;
    if (const auto hostStart = frame.Find(Rules::kHost, *blank, windowEnd)) {
        blankLineFrom = *hostStart;
        if (const auto lineEnd = frame.Find(Rules::kLineEnd, *hostStart, windowEnd))
            host = frame.View(*hostStart, *lineEnd - Rules::kLineEnd.size());
    }
    if (const auto blankLine = frame.Find(Rules::kHeaderEnd, blankLineFrom, windowEnd))
        requestText = frame.View(start, *blankLine);
    pending_.Add(key, host, path, requestText, now);
}

void HttpVideoDetector::HandleResponse(const PacketView& frame, const TcpSegment& tcp, int64_t now) {
    const size_t start = tcp.payloadStart;
    const size_t payloadEnd = start + tcp.payloadLength;
    const size_t windowEnd = start + std::min(tcp.payloadLength, kSearchWindow);
    // Someone else's request is handled like any other frame; it is counted to tell a replay given the
    // wrong own address.
    if (frame.StartsWith(start, "GET ") && counts_.otherRequests++ == 0) counts_.firstOtherSender = tcp.SourceAddress();

    // The request is claimed only after the searches below, which give the prefetch time to arrive.
    const auto key =
        pending_.Hashed({tcp.DestinationAddress(), tcp.SourceAddress(), tcp.destinationPort, tcp.sourcePort});
    pending_.Prefetch(key);

    std::string sizeText = Rules::SizeText(frame, start, windowEnd);
    // A 206 answer holds one piece of the video its Content-Range names.
    std::optional<ContentRange> range;
    const std::string_view status = Rules::StatusCode(frame, start);
    if (status == "206") range = Rules::RangeOf(frame, start, windowEnd);

    std::optional<std::string> reportedType;
    bool awaitBody = false;
    if (const auto video = Rules::VideoTypeAt(frame, start, windowEnd)) {
        std::string typeText = Rules::TypeText(frame, *video, windowEnd);
        if (const auto flv = frame.Find(Rules::kFlvType, *video, windowEnd)) {
            // Reported from the next packet instead when the header block ends exactly here.
            const auto headerEnd = frame.Find(Rules::kHeaderEnd, *flv, payloadEnd);
            if (!headerEnd || *headerEnd < payloadEnd) reportedType = std::move(typeText);
        } else {
            reportedType = std::move(typeText);
        }
    } else if (const auto headerEnd = frame.Find(Rules::kHeaderEnd, start, windowEnd)) {
        if (Rules::StartsFlv(frame, *headerEnd)) {
            reportedType = std::string(Rules::kFlvType);
        } else if (Rules::MayCarryVideo(status) && Rules::TypeLeavesBodyToTell(frame, start, *headerEnd)) {
            if (*headerEnd < payloadEnd) {
                const std::string_view type = VideoSignature::TypeOf(BytesOf(frame.View(*headerEnd, payloadEnd)));
                if (!type.empty()) reportedType = std::string(type);
            } else {
                awaitBody = true;
            }
        }
    }

    // Claimed into the spare entry, whose texts keep their memory from response to response.
    pending_.Take(key, currentRequest_);
    const ConnectionKey& connection = key.key;
    // A new answer on the connection ends the wait for an earlier one's body.
    if (awaitedCount_ != 0) ForgetAwaitedBody(connection);
    if (streams_ && !currentRequest_.IsEmpty() &&
        TakeStreamAnswer(frame, tcp, status, windowEnd, sizeText, range, now)) {
        reportedType.reset();
        awaitBody = false;
    }
    if (reportedType) {
        ++counts_.videoAnswers;
        Report(currentRequest_, sizeText, *reportedType, now, range);
    }
    if (awaitBody && !currentRequest_.IsEmpty()) {
        AwaitedBody& slot = awaited_[nextAwaited_];
        nextAwaited_ = (nextAwaited_ + 1) % kAwaitedBodies;
        if (!slot.used) ++awaitedCount_;
        slot.used = true;
        slot.key = connection;
        slot.request = currentRequest_;
        slot.sizeText = sizeText;
        slot.range = range;
    }

    std::swap(previousRequest_, currentRequest_);
    previousSizeText_ = std::move(sizeText);
}

bool HttpVideoDetector::TakeStreamAnswer(const PacketView& frame, const TcpSegment& tcp, std::string_view status,
                                         size_t windowEnd, const std::string& sizeText,
                                         const std::optional<ContentRange>& range, int64_t now) {
    if (!Rules::MayCarryVideo(status)) return false;
    std::string url = UrlOf(currentRequest_);
    if (url.empty()) return false;
    const size_t start = tcp.payloadStart;
    // A piece that holds the whole (players ask for "bytes=0-") is the whole.
    const bool whole = !range || (range->first == 0 && range->total && range->last + 1 == *range->total);
    if (whole) {
        if (const auto kind = StreamTracker::PlaylistKind(Rules::ContentTypeValue(frame, start, windowEnd), url)) {
            // The program's own fetch of a listed stream's playlist is swallowed here: a playlist is
            // never reported itself.
            reporter_.ConsumeIgnored(url);
            streams_->FollowPlaylist(frame, tcp, std::move(url), *kind, now);
            return true;
        }
    }
    if (streams_->Empty()) return false;
    const int64_t bodyBytes = sizeText.empty() ? -1 : std::strtoll(sizeText.c_str(), nullptr, 10);
    const auto growth = streams_->OnAnswer(url, bodyBytes, whole ? std::nullopt : std::optional<int64_t>(range->first));
    if (!growth) return false;
    if (growth->grew) {
        ++counts_.streamSegments;
        DetectedVideo video{growth->url, {}, {}, growth->kind == StreamTracker::Kind::Hls ? "hls" : "dash", {}, now};
        video.seenAtMs = nowMs_;
        video.extent = VideoExtent::Stream;
        video.totalSize = growth->bytes;
        video.segments = growth->segments;
        reporter_.Report(std::move(video));
    }
    return true;
}

void HttpVideoDetector::ContinueAwaitedBody(const PacketView& frame, const TcpSegment& tcp, int64_t now) {
    const ConnectionKey key{tcp.DestinationAddress(), tcp.SourceAddress(), tcp.destinationPort, tcp.sourcePort};
    for (AwaitedBody& slot : awaited_) {
        if (!slot.used || !(slot.key == key)) continue;
        slot.used = false;
        --awaitedCount_;
        // A body that starts with "FLV" has been reported by the rule for those already.
        if (Rules::StartsFlv(frame, tcp.payloadStart)) return;
        const std::string_view type =
            VideoSignature::TypeOf(BytesOf(frame.View(tcp.payloadStart, tcp.payloadStart + tcp.payloadLength)));
        if (type.empty()) return;
        ++counts_.videoAnswers;
        Report(slot.request, slot.sizeText, std::string(type), now, slot.range);
        return;
    }
}

void HttpVideoDetector::ForgetAwaitedBody(const ConnectionKey& key) {
    for (AwaitedBody& slot : awaited_)
        if (slot.used && slot.key == key) {
            slot.used = false;
            --awaitedCount_;
        }
}

std::string HttpVideoDetector::UrlOf(const PendingRequest& request) {
    if (request.path.empty()) return {};
    if (!request.host.empty()) return VideoReporter::JoinUrl(request.host, request.path);
    const IpAddress& server = request.key.serverAddress;
    return VideoReporter::JoinUrl(server.IsIpv4() ? server.ToString() : "[" + server.ToString() + "]", request.path);
}

void HttpVideoDetector::Report(const PendingRequest& request, const std::string& sizeText, const std::string& typeText,
                               int64_t now, const std::optional<ContentRange>& range) {
    DetectedVideo video{UrlOf(request), request.requestText, sizeText, typeText, {}, now};
    video.seenAtMs = nowMs_;
    if (range) {
        video.extent = range->total ? VideoExtent::Piece : VideoExtent::PieceOfUnknown;
        video.totalSize = range->WholeSize();
    }
    if (reporter_.Report(std::move(video))) ++counts_.videosReported;
}

}  // namespace tarnwick
