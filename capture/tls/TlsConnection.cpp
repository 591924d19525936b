// SPDX-License-Identifier: GPL-3.0-or-later
// One TLS connection: reads its handshake, finds its secrets in the key log and decrypts its records.
#include "capture/tls/TlsConnection.h"

#include <algorithm>
#include <utility>

#include "capture/tls/TlsKeySchedule.h"

namespace tarnwick {

namespace {

constexpr uint8_t kChangeCipherSpec = 20;
constexpr uint8_t kAlert = 21;
constexpr uint8_t kHandshake = 22;
constexpr uint8_t kApplicationData = 23;
constexpr uint8_t kHeartbeat = 24;
constexpr uint16_t kTls12 = 0x0303;
constexpr uint16_t kTls13 = 0x0304;
// Early data that no key opens is passed over, as the server passes it over; only this many records.
constexpr int kMaxUnreadableEarlyRecords = 64;

std::span<const uint8_t, 5> HeaderOf(const std::vector<uint8_t>& record) {
    return std::span<const uint8_t, 5>(record.data(), 5);
}

}  // namespace

TlsConnection::TlsConnection(const FlowKey& key, TlsKeyLog& keyLog, TlsApplicationReaderFactory readerFactory,
                             TlsStatistics& statistics, TlsConnectionLimits limits)
    : keyLog_(keyLog), readerFactory_(std::move(readerFactory)), statistics_(statistics), limits_(limits) {
    facts_.key = key;
    ++statistics_.connections;
    if (limits_.alive) ++*limits_.alive;
}

TlsConnection::~TlsConnection() {
    Release(heldBytes_);
    if (limits_.alive) --*limits_.alive;
}

bool TlsConnection::Hold(size_t bytes) {
    if (done_) return false;
    if (bytes > limits_.maxHeldBytes - std::min(limits_.maxHeldBytes, heldBytes_)) {
        if (limits_.hits) limits_.hits->Hit(Limit::TlsConnectionBytes);
        Fail(Failure::Bound);
        return false;
    }
    if (limits_.budget && !limits_.budget->Take(bytes)) {
        Fail(Failure::Bound);
        return false;
    }
    heldBytes_ += bytes;
    return true;
}

void TlsConnection::Release(size_t bytes) {
    bytes = std::min(bytes, heldBytes_);
    heldBytes_ -= bytes;
    if (limits_.budget) limits_.budget->Give(bytes);
}

std::optional<TlsApplicationProtocol> TlsConnection::ProtocolOfFirstBytes(std::span<const uint8_t> bytes) {
    static constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (kPreface.substr(0, std::min(text.size(), kPreface.size())) == text.substr(0, kPreface.size())) {
        if (text.size() >= kPreface.size()) return TlsApplicationProtocol::Http2;
        return std::nullopt;
    }
    // A method token, then a blank.
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ') return i > 0 ? TlsApplicationProtocol::Http1 : TlsApplicationProtocol::Other;
        if (!((c >= 'A' && c <= 'Z') || c == '-') || i >= 20) return TlsApplicationProtocol::Other;
    }
    return std::nullopt;
}

bool TlsConnection::StartsClientHello(std::span<const uint8_t> payload) {
    return payload.size() >= 6 && payload[0] == kHandshake && payload[1] == 3 && payload[2] <= 4 &&
           payload[5] == TlsHandshakeReader::kClientHello;
}

void TlsConnection::OnGap(StreamDirection, uint64_t) {
    // Records are numbered by their place: after a lost stretch no record can be opened again.
    Fail(Failure::Lost);
}

