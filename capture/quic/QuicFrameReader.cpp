// SPDX-License-Identifier: GPL-3.0-or-later
// Walks the frames of one decrypted QUIC packet and hands on those that carry what is read.
#include "capture/quic/QuicFrameReader.h"

#include "capture/quic/QuicCursor.h"

namespace tarnwick {

namespace {

// Reads count variable-length integers and nothing else.
void SkipVarInts(QuicCursor& cursor, int count) {
    for (int i = 0; i < count; ++i) cursor.VarInt();
}

bool FitsOffset(uint64_t offset, size_t length) {
    return offset <= QuicFrameReader::kMaxOffset && length <= QuicFrameReader::kMaxOffset - offset;
}

}  // namespace

bool QuicFrameReader::Read(std::span<const uint8_t> payload, Handler& handler) {
    QuicCursor cursor(payload);
    while (!cursor.AtEnd()) {
        const uint64_t type = cursor.VarInt();
        if (!cursor.Ok()) return false;
        if (type >= 0x08 && type <= 0x0f) {  // STREAM, with its OFF, LEN and FIN bits
            const uint64_t streamId = cursor.VarInt();
            const uint64_t offset = (type & 0x04) ? cursor.VarInt() : 0;
            const uint64_t length = (type & 0x02) ? cursor.VarInt() : cursor.Remaining();
            if (!cursor.Ok() || length > cursor.Remaining()) return false;
            const auto bytes = cursor.Bytes(static_cast<size_t>(length));
            if (!FitsOffset(offset, bytes.size())) return false;
            handler.OnStream(streamId, offset, bytes, (type & 0x01) != 0);
            continue;
        }
        switch (type) {
            case 0x00:  // PADDING
            case 0x01:  // PING
            case 0x1e:  // HANDSHAKE_DONE
                break;
            case 0x02:
            case 0x03: {  // ACK: largest, delay, range count, first range, the ranges, and ECN counts
                SkipVarInts(cursor, 2);
                const uint64_t ranges = cursor.VarInt();
                SkipVarInts(cursor, 1);
                // Each range takes at least two bytes: a count beyond that cannot be there.
                if (!cursor.Ok() || ranges > cursor.Remaining() / 2) return false;
                for (uint64_t i = 0; i < ranges && cursor.Ok(); ++i) SkipVarInts(cursor, 2);
                if (type == 0x03) SkipVarInts(cursor, 3);
                break;
            }
            case 0x04: {  // RESET_STREAM: id, error code, final size
                const uint64_t streamId = cursor.VarInt();
                SkipVarInts(cursor, 2);
                if (!cursor.Ok()) return false;
                handler.OnResetStream(streamId);
                break;
            }
            case 0x05:  // STOP_SENDING: id, error code
                SkipVarInts(cursor, 2);
                break;
            case 0x06: {  // CRYPTO
                const uint64_t offset = cursor.VarInt();
                const uint64_t length = cursor.VarInt();
                if (!cursor.Ok() || length > cursor.Remaining()) return false;
                const auto bytes = cursor.Bytes(static_cast<size_t>(length));
                if (!FitsOffset(offset, bytes.size())) return false;
                handler.OnCrypto(offset, bytes);
                break;
            }
            case 0x07:  // NEW_TOKEN
                cursor.Bytes(cursor.VarInt());
                break;
            case 0x10:  // MAX_DATA
            case 0x12:
            case 0x13:  // MAX_STREAMS
            case 0x14:  // DATA_BLOCKED
            case 0x16:
            case 0x17:  // STREAMS_BLOCKED
            case 0x19:  // RETIRE_CONNECTION_ID
                SkipVarInts(cursor, 1);
                break;
            case 0x11:  // MAX_STREAM_DATA
            case 0x15:  // STREAM_DATA_BLOCKED
                SkipVarInts(cursor, 2);
                break;
            case 0x18: {  // NEW_CONNECTION_ID: sequence, retire prior to, the ID, the reset token
                SkipVarInts(cursor, 2);
                const uint8_t length = cursor.U8();
                const auto id = cursor.Bytes(length);
                cursor.Bytes(16);
                if (!cursor.Ok() || length == 0 || length > 20) return false;
                handler.OnNewConnectionId(id);
                break;
            }
            case 0x1a:
            case 0x1b:  // PATH_CHALLENGE, PATH_RESPONSE
                cursor.Bytes(8);
                break;
            case 0x1c:
            case 0x1d:  // CONNECTION_CLOSE: error code, (the frame type), the reason
                SkipVarInts(cursor, type == 0x1c ? 2 : 1);
                cursor.Bytes(cursor.VarInt());
                if (!cursor.Ok()) return false;
                handler.OnConnectionClose();
                break;
            case 0x30:  // DATAGRAM to the packet's end
                cursor.Rest();
                break;
            case 0x31:  // DATAGRAM with its length
                cursor.Bytes(cursor.VarInt());
                break;
            default:
                return false;
        }
        if (!cursor.Ok()) return false;
    }
    return cursor.Ok();
}

}  // namespace tarnwick
