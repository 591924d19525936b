// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the HTTP/1 requests and answers of a connection, in the clear or decrypted, as messages.
#include "capture/http1/Http1ConnectionReader.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "capture/http1/Http1Head.h"

namespace tarnwick {

namespace {

constexpr auto kClient = StreamDirection::ClientToServer;
constexpr auto kServer = StreamDirection::ServerToClient;

// The client's bytes after a request that asks to switch to h2c wait for the answer, within this bound.
constexpr size_t kMaxHeldForSwitch = 128 * 1024;

std::string_view TextOf(std::span<const uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// HTTP2-Settings holds a SETTINGS payload in the URL-safe base64 alphabet without padding; a character
// outside it ends the decoding there.
std::string DecodeBase64Url(std::string_view text) {
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const int value = c >= 'A' && c <= 'Z'   ? c - 'A'
                          : c >= 'a' && c <= 'z' ? c - 'a' + 26
                          : c >= '0' && c <= '9' ? c - '0' + 52
                          : c == '-'             ? 62
                          : c == '_'             ? 63
                                                 : -1;
        if (value < 0) break;
        bits = (bits << 6 | static_cast<uint32_t>(value)) & 0xffffff;
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<char>(static_cast<uint8_t>(bits >> count)));
        }
    }
    return bytes;
}

// An absolute-form target ("http://host/path") names its scheme and authority itself.
void SplitTarget(std::string_view target, HttpRequestHead& request) {
    request.target = target;
    for (std::string_view scheme : {"http", "https"}) {
        if (target.size() < scheme.size() + 3 || !HttpFields::NameIs(target.substr(0, scheme.size()), scheme) ||
            target.substr(scheme.size(), 3) != "://")
            continue;
        const std::string_view rest = target.substr(scheme.size() + 3);
        const size_t pathStart = rest.find_first_of("/?");
        request.scheme = scheme;
        request.authority = rest.substr(0, pathStart);
        request.target = pathStart == std::string_view::npos ? std::string_view("/") : rest.substr(pathStart);
        return;
    }
}

}  // namespace

Http1ConnectionReader::Http1ConnectionReader(Context context, bool inStep)
    : context_(std::move(context)), fields_(context_.fields ? *context_.fields : ownFields_) {
    ++context_.statistics.connections;
    if (!inStep) sides_[0].mode = sides_[1].mode = Mode::Lost;
}

Http1ConnectionReader::~Http1ConnectionReader() {
    for (Side& side : sides_) ReleaseHead(side);
    context_.messageBytes.Give(held_.capacity());
}

void Http1ConnectionReader::OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) {
    nowMs_ = timeMs;
    if (switched_) {
        switched_->OnData(direction, bytes, timeMs);
        done_ = switched_->Done();
        return;
    }
    Side& side = SideOf(direction);
    while (!bytes.empty() && !done_ && !switched_) {
        size_t used = bytes.size();
        switch (side.mode) {
            case Mode::Head:
                used = ReadHead(direction, bytes);
                break;
            case Mode::Body:
                used = ReadBody(direction, bytes);
                break;
            case Mode::Held:
                used = Hold(bytes);
                break;
            case Mode::Lost: {
                // What comes after a lost stretch is read on when it begins a message.
                bool complete = false;
                const bool begins = direction == kClient ? Http1Head::MayBeginRequest(TextOf(bytes), complete)
                                                         : Http1Head::MayBeginAnswer(TextOf(bytes), complete);
                if (begins) {
                    side.mode = Mode::Head;
                    continue;
                }
                break;
            }
            case Mode::Switched:
                break;
        }
        bytes = bytes.subspan(used);
    }
}