void TlsConnection::OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeMs) {
    now_ = timeMs;
    Side& side = SideOf(direction);
    while (!bytes.empty() && !done_) {
        if (side.headerHave < 5) {
            const size_t take = std::min(bytes.size(), 5 - side.headerHave);
            std::copy_n(bytes.begin(), take, side.header + side.headerHave);
            side.headerHave += take;
            bytes = bytes.subspan(take);
            if (side.headerHave < 5) break;
            const uint8_t type = side.header[0];
            side.bodyLength = static_cast<size_t>(side.header[3]) << 8 | side.header[4];
            if (type < kChangeCipherSpec || type > kHeartbeat || side.header[1] != 3 ||
                side.bodyLength > kMaxRecordBody) {
                Fail(Failure::Malformed);
                return;
            }
            side.partial.clear();
        }
        const std::span<const uint8_t, 5> header(side.header, 5);
        if (side.partial.empty() && bytes.size() >= side.bodyLength) {
            // The whole body is in hand: read in place, without a copy.
            const auto body = bytes.first(side.bodyLength);
            bytes = bytes.subspan(side.bodyLength);
            side.headerHave = 0;
            TakeRecord(direction, header, body, nullptr);
            continue;
        }
        const size_t take = std::min(bytes.size(), side.bodyLength - side.partial.size());
        if (side.partial.capacity() == 0) {
            // A record split across deliveries is gathered in a buffer of the largest record's size.
            if (!Hold(kMaxRecordBody)) return;
            side.partial.reserve(kMaxRecordBody);
        }
        side.partial.insert(side.partial.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(take));
        bytes = bytes.subspan(take);
        if (side.partial.size() == side.bodyLength) {
            side.headerHave = 0;
            TakeRecord(direction, header, side.partial, side.partial.data());
            side.partial.clear();
        }
    }
    Resume();
    if (!done_ && waitingBytes_ > 0 && now_ - waitingSince_ > limits_.keyWaitMs) {
        if (limits_.hits) limits_.hits->Hit(Limit::KeyWaitSeconds);
        Fail(suite_ ? Failure::MissingKeys : Failure::Malformed);
    }
}

void TlsConnection::OnEnd(StreamEnd how) {
    Resume();
    if (!done_ && waitingBytes_ > 0) {
        lingering_ = true;
        endedHow_ = how;
        return;
    }
    if (application_ && !application_->Done()) application_->OnEnd(how);
}

void TlsConnection::Retry(int64_t nowMs) {
    if (!Lingering()) return;
    Resume();
    if (done_) return;
    if (waitingBytes_ == 0) {
        done_ = true;
        if (application_ && !application_->Done()) application_->OnEnd(endedHow_);
        return;
    }
    if (nowMs - waitingSince_ > limits_.keyWaitMs) {
        if (limits_.hits) limits_.hits->Hit(Limit::KeyWaitSeconds);
        Fail(suite_ ? Failure::MissingKeys : Failure::Malformed);
    }
}

void TlsConnection::TakeRecord(StreamDirection direction, std::span<const uint8_t, 5> header,
                               std::span<const uint8_t> body, uint8_t* writable) {
    Side& side = SideOf(direction);
    if (side.waiting.empty() && ReadRecord(direction, header, body, writable) != Step::Wait) return;
    // Kept, whole, until what it waits for (the server's hello, the key log's secrets) is there.
    const size_t cost = header.size() + body.size() + kRecordUpkeep;
    if (!Hold(cost)) return;
    std::vector<uint8_t> record(header.begin(), header.end());
    record.insert(record.end(), body.begin(), body.end());
    if (waitingBytes_ == 0) waitingSince_ = now_;
    waitingBytes_ += cost;
    side.waiting.push_back(std::move(record));
}

void TlsConnection::Resume() {
    for (bool progress = true; progress && !done_;) {
        progress = false;
        for (Side& side : sides_) {
            const auto direction =
                &side == &sides_[0] ? StreamDirection::ClientToServer : StreamDirection::ServerToClient;
            while (!done_ && !side.waiting.empty()) {
                std::vector<uint8_t>& record = side.waiting.front();
                const Step step =
                    ReadRecord(direction, HeaderOf(record), std::span(record).subspan(5), record.data() + 5);
                if (step == Step::Wait) break;
                const size_t cost = record.size() + kRecordUpkeep;
                waitingBytes_ -= std::min(waitingBytes_, cost);
                Release(cost);
                side.waiting.pop_front();
                progress = true;
            }
        }
    }
}

