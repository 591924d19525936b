// Reads the HTTP/1.1 messages of a reassembled (and decrypted) connection and reports its videos.
#include "capture/http1/Http1StreamReader.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

#include "capture/decode/PacketView.h"
#include "capture/detect/VideoResponseRules.h"

namespace tarnwick {

namespace Rules = VideoResponseRules;

namespace {

}  // namespace

Http1StreamReader::Http1StreamReader(Context context, VideoReporter& reporter, Http1Statistics& statistics)
    : context_(std::move(context)), reporter_(reporter), statistics_(statistics) {
    ++statistics_.connections;
}

void Http1StreamReader::OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) {
    now_ = timeSeconds;
    while (!bytes.empty() && !done_) {
        const Side& side = sides_[IndexOf(direction)];
        const size_t used = side.inBody ? ReadBody(direction, bytes) : ReadHead(direction, bytes);
        bytes = bytes.subspan(used);
    }
}

void Http1StreamReader::OnEnd(StreamEnd how) {
    // A body read to the end of a cleanly closed connection is complete.
    if (how == StreamEnd::Closed && sides_[1].inBody && sides_[1].body.ToTheEnd()) BodyEnded();
}

size_t Http1StreamReader::ReadHead(StreamDirection direction, std::span<const uint8_t> bytes) {
    Side& side = sides_[IndexOf(direction)];
    size_t skipped = 0;
    if (side.head.empty()) {
        // Blank lines between messages are passed over.
        while (skipped < bytes.size() && (bytes[skipped] == '\r' || bytes[skipped] == '\n')) ++skipped;
        bytes = bytes.subspan(skipped);
        if (bytes.empty()) return skipped;
    }
    const size_t old = side.head.size();
    const size_t take = std::min(bytes.size(), kMaxHeadBytes - old);
    side.head.append(reinterpret_cast<const char*>(bytes.data()), take);
    const size_t end = side.head.find(Rules::kHeaderEnd, old >= 3 ? old - 3 : 0);
    if (end == std::string::npos) {
        if (side.head.size() >= kMaxHeadBytes) GiveUp();
        return skipped + take;
    }
    const size_t headSize = end + Rules::kHeaderEnd.size();
    side.head.resize(headSize);
    const std::string head = std::move(side.head);
    side.head.clear();
    if (direction == StreamDirection::ClientToServer) OnRequestHead(head);
    else OnResponseHead(head);
    return skipped + (headSize - old);
}

void Http1StreamReader::OnRequestHead(const std::string& head) {
    ++statistics_.requests;
    const size_t methodEnd = head.find(' ');
    const bool methodValid = methodEnd != std::string::npos && methodEnd > 0 && methodEnd <= 20 &&
                             std::all_of(head.begin(), head.begin() + static_cast<ptrdiff_t>(methodEnd),
                                         [](char c) { return (c >= 'A' && c <= 'Z') || c == '-'; });
    const Framing framing = Http1BodyDecoder::FramingOf(head);
    if (!methodValid || !framing.valid) return GiveUp();

    Request request;
    const std::string_view method(head.data(), methodEnd);
    request.get = method == "GET";
    request.head = method == "HEAD";
    request.text = head;
    if (request.get) request.url = RequestUrl(head, context_);
    StartBody(sides_[0], framing, false);
    requests_.push_back(std::move(request));
    if (requests_.size() > kMaxUnpaired) return GiveUp();
    Pair();
}

std::string Http1StreamReader::RequestUrl(std::string_view head, const Context& context) {
    // The path runs to the blank after the target, blank included, as the per-packet detector takes it.
    const PacketView view(reinterpret_cast<const uint8_t*>(head.data()), head.size());
    const size_t methodEnd = head.find(' ');
    if (methodEnd == std::string_view::npos) return {};
    const size_t targetStart = methodEnd + 1;
    const auto blank = view.Find(" ", targetStart, head.size());
    if (!blank) return {};
    const std::string_view path = view.View(targetStart, *blank);
    const std::string_view host = Rules::HostField(head);
    if (!host.empty()) return VideoReporter::JoinUrl(host, path);
    return VideoReporter::JoinUrl(!context.serverName.empty() ? context.serverName : context.key.server.AddressForUrl(),
                                  path);
}

void Http1StreamReader::OnResponseHead(const std::string& head) {
    // "HTTP/1.x NNN"
    int status = 0;
    const bool statusValid = head.compare(0, 7, "HTTP/1.") == 0 && head.size() > 12 && head[8] == ' ' &&
                             std::from_chars(head.data() + 9, head.data() + 12, status).ptr == head.data() + 12;
    if (!statusValid) return GiveUp();
    ++statistics_.responses;
    if (status == 101) {
        // Another protocol follows on this connection; it is not read here.
        ++statistics_.upgraded;
        done_ = true;
        return;
    }
    if (status >= 100 && status < 200) return;  // an interim response; the final one follows

    const Framing framing = Http1BodyDecoder::FramingOf(head);
    if (!framing.valid) return GiveUp();
    // Until the request is paired, the oldest unanswered one is this response's.
    const bool answersHead = !requests_.empty() && requests_.front().head;
    const bool noBody = answersHead || status == 204 || status == 304;

    if (auto verdict = judge_.Begin(head, !noBody, now_)) Decide(std::move(*verdict));
    Framing bodyFraming = framing;
    if (noBody) bodyFraming = Framing{false, 0, true};
    StartBody(sides_[1], bodyFraming, true);
}

void Http1StreamReader::StartBody(Side& side, const Framing& framing, bool toTheEndAllowed) {
    side.inBody = side.body.Start(framing, toTheEndAllowed) == Http1BodyDecoder::Result::More;
    if (!side.inBody && &side == &sides_[1]) BodyEnded();
}

size_t Http1StreamReader::ReadBody(StreamDirection direction, std::span<const uint8_t> bytes) {
    Side& side = sides_[IndexOf(direction)];
    const bool response = direction == StreamDirection::ServerToClient;
    size_t used = 0;
    const auto result = side.body.Read(bytes, used, response ? Http1BodyDecoder::BodyBytes(
                                                                   [this](std::span<const uint8_t> body) { BodyBytes(body); })
                                                             : Http1BodyDecoder::BodyBytes());
    if (result == Http1BodyDecoder::Result::Broken) {
        GiveUp();
    } else if (result == Http1BodyDecoder::Result::Ended) {
        side.inBody = false;
        if (response) BodyEnded();
    }
    return used;
}

void Http1StreamReader::BodyBytes(std::span<const uint8_t> bytes) {
    if (auto verdict = judge_.Body(bytes)) Decide(std::move(*verdict));
}

void Http1StreamReader::BodyEnded() {
    // Fewer bytes than the signature: not a Flash video.
    if (auto verdict = judge_.End()) Decide(std::move(*verdict));
}

void Http1StreamReader::Decide(Verdict verdict) {
    verdicts_.push_back(std::move(verdict));
    if (verdicts_.size() > kMaxUnpaired) return GiveUp();
    Pair();
}

void Http1StreamReader::Pair() {
    while (!requests_.empty() && !verdicts_.empty()) {
        Request request = std::move(requests_.front());
        Verdict verdict = std::move(verdicts_.front());
        requests_.pop_front();
        verdicts_.pop_front();
        if (!verdict.video || !request.get) continue;
        ++statistics_.videos;
        reporter_.Report(verdict.Detection(std::move(request.url), std::move(request.text), context_.scheme));
    }
}

void Http1StreamReader::GiveUp() {
    if (done_) return;
    ++statistics_.malformed;
    done_ = true;
}

}  // namespace tarnwick
