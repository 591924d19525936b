// Reads the HTTP/2 streams of a reassembled (and perhaps decrypted) connection and reports its videos.
#include "capture/http2/Http2StreamReader.h"

#include <utility>

namespace tarnwick {

namespace {

constexpr auto kClient = StreamDirection::ClientToServer;
constexpr auto kServer = StreamDirection::ServerToClient;

bool IsStatus(std::string_view status) {
    return status.size() == 3 && status[0] >= '1' && status[0] <= '9' && status[1] >= '0' && status[1] <= '9' &&
           status[2] >= '0' && status[2] <= '9';
}

}  // namespace

Http2StreamReader::Http2StreamReader(Context context, VideoReporter& reporter, Http2Statistics& statistics,
                                     Http2MemoryBudget& budget)
    : context_(std::move(context)),
      reporter_(reporter),
      statistics_(statistics),
      budget_(budget),
      parsers_{Http2FrameParser(kClient, *this), Http2FrameParser(kServer, *this)} {
    ++statistics_.connections;
}

Http2StreamReader::~Http2StreamReader() { budget_.Give(held_); }

void Http2StreamReader::AdoptUpgradeRequest(Request request, std::span<const uint8_t> clientSettings) {
    for (size_t at = 0; at + 6 <= clientSettings.size(); at += 6) {
        const auto* entry = clientSettings.data() + at;
        OnSetting(kClient, static_cast<uint16_t>(entry[0] << 8 | entry[1]),
                  static_cast<uint32_t>(entry[2]) << 24 | static_cast<uint32_t>(entry[3]) << 16 |
                      static_cast<uint32_t>(entry[4]) << 8 | entry[5]);
    }
    highestClientStream_ = 1;
    ++statistics_.requests;
    Stream* stream = Open(1);
    if (!stream) return;
    const size_t bytes = request.url.size() + request.text.size();
    if (!Hold(*stream, bytes)) {
        ++statistics_.streamsRefused;
        Forget(streams_.find(1));
        return;
    }
    stream->request = std::move(request);
}

void Http2StreamReader::OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) {
    if (done_) return;
    now_ = timeSeconds;
    // A stop the handler asked for has been counted where it was decided.
    if (!parsers_[IndexOf(direction)].Feed(bytes) && !done_) {
        ++statistics_.malformed;
        GiveUp();
    }
}

void Http2StreamReader::OnEnd(StreamEnd) {
    // A stream without its END_STREAM is incomplete whatever ended the connection: a body that stopped
    // short of the signature proves nothing. What is held goes now.
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
    block.fields.Clear();
    block.streamId = frame.streamId;
    block.request = direction == kClient;
    block.endStream = frame.Has(Http2::kEndStream);
    block.keep = false;
    if (direction == kClient) {
        if (frame.streamId % 2 == 0) return Malformed();
        // A block on a stream opened before is the request's trailer part: not read.
        if (frame.streamId > highestClientStream_) {
            highestClientStream_ = frame.streamId;
            ++statistics_.requests;
            block.keep = Open(frame.streamId) != nullptr;
        }
    } else {
        const auto stream = streams_.find(frame.streamId);
        block.keep = stream != streams_.end() && !stream->second.responseStarted;
    }
    return true;
}

bool Http2StreamReader::StartPush(uint32_t promisedStreamId) {
    if (promisedStreamId == 0 || promisedStreamId % 2 != 0 || promisedStreamId <= highestPushedStream_)
        return Malformed();
    highestPushedStream_ = promisedStreamId;
    ++statistics_.requests;
    ++statistics_.pushes;
    Block& block = blocks_[IndexOf(kServer)];
    block.fields.Clear();
    block.streamId = promisedStreamId;
    block.request = true;
    block.endStream = false;
    block.keep = Open(promisedStreamId) != nullptr;
    return true;
}

bool Http2StreamReader::OnFrameContent(StreamDirection direction, const Http2::FrameHeader& frame,
                                       std::span<const uint8_t> bytes) {
    if (frame.type != Http2::kData) return DecodeFragment(direction, bytes, false);
    if (direction == kServer) {
        const auto stream = streams_.find(frame.streamId);
        if (stream != streams_.end() && stream->second.responseStarted)
            if (auto verdict = stream->second.judge.Body(bytes)) Decide(stream, std::move(*verdict));
    }
    return true;
}

bool Http2StreamReader::OnSetting(StreamDirection direction, uint16_t id, uint32_t value) {
    // A side's settings bind what the other side sends.
    const int other = IndexOf(Opposite(direction));
    if (id == Http2::kHeaderTableSize) decoders_[other].AllowTableSize(value);
    if (id == Http2::kMaxFrameSize) parsers_[other].AllowFrameSize(value);
    return true;
}

