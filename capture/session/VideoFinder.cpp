// SPDX-License-Identifier: GPL-3.0-or-later
// The one sink of a capture thread's requests and answers: every transport's readers hand theirs here,
// where the video rules and the stream tracker judge them and detections leave through the reporter.
#include "capture/session/VideoFinder.h"

#include <arpa/inet.h>

#include <charconv>
#include <utility>

#include "capture/judge/VideoResponseRules.h"
#include "capture/session/OwnConnections.h"
#include "capture/session/RecycledBlocks.h"

namespace tarnwick {

namespace Rules = VideoResponseRules;

namespace {

IpAddress AddressOf(const FlowEndpoint& end) {
    return end.addressLength == 16 ? IpAddress::FromIpv6Bytes(end.address.data())
                                   : IpAddress::FromIpv4Bytes(end.address.data());
}

int64_t SecondsOf(int64_t timeMs) {
    return timeMs >= 0 ? timeMs / 1000 : -((-timeMs + 999) / 1000);
}

}  // namespace

class VideoFinder::Exchange final : public HttpExchange {
public:
    enum class Mode : uint8_t { Open, Judging, Playlist, Done };

    // The address and the request's text share one allocation.
    Exchange(VideoFinder& finder, std::string url, std::string_view scheme, std::string_view requestText,
             size_t charged)
        : finder_(finder), texts_(std::move(url)), urlLength_(texts_.size()), scheme_(scheme), charged_(charged) {
        texts_.append(requestText);
    }
    // One is made for every request, and thousands may wait for their answers.
    static void* operator new(size_t size) { return RecycledBlocks<Exchange>::Take(size); }
    static void operator delete(void* block, size_t size) noexcept { RecycledBlocks<Exchange>::Give(block, size); }

    ~Exchange() override {
        if (mode_ == Mode::Playlist) finder_.PlaylistRead(*this, false);
        finder_.NoLongerReading(*this);
        finder_.context_.messages.Give(charged_);
        finder_.context_.playlists.Give(bodyCharged_);
        // An answer that ended before its first bytes told: no video, but perhaps a segment.
        if (Waiting* waiting = waitingId_ ? finder_.FindWaiting(waitingId_) : nullptr) {
            waiting->judged = true;
            finder_.Settle(false);
        }
    }

    void OnAnswer(const HttpResponseHead& answer, bool bodyFollows) override {
        if (mode_ != Mode::Open) return;
        answerMs_ = answer.timeMs;
        finder_.Answer(*this, answer, bodyFollows);
    }
    size_t Wanted() const override {
        if (mode_ == Mode::Judging) return judge_.Wanted();
        // One byte beyond the bound tells a playlist that is too long.
        if (mode_ == Mode::Playlist) return finder_.context_.maxPlaylistBytes + 1 - body_.size();
        return 0;
    }
    void Body(std::span<const uint8_t> bytes) override {
        if (mode_ == Mode::Judging) {
            judge_.Body(bytes);
            if (judge_.Decided()) finder_.Judged(*this);
        } else if (mode_ == Mode::Playlist) {
            const size_t before = body_.capacity();
            body_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            if (body_.size() > finder_.context_.maxPlaylistBytes ||
                (body_.capacity() > before && !finder_.context_.playlists.Take(body_.capacity() - before))) {
                finder_.context_.playlists.Give(bodyCharged_);
                bodyCharged_ = 0;
                std::string().swap(body_);
                finder_.PlaylistRead(*this, false);
                return;
            }
            bodyCharged_ += body_.capacity() - before;
        }
    }
    void End(bool complete) override {
        if (mode_ == Mode::Judging) {
            judge_.End();
            finder_.Judged(*this);
        } else if (mode_ == Mode::Playlist) {
            finder_.PlaylistRead(*this, complete);
        }
    }

private:
    friend class VideoFinder;
    std::string_view Url() const { return std::string_view(texts_).substr(0, urlLength_); }
    std::string_view RequestText() const { return std::string_view(texts_).substr(urlLength_); }

