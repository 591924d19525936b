// SPDX-License-Identifier: GPL-3.0-or-later
// One QUIC connection: its packet keys (Initial from the client's first connection ID, the rest from the
// key log), its packets opened in order of arrival, and its streams handed to the HTTP/3 reader.
#include "capture/quic/QuicConnection.h"

#include <algorithm>

#include "capture/tls/TlsHello.h"

namespace tarnwick {

namespace {

constexpr auto kClient = StreamDirection::ClientToServer;
constexpr auto kServer = StreamDirection::ServerToClient;
// What a waiting packet or a followed stream costs beyond its bytes.
constexpr size_t kPacketUpkeep = 64;
constexpr size_t kStreamUpkeep = 128;
// The handshake bytes of the Initial space one side may hold out of order.
constexpr size_t kMaxCryptoHeld = 64 * 1024;
// How often the key log is looked into for a connection whose packets wait, at most.
constexpr int64_t kLookupIntervalMs = 50;

}  // namespace

QuicConnection::QuicConnection(const Start& start, TlsKeyLog* keyLog, HttpExchangeSink& sink,
                               QuicStatistics& statistics, QuicConnectionLimits limits)
    : facts_(start.facts),
      keyLog_(keyLog),
      sink_(sink),
      statistics_(statistics),
      limits_(limits),
      originalDestinationId_(start.originalDestinationId.begin(), start.originalDestinationId.end()),
      version_(start.version) {
    facts_.scheme = "https";
    facts_.transport = HttpTransport::Http3;
    ++statistics_.connections;
    InstallInitialKeys(start.version);
}

QuicConnection::~QuicConnection() {
    streams_.clear();
    http3_.reset();
    Give(held_);
}

bool QuicConnection::InstallInitialKeys(uint32_t version) {
    TlsSecret client, server;
    if (!QuicPacketProtection::InitialSecrets(version, originalDestinationId_, client, server)) return false;
    const TlsCipherSuite suite = QuicPacketProtection::InitialSuite();
    for (const auto direction : {kClient, kServer}) {
        Keys& keys = sides_[IndexOf(direction)].keys[kInitial];
        QuicPacketKeys derived;
        if (!QuicPacketProtection::Derive(version, suite, direction == kClient ? client : server, derived) ||
            !keys.current->Install(suite, derived))
            return false;
        keys.version = version;
    }
    return true;
}

void QuicConnection::OnPacket(StreamDirection direction, const QuicPacketHeader& header, std::span<uint8_t> packet,
                              int64_t timeMs) {
    nowMs_ = timeMs;
    lastSeenMs_ = timeMs;
    if (header.longHeader) {
        if (direction == kServer) version_ = header.version;
        if (header.type == QuicPacketType::Retry) {
            // The client starts again toward the connection ID the server chose, with keys made from it.
            if (direction != kServer || header.sourceId.empty()) return;
            originalDestinationId_.assign(header.sourceId.begin(), header.sourceId.end());
            for (Side& side : sides_) side.largest[kInitial].reset();
            InstallInitialKeys(header.version);
            newIds_.emplace_back(originalDestinationId_, kClient);
            return;
        }
        // Only a client sends early data.
        if (header.type == QuicPacketType::ZeroRtt && direction != kClient) return;
    }
    if (!waiting_.empty()) Retry(timeMs);
    if (!Open(direction, header, packet)) Hold(direction, header, packet);
}

bool QuicConnection::Open(StreamDirection direction, const QuicPacketHeader& header, std::span<uint8_t> packet) {
    const Space keysOf = !header.longHeader                       ? kApplication
                         : header.type == QuicPacketType::Initial ? kInitial
                         : header.type == QuicPacketType::ZeroRtt ? kEarly
                                                                  : kHandshake;
    const Space space = NumberSpace(keysOf);
    Side& side = sides_[IndexOf(direction)];
    Keys& keys = side.keys[keysOf];
    if (space == kInitial && keys.version != header.version && !InstallInitialKeys(header.version)) return true;
    if (!keys.current->Installed() && !InstallKeys(direction, keysOf)) return false;

    QuicUnprotectedHeader unprotected;
    if (!RemoveHeaderProtection(packet, header, *keys.current, unprotected)) {
        ++statistics_.malformed;
        return true;
    }
    const uint64_t number = QuicPacketHeader::DecodePacketNumber(side.largest[space], unprotected.truncatedNumber,
                                                                 unprotected.numberLength);
    const auto aad = std::span<const uint8_t>(packet).first(unprotected.headerLength);
    const auto payload = std::span<const uint8_t>(packet).subspan(unprotected.headerLength);
    if (plaintext_.size() < payload.size()) plaintext_.resize(payload.size());
    const auto size = keysOf == kApplication ? OpenApplication(side, unprotected, number, aad, payload)
                                             : keys.current->Open(number, aad, payload, plaintext_.data());
    if (!size) {
        ++statistics_.authenticationFailures;
        return true;
    }
    if (!side.largest[space] || number > *side.largest[space]) side.largest[space] = number;
    ++statistics_.packetsDecrypted;
    statistics_.bytesDecrypted += *size;
    if (space == kApplication && !decryptedAny_) {
        decryptedAny_ = true;
        ++statistics_.decrypted;
    }
    frameDirection_ = direction;
    frameSpace_ = space;
    if (!QuicFrameReader::Read(std::span<const uint8_t>(plaintext_.data(), *size), *this)) ++statistics_.malformed;
    return true;
}

std::optional<size_t> QuicConnection::OpenApplication(Side& side, const QuicUnprotectedHeader& unprotected,
                                                      uint64_t number, std::span<const uint8_t> header,
                                                      std::span<const uint8_t> payload) {
    Keys& keys = side.keys[kApplication];
    if (unprotected.KeyPhase() == keys.phase) return keys.current->Open(number, header, payload, plaintext_.data());
    // A packet of the phase before, sent before the update and arriving after it.
    if (keys.previous && number < keys.firstOfPhase)
        return keys.previous->Open(number, header, payload, plaintext_.data());
    if (!keys.next) {
        auto next = std::make_unique<QuicPacketProtection>();
        if (!suite_ || !QuicPacketProtection::NextPhase(keys.version, *suite_, keys.currentKeys, keys.nextKeys) ||
            !next->Install(*suite_, keys.nextKeys))
            return std::nullopt;
        keys.next = std::move(next);
    }
    const auto size = keys.next->Open(number, header, payload, plaintext_.data());
    if (!size) return std::nullopt;
    // The peer moved to the next phase: it is the current one from this packet on.
    keys.previous = std::move(keys.current);
    keys.current = std::move(keys.next);
    keys.currentKeys = keys.nextKeys;
    keys.phase = !keys.phase;
    keys.firstOfPhase = number;
    return size;
}

bool QuicConnection::InstallKeys(StreamDirection direction, Space space) {
    if (!suite_ || !keyLog_ || unsupported_) return false;
    LookUpSecrets(false);
    const bool client = direction == kClient;
    const TlsSecret& secret = space == kEarly       ? secrets_.clientEarly
                              : space == kHandshake ? (client ? secrets_.clientHandshake : secrets_.serverHandshake)
                                                    : (client ? secrets_.clientTraffic : secrets_.serverTraffic);
    if (secret.Empty()) return false;
    Keys& keys = sides_[IndexOf(direction)].keys[space];
    QuicPacketKeys derived;
    if (!QuicPacketProtection::Derive(version_, *suite_, secret, derived) || !keys.current->Install(*suite_, derived)) {
        unsupported_ = true;
        ++statistics_.unsupported;
        return false;
    }
    keys.currentKeys = derived;
    keys.version = version_;
    return true;
}

void QuicConnection::LookUpSecrets(bool force) {
    if (secretsComplete_ || !keyLog_ || !helloRead_) return;
    if (!force && nowMs_ - lastLookupMs_ < kLookupIntervalMs) return;
    lastLookupMs_ = nowMs_;
    if (keyLog_->Find(clientRandom_, true, secrets_)) secretsComplete_ = secrets_.CompleteFor(true);
}

void QuicConnection::Hold(StreamDirection direction, const QuicPacketHeader& header, std::span<const uint8_t> packet) {
    // Without a key log, or with keys that cannot be used, nothing will ever open them; once the key wait
    // has passed (or the bound is reached) packets are no longer kept, but still opened should the keys
    // come after all.
    if (!keyLog_ || unsupported_ || waitGivenUp_) return;
    if (!Take(packet.size() + kPacketUpkeep)) {
        ++statistics_.cut;
        waitGivenUp_ = true;
        return;
    }
    if (waiting_.empty()) waitingSince_ = nowMs_;
    waiting_.push_back({direction, std::vector<uint8_t>(packet.begin(), packet.end()), header.destinationId.size()});
}

void QuicConnection::Retry(int64_t nowMs) {
    nowMs_ = std::max(nowMs_, nowMs);
    if (waiting_.empty()) return;
    LookUpSecrets(false);
    while (!waiting_.empty()) {
        WaitingPacket& packet = waiting_.front();
        QuicPacketHeader header;
        const bool parsed = QuicPacketHeader::IsLong(packet.bytes)
                                ? QuicPacketHeader::ParseLong(packet.bytes, header)
                                : QuicPacketHeader::ParseShort(packet.bytes, packet.destinationIdLength, header);
        if (parsed && header.packetLength == packet.bytes.size() &&
            !Open(packet.direction, header, std::span<uint8_t>(packet.bytes)))
            break;
        Give(packet.bytes.size() + kPacketUpkeep);
        waiting_.pop_front();
        waitingSince_ = nowMs_;
    }
    if (!waiting_.empty() && nowMs_ - waitingSince_ > limits_.keyWaitMs) {
        if (!missingCounted_) ++statistics_.missingKeys;
        missingCounted_ = true;
        waitGivenUp_ = true;
        while (!waiting_.empty()) {
            Give(waiting_.front().bytes.size() + kPacketUpkeep);
            waiting_.pop_front();
        }
    }
}

void QuicConnection::End() {
    if (!waiting_.empty()) {
        LookUpSecrets(true);
        Retry(nowMs_);
    }
    if (!waiting_.empty() && !missingCounted_) {
        ++statistics_.missingKeys;
        missingCounted_ = true;
    }
    while (!waiting_.empty()) {
        Give(waiting_.front().bytes.size() + kPacketUpkeep);
        waiting_.pop_front();
    }
}

bool QuicConnection::Take(size_t bytes) {
    if (bytes > limits_.maxHeldBytes - std::min(limits_.maxHeldBytes, held_)) {
        if (limits_.hits) limits_.hits->Hit(Limit::QuicConnectionBytes);
        return false;
    }
    if (limits_.budget && !limits_.budget->Take(bytes)) return false;
    held_ += bytes;
    return true;
}

void QuicConnection::Give(size_t bytes) {
    bytes = std::min(bytes, held_);
    held_ -= bytes;
    if (limits_.budget) limits_.budget->Give(bytes);
}

void QuicConnection::OnCrypto(uint64_t offset, std::span<const uint8_t> bytes) {
    // Only the Initial space's hellos are read; what the later spaces carry (certificates, tickets) is not needed.
    if (frameSpace_ != kInitial) return;
    const StreamDirection direction = frameDirection_;
    Side& side = sides_[IndexOf(direction)];
    const size_t before = side.crypto.Held();
    const auto result = side.crypto.Add(offset, bytes, false, kMaxCryptoHeld, [&](std::span<const uint8_t> piece) {
        return side.handshake.Feed(piece, [&](uint8_t type, std::span<const uint8_t> body) {
            return OnHandshakeMessage(direction, type, body);
        });
    });
    const size_t after = side.crypto.Held();
    if (after > before && !Take(after - before)) {
        side.crypto.Stop();
        Give(before);
    } else if (after < before) {
        Give(before - after);
    }
    if (result == QuicStreamAssembler::Result::OverBound) ++statistics_.cut;
}

bool QuicConnection::OnHandshakeMessage(StreamDirection direction, uint8_t type, std::span<const uint8_t> body) {
    if (direction == kClient && type == TlsHandshakeReader::kClientHello && !helloRead_) {
        TlsClientHello hello;
        if (!TlsClientHello::Parse(body, hello)) {
            ++statistics_.malformed;
            return false;
        }
        clientRandom_ = hello.random;
        facts_.serverName = hello.serverName;
        helloRead_ = true;
        return true;
    }
    if (direction == kServer && type == TlsHandshakeReader::kServerHello && !suite_) {
        TlsServerHello hello;
        if (!TlsServerHello::Parse(body, hello)) {
            ++statistics_.malformed;
            return false;
        }
        suite_ = TlsCipherSuite::Find(hello.cipherSuite);
        if (!suite_ || !suite_->tls13) {
            suite_.reset();
            unsupported_ = true;
            ++statistics_.unsupported;
        }
        return true;
    }
    return true;
}

void QuicConnection::OnStream(uint64_t streamId, uint64_t offset, std::span<const uint8_t> bytes, bool fin) {
    if (frameSpace_ != kApplication) return;
    const StreamDirection direction = frameDirection_;
    const std::pair<uint64_t, int> key{streamId, IndexOf(direction)};
    auto found = streams_.find(key);
    if (found == streams_.end()) {
        if (streamId < forgottenBelow_[streamId & 0x03]) return;
        if (!http3_) {
            Http3Connection::Context context{facts_, sink_, statistics_};
            context.maxStreams = limits_.maxStreams;
            context.maxHeaderList = limits_.maxHeaderList;
            context.maxTableBytes = limits_.maxTableBytes;
            context.maxStreamHeld = limits_.maxHeaderList;
            context.maxHeldBytes = limits_.maxHeldBytes;
            context.budget = limits_.budget;
            context.hits = limits_.hits;
            http3_ = std::make_unique<Http3Connection>(std::move(context));
        }
        if (http3_->Broken()) return;
        const size_t bound = 2 * limits_.maxStreams + 16;
        if (streams_.size() >= bound) {
            // Streams that ended are let go, the oldest first; their IDs are not taken again.
            for (auto stream = streams_.begin(); stream != streams_.end();) {
                if (stream->second.Stopped() || stream->second.Complete()) {
                    uint64_t& below = forgottenBelow_[stream->first.first & 0x03];
                    below = std::max(below, stream->first.first + 1);
                    stream = streams_.erase(stream);
                    Give(kStreamUpkeep);
                } else {
                    ++stream;
                }
            }
            if (streams_.size() >= bound) {
                ++statistics_.streamsRefused;
                if (limits_.hits) limits_.hits->Hit(Limit::QuicStreams);
                return;
            }
        }
        if (!Take(kStreamUpkeep)) {
            ++statistics_.cut;
            return;
        }
        found = streams_.try_emplace(key).first;
    }
    QuicStreamAssembler& assembler = found->second;
    if (assembler.Stopped() || assembler.Complete()) return;
    const size_t before = assembler.Held();
    const size_t room = limits_.maxHeldBytes - std::min(limits_.maxHeldBytes, held_);
    Http3Connection& http3 = *http3_;
    const auto result = assembler.Add(offset, bytes, fin, before + room, [&](std::span<const uint8_t> piece) {
        return http3.OnStreamData(streamId, direction, piece, nowMs_);
    });
    const size_t after = assembler.Held();
    if (after > before && !Take(after - before)) {
        assembler.Stop();
        Give(before);
        ++statistics_.cut;
        http3.OnStreamReset(streamId);
        return;
    }
    if (after < before) Give(before - after);
    if (result == QuicStreamAssembler::Result::OverBound) {
        ++statistics_.cut;
        if (limits_.hits) limits_.hits->Hit(Limit::QuicConnectionBytes);
        Give(assembler.Held());
        assembler.Stop();
        http3.OnStreamReset(streamId);
        return;
    }
    if (assembler.Complete()) http3.OnStreamEnd(streamId, direction);
}

void QuicConnection::OnResetStream(uint64_t streamId) {
    if (frameSpace_ != kApplication || !http3_) return;
    http3_->OnStreamReset(streamId);
    for (const int side : {0, 1}) {
        const auto found = streams_.find({streamId, side});
        if (found == streams_.end()) continue;
        Give(found->second.Held());
        found->second.Stop();
    }
}

void QuicConnection::OnNewConnectionId(std::span<const uint8_t> connectionId) {
    // An ID a side hands out is the one its peer's packets will carry.
    newIds_.emplace_back(std::vector<uint8_t>(connectionId.begin(), connectionId.end()), Opposite(frameDirection_));
}

}  // namespace tarnwick