size_t Http1ConnectionReader::ReadHead(StreamDirection direction, std::span<const uint8_t> bytes) {
    Side& side = SideOf(direction);
    size_t skipped = 0;
    if (side.head.empty()) {
        // Blank lines between messages are passed over.
        while (skipped < bytes.size() && (bytes[skipped] == '\r' || bytes[skipped] == '\n')) ++skipped;
        bytes = bytes.subspan(skipped);
        if (bytes.empty()) return skipped;
    }
    const size_t old = side.head.size();
    std::string_view text;
    size_t end = 0;
    if (old == 0) {
        // Most heads come whole in one delivery: read in place.
        text = TextOf(bytes);
        const auto found = Http1Head::EndOf(text);
        if (found) end = *found;
    }
    if (end == 0) {
        const size_t take = std::min(bytes.size(), context_.maxHeadBytes - std::min(context_.maxHeadBytes, old));
        side.head.append(reinterpret_cast<const char*>(bytes.data()), take);
        if (side.head.capacity() > side.charged) {
            const size_t more = side.head.capacity() - side.charged;
            if (!context_.messageBytes.Take(more)) {
                ++context_.statistics.headsCut;
                LoseWay(direction, false);
                return skipped + take;
            }
            side.charged += more;
        }
        text = side.head;
        const auto found = Http1Head::EndOf(text, old >= 3 ? old - 3 : 0);
        if (!found) {
            bool complete = false;
            const bool mayBe = direction == kClient ? Http1Head::MayBeginRequest(text, complete)
                                                    : Http1Head::MayBeginAnswer(text, complete);
            if (!mayBe) {
                LoseWay(direction, false);
            } else if (side.head.size() >= context_.maxHeadBytes) {
                ++context_.statistics.headsCut;
                if (context_.hits) context_.hits->Hit(Limit::HeadBytes);
                LoseWay(direction, false);
            }
            return skipped + take;
        }
        end = *found;
    }
    const size_t used = end - old;  // of this delivery's bytes
    const std::string_view head = text.substr(0, end);
    const std::span<const uint8_t> rest = bytes.subspan(used);
    if (direction == kClient)
        OnRequestHead(head);
    else
        OnAnswerHead(head, rest);
    // The head's own copy goes once it has been handed over.
    ReleaseHead(side);
    if (switched_) return skipped + bytes.size();
    return skipped + used;
}

void Http1ConnectionReader::ReleaseHead(Side& side) {
    context_.messageBytes.Give(side.charged);
    side.charged = 0;
    std::string().swap(side.head);
}

bool Http1ConnectionReader::OnRequestHead(std::string_view head) {
    const auto line = Http1Head::ParseRequest(head, fields_);
    if (!line) {
        LoseWay(kClient, false);
        return false;
    }
    ++context_.statistics.requests;
    Pending pending;
    pending.head = line->method == "HEAD";
    pending.connect = line->method == "CONNECT";
    const Http1BodyDecoder::Framing framing = Http1BodyDecoder::FramingOf(fields_);
    if (const auto upgrade = fields_.Find("Upgrade"); upgrade && Http1Head::ListHas(*upgrade, "h2c"))
        if (const auto settings = fields_.Find("HTTP2-Settings")) {
            pending.asksForH2c = true;
            pending.http2Settings = DecodeBase64Url(*settings);
        }
    HttpRequestHead request;
    request.method = line->method;
    SplitTarget(line->target, request);
    if (request.authority.empty()) request.authority = fields_.Find("Host").value_or(std::string_view());
    request.fields = &fields_;
    request.text = head;
    // A request that may become HTTP/2's first stream is kept without the fields that ask for the
    // switch, so that replaying it fetches the video instead of switching again.
    std::string withoutSwitch;
    if (pending.asksForH2c) {
        withoutSwitch.assign(head.substr(0, head.find('\n') + 1));
        for (const HttpFields::Field& field : fields_.All()) {
            if (HttpFields::NameIs(field.name, "Upgrade") || HttpFields::NameIs(field.name, "HTTP2-Settings") ||
                HttpFields::NameIs(field.name, "Connection"))
                continue;
            withoutSwitch.append(field.name).append(": ").append(field.value).append("\r\n");
        }
        withoutSwitch.append("\r\n");
        request.text = withoutSwitch;
    }
    request.timeMs = nowMs_;
    pending.exchange = context_.sink.OnRequest(context_.facts, request);
    if (pending_.size() >= context_.maxUnanswered) {
        if (context_.hits) context_.hits->Hit(Limit::UnansweredRequests);
        GiveUp();
        return false;
    }
    pending_.push_back(std::move(pending));
    unpairedAnswers_ = 0;
    if (!framing.valid) {
        LoseWay(kClient, false);
        return false;
    }
    StartBody(kClient, framing);
    return true;
}

