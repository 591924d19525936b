// SPDX-License-Identifier: GPL-3.0-or-later
// Builds the datagrams of a QUIC connection carrying HTTP/3, protected as a real peer protects them.
#include "tests/capture/QuicTestConnection.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>
#include <utility>

#include "capture/tls/TlsCipherSuite.h"

namespace tarnwick::testing {

namespace {

void Append(std::vector<uint8_t>& out, const std::vector<uint8_t>& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<uint8_t> VarInt(uint64_t value) {
    if (value < 0x40) return {static_cast<uint8_t>(value)};
    if (value < 0x4000) return {static_cast<uint8_t>(0x40 | value >> 8), static_cast<uint8_t>(value)};
    std::vector<uint8_t> out(8);
    for (int i = 0; i < 8; ++i) out[static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (56 - 8 * i));
    out[0] |= 0xC0;
    return out;
}

std::vector<uint8_t> Random(size_t size) {
    std::vector<uint8_t> bytes(size);
    if (RAND_bytes(bytes.data(), static_cast<int>(size)) != 1) throw std::runtime_error("no random bytes");
    return bytes;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

// A handshake message: its type, a 24-bit length, the body.
std::vector<uint8_t> HandshakeMessage(uint8_t type, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> out{type, static_cast<uint8_t>(body.size() >> 16), static_cast<uint8_t>(body.size() >> 8),
                             static_cast<uint8_t>(body.size())};
    Append(out, body);
    return out;
}

TlsSecret SecretOf(const std::vector<uint8_t>& bytes) {
    TlsSecret secret;
    secret.Assign(bytes);
    return secret;
}

// Seals a packet as its sender does: AEAD over the payload with the header as additional data, then
// the header protection mask over the first byte's low bits and the packet number.
std::vector<uint8_t> Seal(const TlsCipherSuite& suite, const QuicPacketKeys& keys, std::vector<uint8_t> header,
                          size_t numberOffset, uint64_t number, const std::vector<uint8_t>& payload) {
    const EVP_CIPHER* aead = EVP_aes_128_gcm();
    uint8_t nonce[12];
    std::memcpy(nonce, keys.iv.Bytes().data(), 12);
    for (int i = 0; i < 8; ++i) nonce[11 - i] ^= static_cast<uint8_t>(number >> (8 * i));
    EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
    std::vector<uint8_t> sealed(payload.size() + 16);
    int length = 0;
    EVP_EncryptInit_ex(context, aead, nullptr, keys.key.Bytes().data(), nonce);
    EVP_EncryptUpdate(context, nullptr, &length, header.data(), static_cast<int>(header.size()));
    EVP_EncryptUpdate(context, sealed.data(), &length, payload.data(), static_cast<int>(payload.size()));
    EVP_EncryptFinal_ex(context, sealed.data() + length, &length);
    EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_GET_TAG, 16, sealed.data() + payload.size());
    EVP_CIPHER_CTX_free(context);
    (void)suite;
    std::vector<uint8_t> packet = header;
    Append(packet, sealed);
    // The sample starts four bytes after the packet number's start.
    uint8_t mask[16];
    EVP_CIPHER_CTX* ecb = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ecb, EVP_aes_128_ecb(), nullptr, keys.headerProtection.Bytes().data(), nullptr);
    EVP_EncryptUpdate(ecb, mask, &length, packet.data() + numberOffset + 4, 16);
    EVP_CIPHER_CTX_free(ecb);
    const size_t numberLength = static_cast<size_t>(packet[0] & 0x03) + 1;
    packet[0] ^= mask[0] & ((packet[0] & 0x80) ? 0x0F : 0x1F);
    for (size_t i = 0; i < numberLength; ++i) packet[numberOffset + i] ^= mask[1 + i];
    return packet;
}

}  // namespace

struct QuicTestConnection::Side {
    QuicPacketKeys initial;
    QuicPacketKeys application;
    TlsSecret handshakeSecret;
    uint64_t initialNumber = 0;
    uint64_t number = 0;
    bool phase = false;
};

QuicTestConnection::QuicTestConnection(uint32_t version)
    : version_(version), clientId_(Random(8)), serverId_(Random(8)) {
    sides_[0] = std::make_unique<Side>();
    sides_[1] = std::make_unique<Side>();
}

QuicTestConnection::~QuicTestConnection() = default;

void QuicTestConnection::Handshake(const std::string& serverName) {
    const TlsCipherSuite suite = *TlsCipherSuite::Find(0x1301);
    const std::vector<uint8_t> firstId = Random(8);
    TlsSecret client, server;
    QuicPacketProtection::InitialSecrets(version_, firstId, client, server);
    QuicPacketProtection::Derive(version_, QuicPacketProtection::InitialSuite(), client, sides_[0]->initial);
    QuicPacketProtection::Derive(version_, QuicPacketProtection::InitialSuite(), server, sides_[1]->initial);

    const std::vector<uint8_t> random = Random(32);
    std::vector<uint8_t> sni{0x00, 0x00};  // server_name
    std::vector<uint8_t> name(serverName.begin(), serverName.end());
    const size_t list = name.size() + 3;
    Append(sni, {static_cast<uint8_t>((list + 2) >> 8), static_cast<uint8_t>(list + 2), static_cast<uint8_t>(list >> 8),
                 static_cast<uint8_t>(list), 0x00, static_cast<uint8_t>(name.size() >> 8),
                 static_cast<uint8_t>(name.size())});
    Append(sni, name);
    std::vector<uint8_t> clientHello{0x03, 0x03};
    Append(clientHello, random);
    Append(clientHello, {0x00, 0x00, 0x02, 0x13, 0x01, 0x01, 0x00, static_cast<uint8_t>(sni.size() >> 8),
                         static_cast<uint8_t>(sni.size())});
    Append(clientHello, sni);
    std::vector<uint8_t> serverHello{0x03, 0x03};
    Append(serverHello, Random(32));
    Append(serverHello, {0x00, 0x13, 0x01, 0x00, 0x00, 0x06, 0x00, 0x2b, 0x00, 0x02, 0x03, 0x04});

    // The logged secrets, and the 1-RTT keys they give.
    const char* labels[] = {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET",
                            "CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"};
    for (int i = 0; i < 4; ++i) {
        const std::vector<uint8_t> secret = Random(32);
        keyLog_ += std::string(labels[i]) + " " + Hex(random) + " " + Hex(secret) + "\n";
        Side& side = *sides_[i % 2];
        if (i < 2)
            side.handshakeSecret = SecretOf(secret);
        else
            QuicPacketProtection::Derive(version_, suite, SecretOf(secret), side.application);
    }
    const std::vector<uint8_t> early = Random(32);
    keyLog_ += "CLIENT_EARLY_TRAFFIC_SECRET " + Hex(random) + " " + Hex(early) + "\n";
    QuicPacketProtection::Derive(version_, suite, SecretOf(early), earlyKeys_);

    // CRYPTO frames, the ClientHello cut in two and sent back to front; Initial datagrams padded to 1200.
    const auto hello = HandshakeMessage(1, clientHello);
    const size_t half = hello.size() / 2;
    std::vector<uint8_t> frames;
    const std::pair<size_t, size_t> pieces[] = {{half, hello.size()}, {0, half}};
    for (const auto& [from, to] : pieces) {
        Append(frames, {0x06});
        Append(frames, VarInt(from));
        Append(frames, VarInt(to - from));
        frames.insert(frames.end(), hello.begin() + static_cast<ptrdiff_t>(from),
                      hello.begin() + static_cast<ptrdiff_t>(to));
    }
    frames.resize(1200, 0);  // PADDING
    std::vector<uint8_t> long1{static_cast<uint8_t>(version_ == QuicVersion::kVersion2 ? 0xD0 : 0xC0)};
    for (int i = 3; i >= 0; --i) long1.push_back(static_cast<uint8_t>(version_ >> (8 * i)));
    const auto longHeader = [&](const std::vector<uint8_t>& destination, const std::vector<uint8_t>& source,
                                size_t payloadSize) {
        std::vector<uint8_t> header = long1;
        header.push_back(static_cast<uint8_t>(destination.size()));
        Append(header, destination);
        header.push_back(static_cast<uint8_t>(source.size()));
        Append(header, source);
        header.push_back(0x00);  // no token
        const auto length = VarInt(payloadSize + 1 + 16);
        Append(header, length.size() == 1 ? std::vector<uint8_t>{0x40, length[0]} : length);
        return header;
    };
    auto header = longHeader(firstId, clientId_, frames.size());
    size_t numberOffset = header.size();
    header.push_back(static_cast<uint8_t>(sides_[0]->initialNumber));
    datagrams_.push_back({StreamDirection::ClientToServer,
                          Seal(suite, sides_[0]->initial, header, numberOffset, sides_[0]->initialNumber++, frames)});

    std::vector<uint8_t> answer{0x06, 0x00};
    const auto serverMessage = HandshakeMessage(2, serverHello);
    Append(answer, VarInt(serverMessage.size()));
    Append(answer, serverMessage);
    answer.resize(100, 0);
    header = longHeader(clientId_, serverId_, answer.size());
    numberOffset = header.size();
    header.push_back(static_cast<uint8_t>(sides_[1]->initialNumber));
    datagrams_.push_back({StreamDirection::ServerToClient,
                          Seal(suite, sides_[1]->initial, header, numberOffset, sides_[1]->initialNumber++, answer)});
}

void QuicTestConnection::Send(StreamDirection from, const std::vector<uint8_t>& frames) {
    Side& side = *sides_[IndexOf(from)];
    const std::vector<uint8_t>& destination = from == StreamDirection::ClientToServer ? serverId_ : clientId_;
    // A two-byte packet number; padding so that a sample always follows it.
    std::vector<uint8_t> header{static_cast<uint8_t>(0x40 | (side.phase ? 0x04 : 0x00) | 0x01)};
    Append(header, destination);
    const size_t numberOffset = header.size();
    header.push_back(static_cast<uint8_t>(side.number >> 8));
    header.push_back(static_cast<uint8_t>(side.number));
    std::vector<uint8_t> payload = frames;
    if (payload.size() < 4) payload.resize(4, 0);
    Datagram datagram{
        from, Seal(*TlsCipherSuite::Find(0x1301), side.application, header, numberOffset, side.number++, payload)};
    (holding_ ? held_ : datagrams_).push_back(std::move(datagram));
    holding_ = false;
}

void QuicTestConnection::SendEarly(const std::vector<uint8_t>& frames) {
    Side& side = *sides_[0];
    // A 0-RTT long header (its type bits differ between the versions), a two-byte packet number.
    std::vector<uint8_t> header{static_cast<uint8_t>(version_ == QuicVersion::kVersion2 ? 0xE1 : 0xD1)};
    for (int i = 3; i >= 0; --i) header.push_back(static_cast<uint8_t>(version_ >> (8 * i)));
    header.push_back(static_cast<uint8_t>(serverId_.size()));
    Append(header, serverId_);
    header.push_back(static_cast<uint8_t>(clientId_.size()));
    Append(header, clientId_);
    std::vector<uint8_t> payload = frames;
    if (payload.size() < 4) payload.resize(4, 0);
    const size_t length = 2 + payload.size() + 16;
    Append(header, {static_cast<uint8_t>(0x40 | length >> 8), static_cast<uint8_t>(length)});
    const size_t numberOffset = header.size();
    header.push_back(static_cast<uint8_t>(side.number >> 8));
    header.push_back(static_cast<uint8_t>(side.number));
    // Right after the client's Initial, before the server has answered.
    datagrams_.insert(datagrams_.begin() + 1,
                      {StreamDirection::ClientToServer,
                       Seal(*TlsCipherSuite::Find(0x1301), earlyKeys_, header, numberOffset, side.number++, payload)});
}

void QuicTestConnection::NewServerId() {
    const std::vector<uint8_t> id = Random(8);
    std::vector<uint8_t> frame{0x18, 0x01, 0x00, static_cast<uint8_t>(id.size())};
    Append(frame, id);
    Append(frame, Random(16));  // the reset token
    Send(StreamDirection::ServerToClient, frame);
    serverId_ = id;
}

void QuicTestConnection::Release() {
    for (auto& datagram : held_) datagrams_.push_back(std::move(datagram));
    held_.clear();
}

void QuicTestConnection::UpdateKeys(StreamDirection side) {
    Side& state = *sides_[IndexOf(side)];
    QuicPacketKeys next;
    QuicPacketProtection::NextPhase(version_, *TlsCipherSuite::Find(0x1301), state.application, next);
    state.application = next;
    state.phase = !state.phase;
}

std::vector<uint8_t> QuicTestConnection::StreamFrame(uint64_t id, uint64_t offset, const std::vector<uint8_t>& data,
                                                     bool fin) {
    std::vector<uint8_t> frame{static_cast<uint8_t>(0x08 | 0x04 | 0x02 | (fin ? 0x01 : 0x00))};
    Append(frame, VarInt(id));
    Append(frame, VarInt(offset));
    Append(frame, VarInt(data.size()));
    Append(frame, data);
    return frame;
}

std::vector<uint8_t> QuicTestConnection::Http3Frame(uint64_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame = VarInt(type);
    Append(frame, VarInt(payload.size()));
    Append(frame, payload);
    return frame;
}

std::vector<uint8_t> QuicTestConnection::RequestBlock(const std::string& authority, const std::string& path) {
    // No dynamic table; GET and https from the static table, :authority and :path as literals on static names.
    std::vector<uint8_t> block{0x00, 0x00, 0xd1, 0xd7, 0x50, static_cast<uint8_t>(authority.size())};
    block.insert(block.end(), authority.begin(), authority.end());
    Append(block, {0x51, static_cast<uint8_t>(path.size())});
    block.insert(block.end(), path.begin(), path.end());
    return block;
}

std::vector<uint8_t> QuicTestConnection::AnswerBlock(const std::string& contentType) {
    std::vector<uint8_t> block{0x00, 0x00, 0xd9, 0x5f, 0x1d, static_cast<uint8_t>(contentType.size())};
    block.insert(block.end(), contentType.begin(), contentType.end());
    return block;
}

}  // namespace tarnwick::testing