TlsConnection::Step TlsConnection::ReadRecord(StreamDirection direction, std::span<const uint8_t, 5> header,
                                              std::span<const uint8_t> body, uint8_t* writable) {
    const bool client = direction == StreamDirection::ClientToServer;
    Side& side = SideOf(direction);
    const uint8_t type = header[0];
    if (type == kHeartbeat) return Step::Read;
    if (type == kChangeCipherSpec) {
        // TLS 1.3 sends it only for middleboxes; in TLS 1.2 it switches its sender to the new keys.
        if (retryRequested_ || (suite_ && suite_->tls13)) return Step::Read;
        if (!suite_) {
            if (client) return Step::Wait;
            Fail(Failure::Malformed);
            return Step::Stop;
        }
        side.protection = Protection::Application;
        side.keysInstalled = false;
        return Step::Read;
    }
    if (side.protection != Protection::Plain) return ReadProtected(direction, header, body, writable);
    if (client && clientHelloSeen_ && !suite_) {
        // After a HelloRetryRequest the client's second hello is in the clear; all else needs the server's hello.
        const bool secondHello = retryRequested_ && !secondClientHelloSeen_ && type == kHandshake;
        if (!secondHello) return Step::Wait;
    }
    return ReadPlain(direction, type, body);
}

TlsConnection::Step TlsConnection::ReadPlain(StreamDirection direction, uint8_t type, std::span<const uint8_t> body) {
    if (type == kAlert) {
        // A handshake that failed: nothing will be protected with logged secrets.
        done_ = true;
        return Step::Stop;
    }
    if (type != kHandshake || !ReadHandshake(direction, body)) {
        if (!done_) Fail(Failure::Malformed);
        return Step::Stop;
    }
    return Step::Read;
}

TlsConnection::Step TlsConnection::ReadProtected(StreamDirection direction, std::span<const uint8_t, 5> header,
                                                 std::span<const uint8_t> body, uint8_t* writable) {
    Side& side = SideOf(direction);
    if (!side.keysInstalled) {
        const Step step = InstallKeys(direction, side.protection);
        if (step != Step::Read) return step;
    }
    // In place where the bytes are ours, sparing a copy through a second buffer; not while early data
    // may have to be tried with other keys, which needs the cipher text again.
    const bool inPlace = writable && side.protection != Protection::Early;
    if (!inPlace && plaintext_.empty()) {
        if (!Hold(kMaxRecordBody)) return Step::Stop;
        plaintext_.resize(kMaxRecordBody);
    }
    uint8_t* output = inPlace ? writable + side.decryptor.ExplicitNonceSize() : plaintext_.data();
    auto plain = side.decryptor.Open(header, body, output);
    if (side.protection == Protection::Early) {
        if (plain && side.earlyKeysMissing) {
            side.protection = Protection::Handshake;  // the handshake keys opened it: early data is over
        } else if (!plain && side.earlyKeysMissing) {
            // Early data that no logged key opens is passed over, as a server that refused it does.
            if (++unreadableEarlyRecords_ <= kMaxUnreadableEarlyRecords) return Step::Read;
        } else if (!plain) {
            // The early data ended without an EndOfEarlyData (the server refused it): the client's
            // handshake keys take over from this record.
            const Step step = InstallKeys(direction, Protection::Handshake);
            if (step != Step::Read) return step;
            side.protection = Protection::Handshake;
            plain = side.decryptor.Open(header, body, plaintext_.data());
        }
    }
    if (!plain) {
        Fail(Failure::Authentication);
        return Step::Stop;
    }
    if (!decryptedAny_) {
        decryptedAny_ = true;
        ++statistics_.decrypted;
    }
    ++statistics_.recordsDecrypted;
    statistics_.bytesDecrypted += plain->bytes.size();
    return ReadPlaintext(direction, plain->contentType, plain->bytes);
}

TlsConnection::Step TlsConnection::ReadPlaintext(StreamDirection direction, uint8_t type,
                                                 std::span<const uint8_t> bytes) {
    if (type == kApplicationData) {
        DeliverApplicationData(direction, bytes);
    } else if (type == kHandshake && !ReadHandshake(direction, bytes)) {
        if (!done_) Fail(Failure::Malformed);
    }
    return done_ ? Step::Stop : Step::Read;
}

bool TlsConnection::ReadHandshake(StreamDirection direction, std::span<const uint8_t> bytes) {
    return SideOf(direction).handshake.Feed(bytes, [this, direction](uint8_t type, std::span<const uint8_t> body) {
        return OnHandshakeMessage(direction, type, body);
    });
}

