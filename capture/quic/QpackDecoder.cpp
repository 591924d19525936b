// SPDX-License-Identifier: GPL-3.0-or-later
// Decodes the header blocks one side of an HTTP/3 connection sends, with nghttp3's QPACK decoder.
#include "capture/quic/QpackDecoder.h"

#include <nghttp3/nghttp3.h>

namespace tarnwick {

namespace {

std::string_view ViewOf(const nghttp3_rcbuf* buffer) {
    const nghttp3_vec vector = nghttp3_rcbuf_get_buf(buffer);
    return {reinterpret_cast<const char*>(vector.base), vector.len};
}

}  // namespace

QpackDecoder::QpackDecoder(size_t maxTableCapacity, size_t maxBlocked) : maxBlocked_(maxBlocked) {
    if (nghttp3_qpack_decoder_new(&decoder_, maxTableCapacity, maxBlocked, nghttp3_mem_default()) != 0)
        decoder_ = nullptr;
}

QpackDecoder::~QpackDecoder() {
    Break();
}

void QpackDecoder::Break() {
    for (auto& [id, waiting] : blocked_) nghttp3_qpack_stream_context_del(waiting.context);
    blocked_.clear();
    heldBytes_ = 0;
    if (decoder_) nghttp3_qpack_decoder_del(decoder_);
    decoder_ = nullptr;
}

bool QpackDecoder::ReadEncoderStream(std::span<const uint8_t> bytes) {
    if (!decoder_) return false;
    const nghttp3_ssize read = nghttp3_qpack_decoder_read_encoder(decoder_, bytes.data(), bytes.size());
    if (read < 0 || static_cast<size_t>(read) != bytes.size()) {
        Break();
        return false;
    }
    return true;
}

QpackDecoder::Result QpackDecoder::Decode(int64_t streamId, std::span<const uint8_t> block, const FieldSink& sink) {
    if (!decoder_ || blocked_.count(streamId)) return Result::Failed;
    nghttp3_qpack_stream_context* context = nullptr;
    if (nghttp3_qpack_stream_context_new(&context, streamId, nghttp3_mem_default()) != 0) {
        Break();
        return Result::Failed;
    }
    return Run(streamId, context, block, sink);
}

QpackDecoder::Result QpackDecoder::Run(int64_t streamId, nghttp3_qpack_stream_context* context,
                                       std::span<const uint8_t> block, const FieldSink& sink) {
    while (true) {
        nghttp3_qpack_nv field{};
        uint8_t flags = 0;
        const nghttp3_ssize read =
            nghttp3_qpack_decoder_read_request(decoder_, context, &field, &flags, block.data(), block.size(), 1);
        if (read < 0 || static_cast<size_t>(read) > block.size()) {
            nghttp3_qpack_stream_context_del(context);
            Break();
            return Result::Failed;
        }
        block = block.subspan(static_cast<size_t>(read));
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT) {
            sink(ViewOf(field.name), ViewOf(field.value));
            nghttp3_rcbuf_decref(field.name);
            nghttp3_rcbuf_decref(field.value);
        }
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_FINAL) {
            nghttp3_qpack_stream_context_del(context);
            DrainDecoderStream();
            return Result::Decoded;
        }
        if (flags & NGHTTP3_QPACK_DECODE_FLAG_BLOCKED) {
            if (blocked_.size() >= maxBlocked_) {
                nghttp3_qpack_stream_context_del(context);
                Break();
                return Result::Failed;
            }
            Waiting& waiting = blocked_[streamId];
            waiting.context = context;
            waiting.rest.assign(block.begin(), block.end());
            heldBytes_ += waiting.rest.size();
            return Result::Blocked;
        }
        if (read == 0 && !(flags & NGHTTP3_QPACK_DECODE_FLAG_EMIT)) {
            // Neither progress nor an end: the block stops short.
            nghttp3_qpack_stream_context_del(context);
            Break();
            return Result::Failed;
        }
    }
}

std::vector<int64_t> QpackDecoder::Ready() const {
    std::vector<int64_t> ready;
    if (!decoder_) return ready;
    const uint64_t inserted = nghttp3_qpack_decoder_get_icnt(decoder_);
    for (const auto& [id, waiting] : blocked_)
        if (nghttp3_qpack_stream_context_get_ricnt(waiting.context) <= inserted) ready.push_back(id);
    return ready;
}

QpackDecoder::Result QpackDecoder::Resume(int64_t streamId, const FieldSink& sink) {
    const auto found = blocked_.find(streamId);
    if (!decoder_ || found == blocked_.end()) return Result::Failed;
    Waiting waiting = std::move(found->second);
    blocked_.erase(found);
    heldBytes_ -= waiting.rest.size();
    return Run(streamId, waiting.context, waiting.rest, sink);
}

void QpackDecoder::Cancel(int64_t streamId) {
    const auto found = blocked_.find(streamId);
    if (found == blocked_.end()) return;
    heldBytes_ -= found->second.rest.size();
    nghttp3_qpack_stream_context_del(found->second.context);
    blocked_.erase(found);
    if (decoder_ && nghttp3_qpack_decoder_cancel_stream(decoder_, streamId) != 0) Break();
    DrainDecoderStream();
}

void QpackDecoder::DrainDecoderStream() {
    if (!decoder_) return;
    const size_t length = nghttp3_qpack_decoder_get_decoder_streamlen(decoder_);
    if (length == 0) return;
    std::vector<uint8_t> scratch(length);
    nghttp3_buf buffer;
    buffer.begin = buffer.pos = buffer.last = scratch.data();
    buffer.end = scratch.data() + scratch.size();
    nghttp3_qpack_decoder_write_decoder(decoder_, &buffer);
}

}  // namespace tarnwick