    VideoFinder& finder_;
    std::string texts_;  // the address (host and path, no scheme), then the request's text
    size_t urlLength_;
    std::string_view scheme_;  // "http" or "https", literals
    size_t charged_;
    Mode mode_ = Mode::Open;
    int64_t answerMs_ = 0;
    VideoResponseJudge judge_;
    StreamTracker::Kind kind_ = StreamTracker::Kind::Hls;
    std::string body_;
    size_t bodyCharged_ = 0;
    uint64_t waitingId_ = 0;  // its place among the answers waiting for playlists
    bool reading_ = false;    // counted among the playlists being read, until its answer says otherwise
};

VideoFinder::VideoFinder(Context context, OwnAddresses ownAddresses, bool inferOwn)
    : context_(context), own_(std::move(ownAddresses)), inferOwn_(inferOwn) {}

bool VideoFinder::FromThisHost(const ConnectionFacts& connection) {
    switch (connection.clientLinkDirection) {
        case PacketDirection::Outgoing:
        case PacketDirection::Loopback:
            return true;
        case PacketDirection::Incoming:
            return false;
        case PacketDirection::Unknown:
            break;
    }
    if (context_.loopbackAdapter) return true;
    const IpAddress client = AddressOf(connection.key.client);
    if (own_.Contains(client)) return true;
    // A replay without given addresses: the first request of each IP version names this host's.
    if (inferOwn_ && !own_.HasVersion(client.IsIpv4())) {
        own_.Add(client);
        return true;
    }
    return false;
}

std::unique_ptr<HttpExchange> VideoFinder::OnRequest(const ConnectionFacts& connection,
                                                     const HttpRequestHead& request) {
    if (request.method != "GET") return nullptr;
    if (!FromThisHost(connection)) {
        if (counts_.otherRequests++ == 0) counts_.firstOtherSender = AddressOf(connection.key.client);
        return nullptr;
    }
    if (context_.live && OwnConnections::Process().Owns(ntohs(connection.key.client.port),
                                                        ntohs(connection.key.server.port), request.timeMs)) {
        ++counts_.ownFetches;
        return nullptr;
    }
    ++counts_.requests;
    // Without a host, the name the TLS handshake gave, else the server's address stands for it.
    std::string serverAddress;
    std::string_view host = request.authority;
    if (host.empty()) host = connection.serverName;
    if (host.empty()) host = serverAddress = connection.key.server.AddressForUrl();
    // The exchange keeps the request's text after the address, in the same block.
    std::string url = VideoReporter::JoinUrl(host, request.target, request.text.size());
    if (url.empty()) return nullptr;
    const size_t charged = sizeof(Exchange) + url.size() + request.text.size();
    if (!context_.messages.Take(charged)) return nullptr;
    const std::string_view scheme = request.scheme == "https"                                 ? "https"
                                    : request.scheme == "http" || connection.scheme == "http" ? "http"
                                                                                              : "https";
    // A request for what looks like a playlist: answers that may be its segments wait for it.
    const bool playlist = StreamTracker::PlaylistKind("", url).has_value() || context_.streams.NamesPlaylist(url);
    auto exchange = std::make_unique<Exchange>(*this, std::move(url), scheme, request.text, charged);
    if (playlist) {
        exchange->reading_ = true;
        ++playlistsReading_;
    }
    return exchange;
}

void VideoFinder::NoLongerReading(Exchange& exchange) {
    if (!exchange.reading_) return;
    exchange.reading_ = false;
    if (playlistsReading_ > 0) --playlistsReading_;
    Settle(false);
}

void VideoFinder::Answer(Exchange& exchange, const HttpResponseHead& answer, bool bodyFollows) {
    exchange.mode_ = Exchange::Mode::Done;
    latestMs_ = std::max(latestMs_, answer.timeMs);
    if (!Rules::MayCarryVideo(answer.status) || !answer.fields) {
        NoLongerReading(exchange);
        return;
    }
    const HttpFields& fields = *answer.fields;
    const std::optional<ContentRange> range = answer.status == 206 ? Rules::RangeOf(fields) : std::nullopt;
    // A piece that holds the whole (players ask for "bytes=0-") is the whole.
    const bool whole = !range || (range->first == 0 && range->total && range->last + 1 == *range->total);
    if (whole) {
        if (const auto kind = StreamTracker::PlaylistKind(fields.Find("Content-Type").value_or(""), exchange.Url())) {
            exchange.kind_ = *kind;
            if (bodyFollows) {
                exchange.mode_ = Exchange::Mode::Playlist;
                if (!exchange.reading_) {
                    exchange.reading_ = true;
                    ++playlistsReading_;
                }
            } else {
                context_.streams.PlaylistUnread();
                NoLongerReading(exchange);
            }
            return;
        }
    }
    // Not a playlist after all.
    NoLongerReading(exchange);
    const bool maySegment = Rules::MayBeSegment(fields);
    int64_t bodyBytes = -1;
    if (const auto length = fields.Find("Content-Length"))
        std::from_chars(length->data(), length->data() + length->size(), bodyBytes);
    const std::optional<int64_t> rangeFirst = whole ? std::nullopt : std::optional<int64_t>(range->first);
    if (maySegment && !context_.streams.Empty() && CountSegment(exchange.Url(), bodyBytes, rangeFirst, answer.timeMs))
        return;
    if (maySegment && playlistsReading_ > 0 && waiting_.size() < kMaxWaiting) {
        Waiting waiting;
        waiting.id = nextWaitingId_++;
        waiting.url = std::string(exchange.Url());
        waiting.bodyBytes = bodyBytes;
        waiting.rangeFirst = rangeFirst;
        waiting.timeMs = answer.timeMs;
        exchange.waitingId_ = waiting.id;
        waiting_.push_back(std::move(waiting));
    }
    exchange.judge_.Begin(answer, bodyFollows);
    exchange.mode_ = Exchange::Mode::Judging;
    if (exchange.judge_.Decided()) Judged(exchange);
}

bool VideoFinder::CountSegment(std::string_view url, int64_t bodyBytes, std::optional<int64_t> rangeFirst,
                               int64_t timeMs) {
    const auto growth = context_.streams.OnAnswer(url, bodyBytes, rangeFirst);
    if (!growth) return false;
    if (growth->grew) {
        ++counts_.streamSegments;
        DetectedVideo video{growth->url,      {}, {}, growth->kind == StreamTracker::Kind::Hls ? "hls" : "dash", {},
                            SecondsOf(timeMs)};
        video.scheme = growth->scheme;
        video.seenAtMs = timeMs;
        video.extent = VideoExtent::Stream;
        video.totalSize = growth->bytes;
        video.segments = growth->segments;
        context_.reporter.Report(std::move(video));
    }
    return true;
}

void VideoFinder::Judged(Exchange& exchange) {
    exchange.mode_ = Exchange::Mode::Done;
    const VideoResponseJudge::Verdict& verdict = exchange.judge_.Result();
    std::optional<DetectedVideo> video;
    if (verdict.video) {
        ++counts_.videoAnswers;
        video = DetectedVideo{
            std::string(exchange.Url()),  std::string(exchange.RequestText()), verdict.sizeText, verdict.typeText, {},
            SecondsOf(exchange.answerMs_)};
        video->scheme = std::string(exchange.scheme_);
        video->seenAtMs = exchange.answerMs_;
        if (verdict.range) {
            video->extent = verdict.range->total ? VideoExtent::Piece : VideoExtent::PieceOfUnknown;
            video->totalSize = verdict.range->WholeSize();
        }
    }
    if (Waiting* waiting = exchange.waitingId_ ? FindWaiting(exchange.waitingId_) : nullptr) {
        exchange.waitingId_ = 0;
        waiting->judged = true;
        waiting->video = std::move(video);
        Settle(false);
        return;
    }
    if (video) Report(std::move(*video));
}

void VideoFinder::Report(DetectedVideo video) {
    if (context_.reporter.Report(std::move(video))) ++counts_.videosReported;
}

VideoFinder::Waiting* VideoFinder::FindWaiting(uint64_t id) {
    for (Waiting& waiting : waiting_)
        if (waiting.id == id) return &waiting;
    return nullptr;
}

void VideoFinder::Settle(bool all) {
    while (!waiting_.empty()) {
        Waiting& first = waiting_.front();
        const bool overdue = latestMs_ - first.timeMs > kMaxWaitMs;
        if (!all && !overdue && (playlistsReading_ > 0 || !first.judged)) break;
        Waiting waiting = std::move(first);
        waiting_.pop_front();
        if (CountSegment(waiting.url, waiting.bodyBytes, waiting.rangeFirst, waiting.timeMs)) continue;
        if (waiting.video) Report(std::move(*waiting.video));
    }
}

void VideoFinder::PlaylistRead(Exchange& exchange, bool complete) {
    exchange.mode_ = Exchange::Mode::Done;
    if (complete)
        context_.streams.TakePlaylist(std::string(exchange.Url()), std::string(exchange.scheme_), exchange.kind_,
                                      exchange.body_);
    else
        context_.streams.PlaylistUnread();
    context_.playlists.Give(exchange.bodyCharged_);
    exchange.bodyCharged_ = 0;
    std::string().swap(exchange.body_);
    NoLongerReading(exchange);
}

}  // namespace tarnwick