bool TlsConnection::OnHandshakeMessage(StreamDirection direction, uint8_t type, std::span<const uint8_t> body) {
    const bool client = direction == StreamDirection::ClientToServer;
    Side& side = SideOf(direction);
    const bool tls13 = suite_ && suite_->tls13;
    if (client && !clientHelloSeen_) {
        TlsClientHello hello;
        if (type != TlsHandshakeReader::kClientHello || !TlsClientHello::Parse(body, hello)) return false;
        clientHelloSeen_ = true;
        clientRandom_ = hello.random;
        facts_.serverName = std::move(hello.serverName);
        offersEarlyData_ = hello.offersEarlyData;
        return true;
    }
    switch (type) {
        case TlsHandshakeReader::kClientHello:
            if (client && retryRequested_ && !secondClientHelloSeen_) {
                TlsClientHello hello;
                if (!TlsClientHello::Parse(body, hello)) return false;
                secondClientHelloSeen_ = true;
                offersEarlyData_ = false;  // no early data after a retry
            }
            return true;
        case TlsHandshakeReader::kServerHello:
            return client || OnServerHello(body);
        case TlsHandshakeReader::kEncryptedExtensions: {
            TlsEncryptedExtensions extensions;
            if (client || !TlsEncryptedExtensions::Parse(body, extensions)) return client;
            facts_.alpn = std::move(extensions.alpn);
            alpnKnown_ = true;
            return true;
        }
        case TlsHandshakeReader::kEndOfEarlyData:
            if (client && side.protection == Protection::Early) {
                side.protection = Protection::Handshake;
                side.keysInstalled = false;
            }
            return true;
        case TlsHandshakeReader::kFinished:
            // In TLS 1.3 the sender's application keys start with its next record.
            if (tls13 && side.protection == Protection::Handshake) {
                side.protection = Protection::Application;
                side.keysInstalled = false;
            }
            return true;
        case TlsHandshakeReader::kKeyUpdate:
            if (tls13 && side.protection == Protection::Application && side.keysInstalled) {
                TlsSecret next;
                TlsRecordKeys keys;
                if (body.size() != 1 || !TlsKeySchedule::NextTrafficSecret(*suite_, side.trafficSecret, next) ||
                    !TlsKeySchedule::TrafficKeys(*suite_, next, keys) || !side.decryptor.Install(*suite_, keys))
                    return false;
                side.trafficSecret = next;
            }
            return true;
        default:
            return true;
    }
}

bool TlsConnection::OnServerHello(std::span<const uint8_t> body) {
    TlsServerHello hello;
    if (!TlsServerHello::Parse(body, hello)) return false;
    if (hello.helloRetryRequest) {
        if (retryRequested_) return false;  // only one retry is allowed
        retryRequested_ = true;
        return true;
    }
    if (suite_) return true;  // a later hello (renegotiation) is not followed
    const auto suite = TlsCipherSuite::Find(hello.cipherSuite);
    if (!suite || (hello.version != kTls12 && hello.version != kTls13) || suite->tls13 != (hello.version == kTls13)) {
        Fail(Failure::Unsupported);
        return false;
    }
    suite_ = suite;
    serverRandom_ = hello.random;
    facts_.alpn = hello.alpn;
    // TLS 1.3 names the protocol in the encrypted extensions instead.
    alpnKnown_ = !suite->tls13;
    if (suite->tls13) {
        sides_[IndexOf(StreamDirection::ServerToClient)].protection = Protection::Handshake;
        sides_[IndexOf(StreamDirection::ClientToServer)].protection =
            offersEarlyData_ ? Protection::Early : Protection::Handshake;
    }
    return true;
}

bool TlsConnection::SecretKnown(const TlsSecret& secret) {
    if (secret.Empty()) keyLog_.Find(clientRandom_, suite_->tls13, secrets_);
    return !secret.Empty();
}