bool Http2StreamReader::OnFrameEnd(StreamDirection direction, const Http2::FrameHeader& frame) {
    switch (frame.type) {
    case Http2::kData:
        if (direction == kServer && frame.Has(Http2::kEndStream)) {
            const auto stream = streams_.find(frame.streamId);
            if (stream != streams_.end() && stream->second.responseStarted)
                if (auto verdict = stream->second.judge.End()) Decide(stream, std::move(*verdict));
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
    // Every block passes the decoder, kept or not: each one may change its table.
    const bool decoded = decoders_[IndexOf(direction)].Decode(bytes, last, [&block](std::string_view name, std::string_view value) {
        if (block.keep) block.fields.Add(name, value);
    });
    if (decoded) return true;
    ++statistics_.decodingErrors;
    GiveUp();
    return false;
}

void Http2StreamReader::EndBlock(StreamDirection direction) {
    Block& block = blocks_[IndexOf(direction)];
    const auto stream = streams_.find(block.streamId);
    if (stream != streams_.end()) {
        if (block.request) {
            if (block.keep) ReadRequest(stream, block.fields);
        } else {
            ReadResponse(stream, block);
        }
    }
    block.fields.Clear();
}

void Http2StreamReader::ReadRequest(StreamTable::iterator stream, const Http2HeaderList& fields) {
    if (fields.Cut()) {
        ++statistics_.headerListsCut;
        return Forget(stream);
    }
    std::optional<std::string> text;
    if (!fields.Malformed()) text = fields.RequestText();
    if (!text) {
        ++statistics_.malformedStreams;
        return Forget(stream);
    }
    Request request;
    request.get = fields.Find(":method") == "GET";
    const auto scheme = fields.Find(":scheme");
    request.scheme = scheme == "http" || scheme == "https" ? std::string(*scheme) : context_.scheme;
    std::string_view host = fields.Find(":authority").value_or(fields.Find("host").value_or(""));
    const std::string fallback = !context_.serverName.empty() ? context_.serverName : context_.key.server.AddressForUrl();
    if (host.empty()) host = fallback;
    request.url = VideoReporter::JoinUrl(host, *fields.Find(":path"));
    request.text = std::move(*text);
    if (!Hold(stream->second, request.url.size() + request.text.size())) {
        ++statistics_.streamsRefused;
        return Forget(stream);
    }
    stream->second.request = std::move(request);
    Settle(stream);
}

void Http2StreamReader::ReadResponse(StreamTable::iterator stream, const Block& block) {
    Stream& state = stream->second;
    if (state.responseStarted) {
        // Trailers: they end the body when they end the stream.
        if (block.endStream)
            if (auto verdict = state.judge.End()) Decide(stream, std::move(*verdict));
        return;
    }
    if (!block.keep) return;
    if (block.fields.Cut()) {
        ++statistics_.headerListsCut;
        return Forget(stream);
    }
    const auto status = block.fields.Find(":status");
    if (block.fields.Malformed() || !status || !IsStatus(*status)) {
        ++statistics_.malformedStreams;
        return Forget(stream);
    }
    if ((*status)[0] == '1') return;  // an interim response; the final one follows
    ++statistics_.responses;
    state.responseStarted = true;
    const bool bodyFollows = !block.endStream && *status != "204" && *status != "304";
    if (auto verdict = state.judge.Begin(block.fields.ResponseHead(*status), bodyFollows, now_))
        Decide(stream, std::move(*verdict));
}

void Http2StreamReader::Decide(StreamTable::iterator stream, Verdict verdict) {
    if (!Hold(stream->second, verdict.sizeText.size() + verdict.typeText.size())) {
        ++statistics_.streamsRefused;
        return Forget(stream);
    }
    stream->second.verdict = std::move(verdict);
    Settle(stream);
}

void Http2StreamReader::Settle(StreamTable::iterator stream) {
    Stream& state = stream->second;
    if (!state.request || !state.verdict) return;
    if (state.verdict->video && state.request->get) {
        ++statistics_.videos;
        reporter_.Report(
            state.verdict->Detection(std::move(state.request->url), state.request->text, state.request->scheme));
    }
    // Whatever comes later on this stream changes nothing.
    Forget(stream);
}

Http2StreamReader::Stream* Http2StreamReader::Open(uint32_t id) {
    if (streams_.size() >= kMaxStreams) {
        ++statistics_.streamsRefused;
        return nullptr;
    }
    const auto stream = streams_.try_emplace(id).first;
    if (!Hold(stream->second, kStreamOverhead)) {
        ++statistics_.streamsRefused;
        streams_.erase(stream);
        return nullptr;
    }
    return &stream->second;
}

bool Http2StreamReader::Hold(Stream& stream, size_t bytes) {
    if (bytes > kMaxHeldBytes - held_ || !budget_.Take(bytes)) return false;
    held_ += bytes;
    stream.held += bytes;
    return true;
}

void Http2StreamReader::Forget(StreamTable::iterator stream) {
    budget_.Give(stream->second.held);
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
    ++statistics_.malformed;
    GiveUp();
    return false;
}

void Http2StreamReader::GiveUp() {
    done_ = true;
    while (!streams_.empty()) Forget(streams_.begin());
}

}  // namespace tarnwick
