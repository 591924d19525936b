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

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x | 0x20) == (y | 0x20);
           });
}

std::string_view TrimWhitespace(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A line (without its CR LF) gathered into line; returns the bytes used and sets complete at its end.
size_t GatherLine(std::string& line, std::span<const uint8_t> bytes, bool& complete) {
    const auto newline = std::find(bytes.begin(), bytes.end(), static_cast<uint8_t>('\n'));
    complete = newline != bytes.end();
    const size_t used = static_cast<size_t>(newline - bytes.begin()) + (complete ? 1 : 0);
    line.append(bytes.begin(), newline);
    if (complete && !line.empty() && line.back() == '\r') line.pop_back();
    return used;
}

}  // namespace

Http1StreamReader::Http1StreamReader(Context context, VideoReporter& reporter, Http1Statistics& statistics)
    : context_(std::move(context)), reporter_(reporter), statistics_(statistics) {
    ++statistics_.connections;
}

void Http1StreamReader::OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) {
    now_ = timeSeconds;
    while (!bytes.empty() && !done_) {
        const Side& side = sides_[IndexOf(direction)];
        const size_t used = side.state == State::Head ? ReadHead(direction, bytes) : ReadBody(direction, bytes);
        bytes = bytes.subspan(used);
    }
}

void Http1StreamReader::OnEnd(StreamEnd how) {
    // A body read to the end of a cleanly closed connection is complete.
    if (how == StreamEnd::Closed && sides_[1].state == State::ToTheEnd) BodyEnded();
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
    const Framing framing = FramingOf(head);
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

    const Framing framing = FramingOf(head);
    if (!framing.valid) return GiveUp();
    // Until the request is paired, the oldest unanswered one is this response's.
    const bool answersHead = !requests_.empty() && requests_.front().head;
    const bool noBody = answersHead || status == 204 || status == 304;

    if (auto verdict = judge_.Begin(head, !noBody, now_)) Decide(std::move(*verdict));
    Framing bodyFraming = framing;
    if (noBody) bodyFraming = Framing{false, 0, true};
    StartBody(sides_[1], bodyFraming, true);
}

Http1StreamReader::Framing Http1StreamReader::FramingOf(const std::string& head) {
    Framing framing;
    bool transferCoded = false;
    std::string_view rest(head);
    rest.remove_prefix(std::min(rest.size(), rest.find("\r\n") + 2));  // the start line
    while (!rest.empty()) {
        const size_t lineEnd = rest.find("\r\n");
        const std::string_view line = rest.substr(0, lineEnd);
        rest.remove_prefix(lineEnd == std::string_view::npos ? rest.size() : lineEnd + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = TrimWhitespace(line.substr(colon + 1));
        if (EqualsIgnoringCase(name, "Content-Length")) {
            uint64_t length = 0;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
            if (error != std::errc() || end != value.data() + value.size() || value.empty() ||
                (framing.length && *framing.length != length))
                framing.valid = false;
            framing.length = length;
        } else if (EqualsIgnoringCase(name, "Transfer-Encoding")) {
            transferCoded = true;
            const size_t lastComma = value.rfind(',');
            const std::string_view last = TrimWhitespace(lastComma == std::string_view::npos ? value
                                                                                              : value.substr(lastComma + 1));
            framing.chunked = EqualsIgnoringCase(last, "chunked");
        }
    }
    // A transfer coding overrides any length; one that is not chunked runs to the end of the connection.
    if (transferCoded) framing.length.reset();
    return framing;
}

void Http1StreamReader::StartBody(Side& side, const Framing& framing, bool toTheEndAllowed) {
    const bool response = &side == &sides_[1];
    if (framing.chunked) {
        side.state = State::ChunkSize;
        side.line.clear();
    } else if (framing.length && *framing.length > 0) {
        side.state = State::FixedBody;
        side.remaining = *framing.length;
    } else if (!framing.length && toTheEndAllowed) {
        side.state = State::ToTheEnd;
    } else {
        side.state = State::Head;
        if (response) BodyEnded();
    }
}

size_t Http1StreamReader::ReadBody(StreamDirection direction, std::span<const uint8_t> bytes) {
    Side& side = sides_[IndexOf(direction)];
    const bool response = direction == StreamDirection::ServerToClient;
    auto endBody = [&] {
        side.state = State::Head;
        if (response) BodyEnded();
    };
    bool complete = false;
    size_t used = 0;
    switch (side.state) {
    case State::FixedBody:
    case State::ChunkData:
        used = static_cast<size_t>(std::min<uint64_t>(side.remaining, bytes.size()));
        if (response) BodyBytes(bytes.first(used));
        side.remaining -= used;
        if (side.remaining == 0) {
            if (side.state == State::FixedBody) endBody();
            else side.state = State::ChunkDataEnd;
        }
        return used;
    case State::ToTheEnd:
        if (response) BodyBytes(bytes);
        return bytes.size();
    case State::ChunkSize: {
        used = GatherLine(side.line, bytes, complete);
        if (side.line.size() > kMaxLineBytes) GiveUp();
        if (!complete || done_) return used;
        // Hex digits, then perhaps chunk extensions after a semicolon.
        const std::string_view text = TrimWhitespace(std::string_view(side.line).substr(0, side.line.find(';')));
        uint64_t size = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), size, 16);
        side.line.clear();
        if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
            GiveUp();
        } else if (size == 0) {
            side.state = State::Trailer;
        } else {
            side.state = State::ChunkData;
            side.remaining = size;
        }
        return used;
    }
    case State::ChunkDataEnd:
    case State::Trailer:
        used = GatherLine(side.line, bytes, complete);
        if (side.line.size() > kMaxLineBytes) GiveUp();
        if (!complete || done_) return used;
        if (side.state == State::ChunkDataEnd) {
            // Only the line end may follow a chunk's data.
            if (!side.line.empty()) GiveUp();
            side.state = State::ChunkSize;
        } else if (side.line.empty()) {
            endBody();
        }
        side.line.clear();
        return used;
    case State::Head:
        break;
    }
    return 0;
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