TlsConnection::Step TlsConnection::InstallKeys(StreamDirection direction, Protection protection) {
    const bool client = direction == StreamDirection::ClientToServer;
    Side& side = SideOf(direction);
    const TlsCipherSuite& suite = *suite_;
    bool installed = false;
    if (suite.tls13) {
        if (protection == Protection::Early && !SecretKnown(secrets_.clientEarly)) {
            // Read with the handshake keys instead; early data that they cannot open is passed over.
            side.earlyKeysMissing = true;
            protection = Protection::Handshake;
        }
        const TlsSecret& secret = protection == Protection::Early ? secrets_.clientEarly
                                  : protection == Protection::Handshake
                                      ? (client ? secrets_.clientHandshake : secrets_.serverHandshake)
                                      : (client ? secrets_.clientTraffic : secrets_.serverTraffic);
        if (!SecretKnown(secret)) return Step::Wait;
        TlsRecordKeys keys;
        installed = TlsKeySchedule::TrafficKeys(suite, secret, keys) && side.decryptor.Install(suite, keys);
        side.trafficSecret = secret;
    } else {
        if (!SecretKnown(secrets_.master)) return Step::Wait;
        TlsRecordKeys clientKeys, serverKeys;
        installed =
            TlsKeySchedule::Tls12Keys(suite, secrets_.master, clientRandom_, serverRandom_, clientKeys, serverKeys) &&
            side.decryptor.Install(suite, client ? clientKeys : serverKeys);
    }
    if (!installed) {
        Fail(Failure::Malformed);  // a secret of the wrong size for the suite
        return Step::Stop;
    }
    side.keysInstalled = true;
    return Step::Read;
}

void TlsConnection::DeliverApplicationData(StreamDirection direction, std::span<const uint8_t> bytes) {
    if (!application_ && !applicationRefused_ && !ChooseApplication(direction, bytes)) return;
    if (!application_) {
        // Nobody reads this protocol: decrypting on would be wasted.
        if (!done_) ++statistics_.unread;
        done_ = true;
        return;
    }
    if (!bytes.empty()) application_->OnData(direction, bytes, now_);
    if (application_->Done()) done_ = true;
}

bool TlsConnection::ChooseApplication(StreamDirection direction, std::span<const uint8_t> bytes) {
    std::optional<TlsApplicationProtocol> protocol;
    if (alpnKnown_) {
        // A server that names no protocol speaks HTTP/1.1.
        protocol = facts_.alpn == "h2" ? TlsApplicationProtocol::Http2
                   : facts_.alpn.empty() || facts_.alpn == "http/1.1" || facts_.alpn == "http/1.0"
                       ? TlsApplicationProtocol::Http1
                       : TlsApplicationProtocol::Other;
    } else {
        // The server's choice was not read (its keys came too late): the client's first bytes tell.
        std::string& held = undecided_[IndexOf(direction)];
        const size_t before = held.size();
        held.append(reinterpret_cast<const char*>(bytes.data()), std::min(bytes.size(), kMaxUndecidedBytes - before));
        const std::string& client = undecided_[IndexOf(StreamDirection::ClientToServer)];
        protocol = ProtocolOfFirstBytes({reinterpret_cast<const uint8_t*>(client.data()), client.size()});
        if (!protocol && client.size() >= kMaxUndecidedBytes) protocol = TlsApplicationProtocol::Other;
        if (!protocol) {
            if (bytes.size() > kMaxUndecidedBytes - before) {
                // More than can wait: what the decrypted bytes carry stays unknown.
                applicationRefused_ = true;
            }
            return false;
        }
        // The bytes of this delivery go on below; those held before it go first.
        held.resize(before);
    }
    application_ = readerFactory_ ? readerFactory_(facts_, *protocol) : nullptr;
    applicationRefused_ = !application_;
    if (!application_) return true;
    for (const auto side : {StreamDirection::ClientToServer, StreamDirection::ServerToClient}) {
        std::string held = std::move(undecided_[IndexOf(side)]);
        if (!held.empty() && !application_->Done())
            application_->OnData(side, {reinterpret_cast<const uint8_t*>(held.data()), held.size()}, now_);
    }
    return true;
}

void TlsConnection::Fail(Failure why) {
    if (done_) return;
    done_ = true;
    switch (why) {
        case Failure::MissingKeys:
            ++statistics_.missingKeys;
            break;
        case Failure::Authentication:
            ++statistics_.authenticationFailures;
            break;
        case Failure::Malformed:
            ++statistics_.malformed;
            break;
        case Failure::Unsupported:
            ++statistics_.unsupported;
            break;
        case Failure::Bound:
            ++statistics_.cut;
            break;
        case Failure::Lost:
            ++statistics_.lost;
            break;
    }
    if (application_ && !application_->Done()) application_->OnEnd(StreamEnd::Broken);
}

}  // namespace tarnwick
