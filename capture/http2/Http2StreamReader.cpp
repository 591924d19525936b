// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the HTTP/2 streams of a reassembled (and perhaps decrypted) connection and hands each request
// and its answer on.
#include "capture/http2/Http2StreamReader.h"

#include <utility>

namespace tarnwick {

namespace {

constexpr auto kClient = StreamDirection::ClientToServer;
constexpr auto kServer = StreamDirection::ServerToClient;

std::optional<int> StatusOf(std::string_view status) {
    if (status.size() != 3 || status[0] < '1' || status[0] > '9' || status[1] < '0' || status[1] > '9' ||
        status[2] < '0' || status[2] > '9')
        return std::nullopt;
    return (status[0] - '0') * 100 + (status[1] - '0') * 10 + (status[2] - '0');
}

// The regular fields of a list, as views for the sink.
void ViewsOf(const Http2HeaderList& list, HttpFields& fields) {
    fields.Clear();
    for (const Http2HeaderList::Field& field : list.Fields())
        if (field.name.front() != ':') fields.Add(field.name, field.value);
}

}  // namespace

Http2StreamReader::Http2StreamReader(Context context)
    : context_(std::move(context)), parsers_{Http2FrameParser(kClient, *this), Http2FrameParser(kServer, *this)} {
    ++context_.statistics.connections;
    for (Block& block : blocks_) block.fields.SetBound(context_.maxHeaderList);
    if (!HoldTables()) GiveUp();
}

Http2StreamReader::~Http2StreamReader() {
    context_.budget.Give(held_);
}

bool Http2StreamReader::HoldTables() {
    // Each decoder's table may grow to what its peer allowed.
    const size_t tables = decoders_[0].AllowedTableSize() + decoders_[1].AllowedTableSize();
    if (tables <= tablesHeld_) return true;
    const size_t more = tables - tablesHeld_;
    if (more > context_.maxHeldBytes - std::min(context_.maxHeldBytes, held_) || !context_.budget.Take(more)) {
        if (context_.hits) context_.hits->Hit(Limit::Http2Bytes);
        return false;
    }
    held_ += more;
    tablesHeld_ = tables;
    return true;
}

void Http2StreamReader::AdoptUpgradeRequest(std::unique_ptr<HttpExchange> exchange,
                                            std::span<const uint8_t> clientSettings) {
    for (size_t at = 0; at + 6 <= clientSettings.size(); at += 6) {
        const auto* entry = clientSettings.data() + at;
        OnSetting(kClient, static_cast<uint16_t>(entry[0] << 8 | entry[1]),
                  static_cast<uint32_t>(entry[2]) << 24 | static_cast<uint32_t>(entry[3]) << 16 |
                      static_cast<uint32_t>(entry[4]) << 8 | entry[5]);
    }
    ++context_.statistics.upgrades;
    highestClientStream_ = 1;
    ++context_.statistics.requests;
    if (!exchange) return;
    Stream* stream = Open(1);
    if (!stream) return;
    stream->requestRead = true;
    stream->exchange = std::move(exchange);
}

void Http2StreamReader::OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) {
    if (done_) return;
    nowMs_ = timeMs;
    // A stop the handler asked for has been counted where it was decided.
    if (!parsers_[IndexOf(direction)].Feed(bytes) && !done_) {
        ++context_.statistics.malformed;
        GiveUp();
    }
}

void Http2StreamReader::OnGap(StreamDirection, uint64_t) {
    // Frames cannot be found again after a lost stretch, nor the decoders' tables known.
    ++context_.statistics.lostStretches;
    GiveUp();
}

void Http2StreamReader::OnEnd(StreamEnd) {
    // A stream without its END_STREAM is incomplete whatever ended the connection. What is held goes now.
    GiveUp();
}

bool Http2StreamReader::OnFrameStart(StreamDirection direction, const Http2::FrameHeader& frame,
                                     const Http2FrameParser::Fields& fields) {
    // Each side opens with its settings: anything else is not HTTP/2.
    bool& settingsSeen = settingsSeen_[IndexOf(direction)];
    if (!settingsSeen) {
        if (frame.type != Http2::kSettings || frame.Has(Http2::kAck)) return Malformed();
        settingsSeen = true;
    }
    switch (frame.type) {
        case Http2::kHeaders:
            return StartHeaders(direction, frame);
        case Http2::kPushPromise:
            if (direction == kClient) return Malformed();
            return StartPush(fields.promisedStreamId);
        case Http2::kRstStream:
            if (const auto stream = streams_.find(frame.streamId); stream != streams_.end()) Forget(stream);
            return true;
        case Http2::kGoAway:
            // Streams the sender never processed: those its peer opened after lastStreamId.
            ForgetAbove(fields.lastStreamId, direction == kServer ? 1 : 0);
            return true;
        default:
            return true;
    }
}

