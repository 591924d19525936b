// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the HTTP/3 streams of one decrypted QUIC connection and hands each request and its answer on.
#include "capture/quic/Http3Connection.h"

#include <optional>
#include <string_view>

#include "capture/quic/QuicCursor.h"

namespace tarnwick {

namespace {

constexpr auto kClient = StreamDirection::ClientToServer;

// Unidirectional stream types.
constexpr uint64_t kControlStream = 0x00, kPushStream = 0x01, kEncoderStream = 0x02;

// The blocks that may wait for their table at once, per side.
constexpr size_t kMaxBlockedBlocks = 64;

bool ClientInitiated(uint64_t id) {
    return (id & 0x01) == 0;
}
bool Bidirectional(uint64_t id) {
    return (id & 0x02) == 0;
}

std::optional<int> StatusOf(std::string_view status) {
    if (status.size() != 3 || status[0] < '1' || status[0] > '9' || status[1] < '0' || status[1] > '9' ||
        status[2] < '0' || status[2] > '9')
        return std::nullopt;
    return (status[0] - '0') * 100 + (status[1] - '0') * 10 + (status[2] - '0');
}

void ViewsOf(const Http2HeaderList& list, HttpFields& fields) {
    fields.Clear();
    for (const Http2HeaderList::Field& field : list.Fields())
        if (field.name.front() != ':') fields.Add(field.name, field.value);
}

}  // namespace

Http3Connection::Http3Connection(Context context) : context_(std::move(context)) {
    context_.facts.transport = HttpTransport::Http3;
    for (auto& decoder : decoders_) decoder = std::make_unique<QpackDecoder>(context_.maxTableBytes, kMaxBlockedBlocks);
}

Http3Connection::~Http3Connection() {
    if (context_.budget) context_.budget->Give(accounted_);
}

bool Http3Connection::Recount(ByteStream& stream) {
    const size_t held = stream.parser.HeldBytes() + stream.heldWhileBlocked.capacity();
    streamsHeld_ = streamsHeld_ - stream.held + held;
    stream.held = held;
    return Settle();
}

bool Http3Connection::Settle() {
    const size_t held = streamsHeld_ + decoders_[0]->HeldBytes() + decoders_[1]->HeldBytes();
    if (held <= accounted_) {
        if (context_.budget) context_.budget->Give(accounted_ - held);
        accounted_ = held;
        return true;
    }
    if (held > context_.maxHeldBytes) {
        if (context_.hits) context_.hits->Hit(Limit::QuicConnectionBytes);
        return false;
    }
    if (context_.budget && !context_.budget->Take(held - accounted_)) return false;
    accounted_ = held;
    return true;
}

void Http3Connection::Erase(std::map<Key, std::unique_ptr<ByteStream>>::iterator stream) {
    streamsHeld_ -= stream->second->held;
    streams_.erase(stream);
    Settle();
}

Http3Connection::ByteStream* Http3Connection::Find(uint64_t streamId, StreamDirection direction) {
    const Key key{streamId, IndexOf(direction)};
    if (const auto found = streams_.find(key); found != streams_.end()) return found->second.get();
    Kind kind = Kind::Unknown;
    if (Bidirectional(streamId)) {
        // Servers open no bidirectional streams in HTTP/3.
        if (!ClientInitiated(streamId)) return nullptr;
        kind = direction == kClient ? Kind::Request : Kind::Response;
        if (kind == Kind::Request) {
            if (requests_.size() >= context_.maxStreams) {
                ++context_.statistics.streamsRefused;
                if (context_.hits) context_.hits->Hit(Limit::QuicStreams);
                return nullptr;
            }
        } else if (!requests_.count(streamId)) {
            return nullptr;  // an answer nobody waits for
        }
    } else if (ClientInitiated(streamId) != (direction == kClient)) {
        return nullptr;  // a unidirectional stream only runs from its opener
    }
    auto stream = std::make_unique<ByteStream>(*this, streamId, direction, context_.maxHeaderList);
    stream->kind = kind;
    stream->prefixRead = kind != Kind::Unknown;
    stream->fields.SetBound(context_.maxHeaderList);
    if (kind == Kind::Request) requests_.try_emplace(streamId);
    return streams_.emplace(key, std::move(stream)).first->second.get();
}

bool Http3Connection::OnStreamData(uint64_t streamId, StreamDirection direction, std::span<const uint8_t> bytes,
                                   int64_t timeMs) {
    if (broken_) return false;
    nowMs_ = timeMs;
    ByteStream* stream = Find(streamId, direction);
    if (!stream) return false;
    bool wanted = Feed(*stream, bytes);
    if (broken_) {
        // Streams are let go only here, outside the parsers that may have been running.
        streams_.clear();
        streamsHeld_ = 0;
        Settle();
        return false;
    }
    if (wanted && !Recount(*stream)) {
        // What the stream gathers goes beyond the bounds: it is read no further.
        ++context_.statistics.cut;
        wanted = false;
    }
    if (!wanted) {
        ForgetExchange(*stream);
        if (const auto found = streams_.find(Key{streamId, IndexOf(direction)}); found != streams_.end()) Erase(found);
    }
    return wanted;
}

bool Http3Connection::Feed(ByteStream& stream, std::span<const uint8_t> bytes) {
    if (stream.stopped) return false;
    if (stream.blocked) {
        if (bytes.size() > context_.maxStreamHeld - std::min(context_.maxStreamHeld, stream.heldWhileBlocked.size())) {
            if (context_.hits) context_.hits->Hit(Limit::QuicConnectionBytes);
            ++context_.statistics.cut;
            return false;
        }
        stream.heldWhileBlocked.insert(stream.heldWhileBlocked.end(), bytes.begin(), bytes.end());
        return true;
    }
    if (!stream.prefixRead && !ReadPrefix(stream, bytes)) return false;
    if (!stream.prefixRead || bytes.empty()) return true;
    switch (stream.kind) {
        case Kind::Encoder: {
            decoderUsed_[IndexOf(stream.direction)] = true;
            QpackDecoder& decoder = DecoderOf(stream.direction);
            if (!decoder.ReadEncoderStream(bytes)) {
                ++context_.statistics.qpackErrors;
                Break();
                return false;
            }
            ResumeBlocked(stream.direction);
            return !broken_;
        }
        case Kind::Ignored:
            return false;
        default:
            if (!stream.parser.Feed(bytes, stream))
                return stream.parser.Failed() && !broken_ ? StreamMalformed(stream) : false;
            return true;
    }
}

bool Http3Connection::ReadPrefix(ByteStream& stream, std::span<const uint8_t>& bytes) {
    // A unidirectional stream's type, and a push stream's push ID after it, each a variable-length integer.
    while (!stream.prefixRead) {
        const size_t take = std::min(bytes.size(), sizeof stream.prefix - stream.prefixHave);
        std::copy_n(bytes.begin(), take, stream.prefix + stream.prefixHave);
        const std::span<const uint8_t> prefix(stream.prefix, stream.prefixHave + take);
        const auto type = QuicCursor::PeekVarInt(prefix);
        std::optional<std::pair<uint64_t, size_t>> pushId;
        if (type && type->first == kPushStream) pushId = QuicCursor::PeekVarInt(prefix.subspan(type->second));
        if (!type || (type->first == kPushStream && !pushId)) {
            stream.prefixHave += take;
            bytes = bytes.subspan(take);
            return bytes.empty() || StreamMalformed(stream);
        }
        const size_t used = type->second + (pushId ? pushId->second : 0) - stream.prefixHave;
        bytes = bytes.subspan(used);
        stream.prefixRead = true;
        switch (type->first) {
            case kControlStream:
                stream.kind = Kind::Control;
                break;
            case kPushStream:
                stream.kind = Kind::Push;
                stream.pushId = pushId->first;
                if (!pushes_.count(stream.pushId)) return false;  // a push nobody follows
                break;
            case kEncoderStream:
                stream.kind = Kind::Encoder;
                break;
            default:
                stream.kind = Kind::Ignored;
                return false;  // decoder streams, reserved and unknown types
        }
    }
    return true;
}

bool Http3Connection::OnFrame(ByteStream& stream, uint64_t type, std::span<const uint8_t> payload) {
    switch (stream.kind) {
        case Kind::Request:
            // The request's own head is its first HEADERS frame; later ones are trailers.
            if (type != Http3FrameParser::kHeaders) return type != Http3FrameParser::kPushPromise;
            {
                const auto found = requests_.find(stream.id);
                if (found == requests_.end() || found->second.exchange) return false;
            }
            return DecodeBlock(stream, type, 0, payload);
        case Kind::Response:
        case Kind::Push:
            if (type == Http3FrameParser::kHeaders) return DecodeBlock(stream, type, 0, payload);
            if (type == Http3FrameParser::kPushPromise && stream.kind == Kind::Response) {
                QuicCursor cursor(payload);
                const uint64_t pushId = cursor.VarInt();
                if (!cursor.Ok()) return false;
                return DecodeBlock(stream, type, pushId, cursor.Rest());
            }
            return true;
        case Kind::Control:
            if (type == Http3FrameParser::kSettings) ReadSettings(stream.direction, payload);
            return true;
        default:
            return true;  // GOAWAY and the like change nothing that is read here
    }
}

void Http3Connection::ReadSettings(StreamDirection from, std::span<const uint8_t> payload) {
    constexpr uint64_t kQpackMaxTableCapacity = 0x01;
    QuicCursor cursor(payload);
    while (!cursor.AtEnd()) {
        const uint64_t id = cursor.VarInt();
        const uint64_t value = cursor.VarInt();
        if (!cursor.Ok() || id != kQpackMaxTableCapacity) continue;
        // The capacity a side allows is what the other side's encoder numbers its entries by (a block
        // names its required entry modulo a range that follows from it): that side's blocks are decoded
        // with it, within the bound. Only a decoder that has read nothing yet can take it.
        const int other = IndexOf(Opposite(from));
        if (decoderUsed_[other]) continue;
        decoders_[other] = std::make_unique<QpackDecoder>(
            static_cast<size_t>(std::min<uint64_t>(value, context_.maxTableBytes)), kMaxBlockedBlocks);
    }
}

bool Http3Connection::DecodeBlock(ByteStream& stream, uint64_t type, uint64_t pushId, std::span<const uint8_t> block) {
    decoderUsed_[IndexOf(stream.direction)] = true;
    stream.fields.Clear();
    stream.fields.SetBound(context_.maxHeaderList);
    const auto result =
        DecoderOf(stream.direction)
            .Decode(static_cast<int64_t>(stream.id), block, [&stream](std::string_view name, std::string_view value) {
                if (!stream.fields.Cut()) stream.fields.Add(name, value);
            });
    switch (result) {
        case QpackDecoder::Result::Decoded:
            return ReadBlock(stream, type, pushId);
        case QpackDecoder::Result::Blocked:
            stream.blocked = true;
            stream.blockedType = type;
            stream.blockedPushId = pushId;
            return true;
        case QpackDecoder::Result::Failed:
            break;
    }
    ++context_.statistics.qpackErrors;
    Break();
    return false;
}

bool Http3Connection::ReadBlock(ByteStream& stream, uint64_t type, uint64_t pushId) {
    if (stream.fields.Cut()) {
        ++context_.statistics.headerListsCut;
        if (context_.hits) context_.hits->Hit(Limit::HeadBytes);
        return false;
    }
    if (type == Http3FrameParser::kPushPromise) return ReadRequest(stream, true, pushId);
    if (stream.kind == Kind::Request) return ReadRequest(stream, false, 0);
    Exchange* exchange = ExchangeOf(stream);
    if (!exchange || !exchange->exchange) return false;
    if (exchange->answered) {
        // Trailers: the body ended.
        exchange->exchange->End(true);
        return false;
    }
    return ReadAnswer(stream, *exchange);
}

bool Http3Connection::ReadRequest(ByteStream& stream, bool pushed, uint64_t pushId) {
    const Http2HeaderList& list = stream.fields;
    ++context_.statistics.requests;
    if (pushed) ++context_.statistics.pushes;
    std::optional<std::string> text;
    if (!list.Malformed()) text = list.RequestText();
    if (!text) {
        ++context_.statistics.malformedStreams;
        return pushed;  // a bad promise leaves the answer stream readable
    }
    if (pushed && (pushes_.size() >= context_.maxStreams || pushes_.count(pushId))) {
        if (pushes_.size() >= context_.maxStreams) {
            ++context_.statistics.streamsRefused;
            if (context_.hits) context_.hits->Hit(Limit::QuicStreams);
        }
        return true;
    }
    HttpFields fields;
    ViewsOf(list, fields);
    HttpRequestHead request;
    request.method = list.Find(":method").value_or("");
    const auto scheme = list.Find(":scheme");
    if (scheme == "http" || scheme == "https") request.scheme = *scheme;
    request.authority = list.Find(":authority").value_or(list.Find("host").value_or(""));
    request.target = list.Find(":path").value_or("");
    request.fields = &fields;
    request.text = *text;
    request.pushed = pushed;
    request.timeMs = nowMs_;
    auto exchange = context_.sink.OnRequest(context_.facts, request);
    if (pushed) {
        if (exchange) pushes_[pushId] = Exchange{std::move(exchange), false, request.method == "HEAD"};
        return true;
    }
    if (!exchange) return false;  // nobody cares for its answer
    requests_[stream.id] = Exchange{std::move(exchange), false, request.method == "HEAD"};
    return true;
}

bool Http3Connection::ReadAnswer(ByteStream& stream, Exchange& exchange) {
    const Http2HeaderList& list = stream.fields;
    const auto status = StatusOf(list.Find(":status").value_or(""));
    if (list.Malformed() || !status) {
        ++context_.statistics.malformedStreams;
        return false;
    }
    if (*status < 200) return true;  // an interim answer; the final one follows
    ++context_.statistics.responses;
    exchange.answered = true;
    HttpFields fields;
    ViewsOf(list, fields);
    HttpResponseHead answer;
    answer.status = *status;
    answer.fields = &fields;
    answer.timeMs = nowMs_;
    // HTTP/3 marks no end on the head itself: the stream's end after it tells. A HEAD request, 204 and
    // 304 have no body whatever follows.
    const bool bodyFollows = !exchange.head && *status != 204 && *status != 304;
    exchange.exchange->OnAnswer(answer, bodyFollows);
    if (!bodyFollows || exchange.exchange->Wanted() == 0) {
        exchange.exchange->End(true);
        return false;
    }
    return true;
}

bool Http3Connection::OnData(ByteStream& stream, std::span<const uint8_t> bytes) {
    if (stream.kind == Kind::Request) return true;  // a request's body is not read
    Exchange* exchange = ExchangeOf(stream);
    if (!exchange || !exchange->exchange || !exchange->answered) return false;
    HttpExchange& target = *exchange->exchange;
    const size_t wanted = target.Wanted();
    if (wanted > 0) target.Body(bytes.first(std::min(wanted, bytes.size())));
    if (target.Wanted() > 0) return true;
    target.End(true);
    return false;
}

void Http3Connection::ResumeBlocked(StreamDirection encoderSide) {
    QpackDecoder& decoder = DecoderOf(encoderSide);
    for (const int64_t id : decoder.Ready()) {
        const auto found = streams_.find(Key{static_cast<uint64_t>(id), IndexOf(encoderSide)});
        if (found == streams_.end() || !found->second->blocked) {
            decoder.Cancel(id);
            continue;
        }
        ByteStream& stream = *found->second;
        stream.fields.Clear();
        const auto result = decoder.Resume(id, [&stream](std::string_view name, std::string_view value) {
            if (!stream.fields.Cut()) stream.fields.Add(name, value);
        });
        if (result == QpackDecoder::Result::Failed) {
            ++context_.statistics.qpackErrors;
            Break();
            return;
        }
        if (result == QpackDecoder::Result::Blocked) continue;
        stream.blocked = false;
        std::vector<uint8_t> rest = std::move(stream.heldWhileBlocked);
        stream.heldWhileBlocked = {};
        Recount(stream);
        bool wanted = ReadBlock(stream, stream.blockedType, stream.blockedPushId);
        if (wanted && !broken_ && !rest.empty()) wanted = Feed(stream, rest);
        if (broken_) return;
        if (!wanted) {
            stream.stopped = true;
            ForgetExchange(stream);
        }
    }
}

Http3Connection::Exchange* Http3Connection::ExchangeOf(const ByteStream& stream) {
    if (stream.kind == Kind::Push) {
        const auto found = pushes_.find(stream.pushId);
        return found == pushes_.end() ? nullptr : &found->second;
    }
    const auto found = requests_.find(stream.id);
    return found == requests_.end() ? nullptr : &found->second;
}

void Http3Connection::ForgetExchange(const ByteStream& stream) {
    if (stream.kind == Kind::Push) {
        pushes_.erase(stream.pushId);
    } else if (stream.kind == Kind::Response) {
        requests_.erase(stream.id);
    } else if (stream.kind == Kind::Request) {
        // A request nobody cares for (or that could not be read) is not followed; one with an exchange
        // waits for its answer.
        const auto found = requests_.find(stream.id);
        if (found != requests_.end() && !found->second.exchange) requests_.erase(found);
    }
}

void Http3Connection::OnStreamEnd(uint64_t streamId, StreamDirection direction) {
    const auto found = streams_.find(Key{streamId, IndexOf(direction)});
    if (found == streams_.end()) return;
    ByteStream& stream = *found->second;
    if (stream.blocked) {
        // The rest comes once the table has what the block needs.
        return;
    }
    if (stream.kind == Kind::Response || stream.kind == Kind::Push) {
        Exchange* exchange = ExchangeOf(stream);
        if (exchange && exchange->exchange && exchange->answered)
            exchange->exchange->End(stream.parser.BetweenFrames());
    }
    DecoderOf(direction).Cancel(static_cast<int64_t>(streamId));
    ForgetExchange(stream);
    Erase(found);
}

void Http3Connection::OnStreamReset(uint64_t streamId) {
    for (const int side : {0, 1}) {
        const auto found = streams_.find(Key{streamId, side});
        if (found == streams_.end()) continue;
        decoders_[side]->Cancel(static_cast<int64_t>(streamId));
        Erase(found);
    }
    if (Bidirectional(streamId)) requests_.erase(streamId);
}

bool Http3Connection::StreamMalformed(ByteStream& stream) {
    ++context_.statistics.malformedStreams;
    stream.stopped = true;
    return false;
}

void Http3Connection::Break() {
    broken_ = true;
    requests_.clear();
    pushes_.clear();
}

}  // namespace tarnwick