bool Http1ConnectionReader::OnAnswerHead(std::string_view head, std::span<const uint8_t> rest) {
    const auto line = Http1Head::ParseAnswer(head, fields_);
    if (!line) {
        LoseWay(kServer, false);
        return false;
    }
    ++context_.statistics.responses;
    const int status = line->status;
    if (status < 200 && status != 101) return true;  // an interim answer; the final one follows
    Pending pending;
    if (!pending_.empty()) {
        pending = std::move(pending_.front());
        pending_.erase(pending_.begin());
    } else {
        ++context_.statistics.unpaired;
        ++unpairedAnswers_;
    }
    if (status == 101) {
        const auto upgrade = fields_.Find("Upgrade");
        if (pending.asksForH2c && upgrade && Http1Head::ListHas(*upgrade, "h2c") && context_.http2) {
            SwitchToHttp2(std::move(pending), rest);
            return true;
        }
        // Another protocol follows (a WebSocket, say): not read.
        ++context_.statistics.upgraded;
        done_ = true;
        return true;
    }
    if (pending.connect && status < 300) {
        done_ = true;  // a tunnel: what follows is no HTTP/1 of this connection
        return true;
    }
    // An answer that declines the switch: the bytes held for HTTP/2 are HTTP/1 after all.
    const bool release = sides_[0].mode == Mode::Held;
    const bool bodyFollows = !(pending.head || status == 204 || status == 304);
    if (pending.exchange) {
        HttpResponseHead answer;
        answer.status = status;
        answer.fields = &fields_;
        answer.timeMs = nowMs_;
        pending.exchange->OnAnswer(answer, bodyFollows);
    }
    answering_ = std::move(pending.exchange);
    if (bodyFollows) {
        const Http1BodyDecoder::Framing framing = Http1BodyDecoder::FramingOf(fields_);
        if (!framing.valid) {
            LoseWay(kServer, false);
        } else {
            StartBody(kServer, framing);
        }
    } else {
        BodyEnded(kServer, true);
    }
    if (release) {
        sides_[0].mode = Mode::Head;
        std::string held = std::move(held_);
        context_.messageBytes.Give(held.capacity());
        held_.clear();
        OnData(kClient, {reinterpret_cast<const uint8_t*>(held.data()), held.size()}, nowMs_);
    }
    return true;
}

void Http1ConnectionReader::StartBody(StreamDirection direction, const Http1BodyDecoder::Framing& framing) {
    Side& side = SideOf(direction);
    // A request without a length has no body; an answer without one runs to the end of the connection.
    if (side.body.Start(framing, direction == kServer) == Http1BodyDecoder::Result::Ended) {
        BodyEnded(direction, true);
        return;
    }
    side.mode = Mode::Body;
}

size_t Http1ConnectionReader::ReadBody(StreamDirection direction, std::span<const uint8_t> bytes) {
    Side& side = SideOf(direction);
    size_t used = 0;
    Http1BodyDecoder::BodyBytes toExchange;
    if (direction == kServer && answering_ && answering_->Wanted() > 0)
        toExchange = [this](std::span<const uint8_t> body) {
            if (!answering_) return;
            const size_t wanted = answering_->Wanted();
            if (wanted > 0) answering_->Body(body.first(std::min(wanted, body.size())));
        };
    const auto result = side.body.Read(bytes, used, toExchange);
    if (result == Http1BodyDecoder::Result::Broken)
        LoseWay(direction, false);
    else if (result == Http1BodyDecoder::Result::Ended)
        BodyEnded(direction, true);
    return used;
}

uint64_t Http1ConnectionReader::TakeSkip(StreamDirection direction) {
    if (switched_) return switched_->TakeSkip(direction);
    Side& side = SideOf(direction);
    if (side.mode != Mode::Body) return 0;
    if (direction == kServer && answering_ && answering_->Wanted() > 0) return 0;
    const uint64_t count = side.body.Skippable();
    if (count == 0) return 0;
    // A body that runs to the end of the connection ends with it.
    if (count == UINT64_MAX) return kRest;
    side.body.Skip(count);
    if (side.body.Ended()) BodyEnded(direction, true);
    return count;
}

