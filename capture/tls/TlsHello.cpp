// SPDX-License-Identifier: GPL-3.0-or-later
// What the hello messages of a handshake say that decryption and the readers above it need.
#include "capture/tls/TlsHello.h"

#include <algorithm>
#include <cstring>

#include "capture/tls/ByteCursor.h"

namespace tarnwick {

namespace {

constexpr uint16_t kServerName = 0;
constexpr uint16_t kAlpn = 16;
constexpr uint16_t kEarlyData = 42;
constexpr uint16_t kSupportedVersions = 43;
constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxProtocols = 16;

// SHA-256 of "HelloRetryRequest": the random of a ServerHello that is a HelloRetryRequest.
constexpr uint8_t kHelloRetryRandom[32] = {0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C,
                                           0x02, 0x1E, 0x65, 0xB8, 0x91, 0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB,
                                           0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};

std::string Text(std::span<const uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Protocol names of an ALPN extension body.
bool ReadAlpn(ByteCursor extension, std::vector<std::string>& out) {
    ByteCursor list = extension.Vector(2);
    while (list.Ok() && !list.AtEnd()) {
        ByteCursor name = list.Vector(1);
        const auto bytes = name.Bytes(name.Remaining());
        if (!list.Ok() || bytes.empty()) return false;
        if (out.size() < kMaxProtocols) out.push_back(Text(bytes));
    }
    return list.Ok() && extension.AtEnd();
}

// Walks an extension block; visit(type, cursor over its data) returns false on a malformed extension.
template <typename Visit>
bool WalkExtensions(ByteCursor& message, Visit visit) {
    if (message.AtEnd()) return true;  // extensions are optional in older hellos
    ByteCursor block = message.Vector(2);
    while (block.Ok() && !block.AtEnd()) {
        const uint16_t type = block.U16();
        ByteCursor data = block.Vector(2);
        if (!block.Ok() || !visit(type, data)) return false;
    }
    return block.Ok() && message.AtEnd();
}

}  // namespace

bool TlsClientHello::Parse(std::span<const uint8_t> body, TlsClientHello& out) {
    ByteCursor message(body);
    message.U16();  // legacy version
    const auto random = message.Bytes(32);
    message.Vector(1);  // session id
    message.Vector(2);  // cipher suites
    message.Vector(1);  // compression methods
    if (!message.Ok()) return false;
    std::memcpy(out.random.data(), random.data(), random.size());
    return WalkExtensions(message, [&out](uint16_t type, ByteCursor data) {
        if (type == kServerName) {
            ByteCursor list = data.Vector(2);
            while (list.Ok() && !list.AtEnd()) {
                const uint8_t nameType = list.U8();
                ByteCursor name = list.Vector(2);
                const auto bytes = name.Bytes(name.Remaining());
                if (nameType == 0 && out.serverName.empty() && bytes.size() <= kMaxNameLength)
                    out.serverName = Text(bytes);
            }
            return list.Ok();
        }
        if (type == kAlpn) return ReadAlpn(data, out.offeredAlpn);
        if (type == kEarlyData) out.offersEarlyData = true;
        return true;
    });
}

bool TlsServerHello::Parse(std::span<const uint8_t> body, TlsServerHello& out) {
    ByteCursor message(body);
    out.version = message.U16();
    const auto random = message.Bytes(32);
    message.Vector(1);  // session id
    out.cipherSuite = message.U16();
    message.U8();  // compression method
    if (!message.Ok()) return false;
    std::memcpy(out.random.data(), random.data(), random.size());
    out.helloRetryRequest = std::equal(random.begin(), random.end(), std::begin(kHelloRetryRandom));
    return WalkExtensions(message, [&out](uint16_t type, ByteCursor data) {
        if (type == kSupportedVersions) {
            out.version = data.U16();
            return data.AtEnd();
        }
        if (type == kAlpn) {
            std::vector<std::string> chosen;
            if (!ReadAlpn(data, chosen) || chosen.size() != 1) return false;
            out.alpn = chosen.front();
        }
        return true;
    });
}

bool TlsEncryptedExtensions::Parse(std::span<const uint8_t> body, TlsEncryptedExtensions& out) {
    ByteCursor message(body);
    return WalkExtensions(message,
                          [&out](uint16_t type, ByteCursor data) {
                              if (type == kAlpn) {
                                  std::vector<std::string> chosen;
                                  if (!ReadAlpn(data, chosen) || chosen.size() != 1) return false;
                                  out.alpn = chosen.front();
                              }
                              if (type == kEarlyData) out.acceptsEarlyData = true;
                              return true;
                          }) &&
           !body.empty();
}

}  // namespace tarnwick