bool Http2StreamReader::StartHeaders(StreamDirection direction, const Http2::FrameHeader& frame) {
    Block& block = blocks_[IndexOf(direction)];
    ReleaseBlock(block);
    block.fields.Clear();
    block.streamId = frame.streamId;
    block.request = direction == kClient;
    block.pushed = false;
    block.endStream = frame.Has(Http2::kEndStream);
    block.keep = false;
    if (direction == kClient) {
        if (frame.streamId % 2 == 0) return Malformed();
        // A block on a stream opened before is the request's trailer part: not read.
        if (frame.streamId > highestClientStream_) {
            highestClientStream_ = frame.streamId;
            ++context_.statistics.requests;
            block.keep = Open(frame.streamId) != nullptr;
        }
    } else {
        const auto stream = streams_.find(frame.streamId);
        block.keep = stream != streams_.end() && stream->second.exchange && !stream->second.answered;
    }
    return true;
}

bool Http2StreamReader::StartPush(uint32_t promisedStreamId) {
    if (promisedStreamId == 0 || promisedStreamId % 2 != 0 || promisedStreamId <= highestPushedStream_)
        return Malformed();
    highestPushedStream_ = promisedStreamId;
    ++context_.statistics.requests;
    ++context_.statistics.pushes;
    Block& block = blocks_[IndexOf(kServer)];
    ReleaseBlock(block);
    block.fields.Clear();
    block.streamId = promisedStreamId;
    block.request = true;
    block.pushed = true;
    block.endStream = false;
    block.keep = Open(promisedStreamId) != nullptr;
    return true;
}

bool Http2StreamReader::OnFrameContent(StreamDirection direction, const Http2::FrameHeader& frame,
                                       std::span<const uint8_t> bytes) {
    if (frame.type != Http2::kData) return DecodeFragment(direction, bytes, false);
    if (direction == kServer) {
        const auto stream = streams_.find(frame.streamId);
        if (stream != streams_.end() && stream->second.answered && stream->second.exchange) {
            HttpExchange& exchange = *stream->second.exchange;
            const size_t wanted = exchange.Wanted();
            if (wanted > 0) exchange.Body(bytes.first(std::min(wanted, bytes.size())));
            if (exchange.Wanted() == 0) EndStream(stream);
        }
    }
    return true;
}

bool Http2StreamReader::OnSetting(StreamDirection direction, uint16_t id, uint32_t value) {
    // A side's settings bind what the other side sends.
    const int other = IndexOf(Opposite(direction));
    if (id == Http2::kHeaderTableSize) {
        decoders_[other].AllowTableSize(value);
        if (!HoldTables()) {
            GiveUp();
            return false;
        }
    }
    if (id == Http2::kMaxFrameSize) parsers_[other].AllowFrameSize(value);
    return true;
}

bool Http2StreamReader::OnFrameEnd(StreamDirection direction, const Http2::FrameHeader& frame) {
    switch (frame.type) {
        case Http2::kData:
            if (direction == kServer && frame.Has(Http2::kEndStream)) {
                const auto stream = streams_.find(frame.streamId);
                if (stream != streams_.end() && stream->second.answered) EndStream(stream);
            }
            return true;
        case Http2::kHeaders:
        case Http2::kPushPromise:
        case Http2::kContinuation:
            if (!frame.Has(Http2::kEndHeaders)) return true;
            if (!DecodeFragment(direction, {}, true)) return false;
            EndBlock(direction);
            return !done_;
        default:
            return true;
    }
}

bool Http2StreamReader::DecodeFragment(StreamDirection direction, std::span<const uint8_t> bytes, bool last) {
    Block& block = blocks_[IndexOf(direction)];
    // Every block passes the decoder, kept or not: each one may change its table. Once a kept list is
    // cut, its fields are no longer looked at.
    const bool decoded =
        decoders_[IndexOf(direction)].Decode(bytes, last, [&block](std::string_view name, std::string_view value) {
            if (block.keep && !block.fields.Cut()) block.fields.Add(name, value);
        });
    if (block.keep) ChargeBlock(block);
    if (decoded) return true;
    ++context_.statistics.decodingErrors;
    GiveUp();
    return false;
}

void Http2StreamReader::ChargeBlock(Block& block) {
    const size_t now = block.fields.HeldBytes();
    if (now <= block.charged) return;
    const auto stream = streams_.find(block.streamId);
    if (stream != streams_.end() && Hold(stream->second, now - block.charged)) {
        block.charged = now;
        return;
    }
    ReleaseBlock(block);
    block.fields.CutHere();
}