void Http1ConnectionReader::BodyEnded(StreamDirection direction, bool complete) {
    Side& side = SideOf(direction);
    side.mode = Mode::Head;
    if (direction == kServer && answering_) {
        answering_->End(complete);
        answering_.reset();
    }
    // Until the server answers a request that asks to switch, what the client sends next may be HTTP/2.
    if (direction == kClient && !pending_.empty() && pending_.back().asksForH2c) side.mode = Mode::Held;
}

size_t Http1ConnectionReader::Hold(std::span<const uint8_t> bytes) {
    const size_t before = held_.capacity();
    if (held_.size() + bytes.size() > kMaxHeldForSwitch) {
        GiveUp();
        return bytes.size();
    }
    held_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (held_.capacity() > before && !context_.messageBytes.Take(held_.capacity() - before)) {
        context_.messageBytes.Give(before);  // what was taken for it so far
        std::string().swap(held_);
        GiveUp();
    }
    return bytes.size();
}

void Http1ConnectionReader::OnGap(StreamDirection direction, uint64_t count) {
    if (switched_) {
        switched_->OnGap(direction, count);
        done_ = switched_->Done();
        return;
    }
    Side& side = SideOf(direction);
    switch (side.mode) {
        case Mode::Body:
            if (count <= side.body.Skippable()) {
                // Only the body's own content is missing: the messages keep their places.
                if (direction == kServer && answering_ && answering_->Wanted() > 0) {
                    answering_->End(false);
                    answering_.reset();
                }
                side.body.Skip(count);
                if (side.body.Ended()) BodyEnded(direction, true);
                return;
            }
            LoseWay(direction, true);
            return;
        case Mode::Head:
        case Mode::Held:
            LoseWay(direction, true);
            return;
        case Mode::Lost:
        case Mode::Switched:
            return;
    }
}

void Http1ConnectionReader::LoseWay(StreamDirection direction, bool messageLost) {
    ++context_.statistics.lost;
    Side& side = SideOf(direction);
    ReleaseHead(side);
    side.mode = Mode::Lost;
    side.body = Http1BodyDecoder();
    if (direction == kServer) {
        // Which requests the lost answers belonged to cannot be told: the waiting ones are not paired.
        answering_.reset();
        pending_.clear();
        unpairedAnswers_ = 0;
        return;
    }
    context_.messageBytes.Give(held_.capacity());
    std::string().swap(held_);
    // A request the capture lost is still answered: its place keeps the answers after it paired right,
    // unless its answer came already (with no request to pair with).
    if (messageLost && unpairedAnswers_ > 0)
        --unpairedAnswers_;
    else if (messageLost && pending_.size() < context_.maxUnanswered)
        pending_.emplace_back();
}

void Http1ConnectionReader::SwitchToHttp2(Pending pending, std::span<const uint8_t> rest) {
    const std::string settings = std::move(pending.http2Settings);
    ConnectionFacts facts = context_.facts;
    facts.transport = HttpTransport::Http2;
    switched_ = context_.http2->SwitchToHttp2(facts, std::move(pending.exchange),
                                              {reinterpret_cast<const uint8_t*>(settings.data()), settings.size()});
    if (!switched_) {
        done_ = true;
        return;
    }
    ++context_.statistics.upgraded;
    for (Side& side : sides_) {
        ReleaseHead(side);
        side.mode = Mode::Switched;
    }
    // The rest of the answer's delivery is HTTP/2 already, and so are the client's held bytes.
    if (!rest.empty()) switched_->OnData(kServer, rest, nowMs_);
    if (!held_.empty() && !switched_->Done())
        switched_->OnData(kClient, {reinterpret_cast<const uint8_t*>(held_.data()), held_.size()}, nowMs_);
    context_.messageBytes.Give(held_.capacity());
    std::string().swap(held_);
    done_ = switched_->Done();
}

void Http1ConnectionReader::OnEnd(StreamEnd how) {
    if (switched_) {
        switched_->OnEnd(how);
        return;
    }
    // A body read to the end of a cleanly closed connection is complete.
    if (how == StreamEnd::Closed && sides_[1].mode == Mode::Body && sides_[1].body.ToTheEnd() && answering_)
        answering_->End(true);
    answering_.reset();
    pending_.clear();
}

void Http1ConnectionReader::GiveUp() {
    if (done_) return;
    ++context_.statistics.givenUp;
    done_ = true;
    answering_.reset();
    pending_.clear();
}

}  // namespace tarnwick
