// SPDX-License-Identifier: GPL-3.0-or-later
// One line of an NSS key log: a label, the client random it belongs to, and a secret.
#include "capture/tls/TlsKeyLogLine.h"

#include <algorithm>
#include <iterator>
#include <span>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::pair<std::string_view, TlsSecretKind> kLabels[] = {
    {"CLIENT_RANDOM", TlsSecretKind::MasterSecret},
    {"CLIENT_EARLY_TRAFFIC_SECRET", TlsSecretKind::ClientEarlyTraffic},
    {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", TlsSecretKind::ClientHandshakeTraffic},
    {"SERVER_HANDSHAKE_TRAFFIC_SECRET", TlsSecretKind::ServerHandshakeTraffic},
    {"CLIENT_TRAFFIC_SECRET_0", TlsSecretKind::ClientTraffic},
    {"SERVER_TRAFFIC_SECRET_0", TlsSecretKind::ServerTraffic},
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes hex into out (of exactly hex.size() / 2 bytes); false on an odd length or a non-hex digit.
bool DecodeHex(std::string_view hex, uint8_t* out, size_t outSize) {
    if (hex.size() != outSize * 2) return false;
    for (size_t i = 0; i < outSize; ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

std::string_view NextField(std::string_view& rest) {
    const size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const size_t end = rest.find_first_of(" \t");
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    return field;
}

}  // namespace

TlsKeyLogLine::Kind TlsKeyLogLine::Parse(std::string_view line, TlsKeyLogLine& out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view rest = line;
    const std::string_view label = NextField(rest);
    if (label.empty() || label.front() == '#') return Kind::Ignored;
    const auto* known = std::find_if(std::begin(kLabels), std::end(kLabels),
                                     [label](const auto& entry) { return entry.first == label; });
    if (known == std::end(kLabels)) return Kind::Ignored;

    const std::string_view random = NextField(rest);
    const std::string_view secret = NextField(rest);
    if (!NextField(rest).empty()) return Kind::Malformed;
    if (!DecodeHex(random, out.clientRandom.data(), out.clientRandom.size())) return Kind::Malformed;
    // 48 bytes for a TLS 1.2 master secret; a TLS 1.3 secret is as long as its suite's hash (32 or 48).
    const size_t secretSize = secret.size() / 2;
    const bool sizeFits =
        known->second == TlsSecretKind::MasterSecret ? secretSize == 48 : secretSize == 32 || secretSize == 48;
    if (!sizeFits || !DecodeHex(secret, out.secret.MutableData(), secretSize)) {
        out.secret.Clear();
        return Kind::Malformed;
    }
    out.secret.SetSize(secretSize);
    out.secretKind = known->second;
    return Kind::Secret;
}

void TlsKeyLogLine::AppendTo(std::string& out) const {
    constexpr char kDigits[] = "0123456789abcdef";
    auto hex = [&out, &kDigits](std::span<const uint8_t> bytes) {
        for (const uint8_t byte : bytes) {
            out.push_back(kDigits[byte >> 4]);
            out.push_back(kDigits[byte & 0x0F]);
        }
    };
    const auto* known = std::find_if(std::begin(kLabels), std::end(kLabels),
                                     [this](const auto& entry) { return entry.second == secretKind; });
    out.append(known->first);
    out.push_back(' ');
    hex(clientRandom);
    out.push_back(' ');
    hex(secret.Bytes());
    out.push_back('\n');
}

}  // namespace tarnwick