void Http2StreamReader::ReleaseBlock(Block& block) {
    // A stream forgotten meanwhile gave back all it held, the block's share with it.
    if (const auto stream = streams_.find(block.streamId); block.charged > 0 && stream != streams_.end()) {
        const size_t charged = std::min(block.charged, stream->second.held);
        stream->second.held -= charged;
        held_ -= charged;
        context_.budget.Give(charged);
    }
    block.charged = 0;
}

void Http2StreamReader::EndBlock(StreamDirection direction) {
    Block& block = blocks_[IndexOf(direction)];
    const auto stream = streams_.find(block.streamId);
    if (stream != streams_.end() && block.keep) {
        if (block.request)
            ReadRequest(stream, block);
        else
            ReadAnswer(stream, block);
    } else if (stream != streams_.end() && !block.request && stream->second.answered && block.endStream) {
        // Trailers end the body when they end the stream.
        EndStream(stream);
    }
    ReleaseBlock(block);
    block.fields.Clear();
}

void Http2StreamReader::ReadRequest(StreamTable::iterator stream, const Block& block) {
    const Http2HeaderList& list = block.fields;
    if (list.Cut()) {
        ++context_.statistics.headerListsCut;
        if (context_.hits) context_.hits->Hit(Limit::HeadBytes);
        return Forget(stream);
    }
    std::optional<std::string> text;
    if (!list.Malformed()) text = list.RequestText();
    if (!text) {
        ++context_.statistics.malformedStreams;
        return Forget(stream);
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
    request.pushed = block.pushed;
    request.timeMs = nowMs_;
    stream->second.requestRead = true;
    stream->second.exchange = context_.sink.OnRequest(context_.facts, request);
    // Nobody cares for its answer: the stream is not followed further.
    if (!stream->second.exchange) Forget(stream);
}

void Http2StreamReader::ReadAnswer(StreamTable::iterator stream, const Block& block) {
    Stream& state = stream->second;
    const Http2HeaderList& list = block.fields;
    if (list.Cut()) {
        ++context_.statistics.headerListsCut;
        if (context_.hits) context_.hits->Hit(Limit::HeadBytes);
        return Forget(stream);
    }
    const auto status = StatusOf(list.Find(":status").value_or(""));
    if (list.Malformed() || !status) {
        ++context_.statistics.malformedStreams;
        return Forget(stream);
    }
    if (*status < 200) return;  // an interim answer; the final one follows
    ++context_.statistics.responses;
    state.answered = true;
    HttpFields fields;
    ViewsOf(list, fields);
    HttpResponseHead answer;
    answer.status = *status;
    answer.fields = &fields;
    answer.timeMs = nowMs_;
    const bool bodyFollows = !block.endStream && *status != 204 && *status != 304;
    state.exchange->OnAnswer(answer, bodyFollows);
    // A stream whose answer has told all that is wanted of it is not followed to its end.
    if (!bodyFollows || state.exchange->Wanted() == 0) EndStream(stream);
}

void Http2StreamReader::EndStream(StreamTable::iterator stream) {
    if (stream->second.exchange) stream->second.exchange->End(true);
    Forget(stream);
}

Http2StreamReader::Stream* Http2StreamReader::Open(uint32_t id) {
    if (streams_.size() >= context_.maxStreams) {
        ++context_.statistics.streamsRefused;
        if (context_.hits) context_.hits->Hit(Limit::Http2Streams);
        return nullptr;
    }
    const auto stream = streams_.try_emplace(id).first;
    if (!Hold(stream->second, kStreamOverhead)) {
        ++context_.statistics.streamsRefused;
        streams_.erase(stream);
        return nullptr;
    }
    return &stream->second;
}

bool Http2StreamReader::Hold(Stream& stream, size_t bytes) {
    if (bytes > context_.maxHeldBytes - std::min(context_.maxHeldBytes, held_)) {
        if (context_.hits) context_.hits->Hit(Limit::Http2ConnectionBytes);
        return false;
    }
    if (!context_.budget.Take(bytes)) return false;
    held_ += bytes;
    stream.held += bytes;
    return true;
}

void Http2StreamReader::Forget(StreamTable::iterator stream) {
    context_.budget.Give(stream->second.held);
    held_ -= stream->second.held;
    streams_.erase(stream);
}

void Http2StreamReader::ForgetAbove(uint32_t lastStreamId, uint32_t parity) {
    for (auto stream = streams_.upper_bound(lastStreamId); stream != streams_.end();) {
        const auto next = std::next(stream);
        if (stream->first % 2 == parity) Forget(stream);
        stream = next;
    }
}

bool Http2StreamReader::Malformed() {
    ++context_.statistics.malformed;
    GiveUp();
    return false;
}

void Http2StreamReader::GiveUp() {
    done_ = true;
    while (!streams_.empty()) Forget(streams_.begin());
    for (Block& block : blocks_) {
        block.charged = 0;
        block.fields.Clear();
    }
}

}  // namespace tarnwick
