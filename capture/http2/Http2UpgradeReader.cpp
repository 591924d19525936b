// A clear-text HTTP/1.1 connection whose first request asks to switch to HTTP/2 (Upgrade: h2c).
#include "capture/http2/Http2UpgradeReader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

#include "capture/http1/Http1StreamReader.h"

namespace tarnwick {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x | 0x20) == (y | 0x20);
           });
}

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Calls visit(line, name, value) for each field line of a head (its start line and blank line excluded).
template <typename Visit>
void ForEachField(std::string_view head, Visit visit) {
    size_t at = head.find("\r\n");
    while (at != std::string_view::npos) {
        at += 2;
        const size_t end = head.find("\r\n", at);
        if (end == std::string_view::npos || end == at) return;
        const std::string_view line = head.substr(at, end - at);
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos) visit(line, line.substr(0, colon), Trim(line.substr(colon + 1)));
        at = end;
    }
}

bool ListHasToken(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        if (EqualsIgnoringCase(Trim(list.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

// Whether "h2c" appears in any case. Requests are full of 'h' and 'H' but seldom hold a '2', so the
// search runs on memchr for the digit.
bool MentionsH2c(std::string_view text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    for (const char* at = begin + 1; at + 1 < end; ++at) {
        at = static_cast<const char*>(std::memchr(at, '2', static_cast<size_t>(end - 1 - at)));
        if (!at) return false;
        if ((at[-1] | 0x20) == 'h' && (at[1] | 0x20) == 'c') return true;
    }
    return false;
}

bool IsMethodCharacter(char c) { return (c >= 'A' && c <= 'Z') || c == '-'; }

// HTTP2-Settings holds a SETTINGS payload in the URL-safe base64 alphabet without padding; a character
// outside it ends the decoding there.
std::vector<uint8_t> DecodeBase64Url(std::string_view text) {
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int value = c >= 'A' && c <= 'Z'   ? c - 'A'
                    : c >= 'a' && c <= 'z' ? c - 'a' + 26
                    : c >= '0' && c <= '9' ? c - '0' + 52
                    : c == '-'             ? 62
                    : c == '_'             ? 63
                                           : -1;
        if (value < 0) break;
        bits = (bits << 6 | static_cast<uint32_t>(value)) & 0xffffff;
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return bytes;
}

}  // namespace

Http2UpgradeReader::Http2UpgradeReader(const FlowKey& key, Readers readers) : key_(key), readers_(readers) {}

bool Http2UpgradeReader::AsksForH2c(std::span<const uint8_t> payload) {
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    // Every packet of a capture comes here: bodies and answers are passed by their first bytes, which
    // are no method, and most requests by the search for the token.
    const size_t methodEnd = text.substr(0, 21).find(' ');
    if (methodEnd == 0 || methodEnd == std::string_view::npos ||
        !std::all_of(text.begin(), text.begin() + static_cast<ptrdiff_t>(methodEnd), IsMethodCharacter))
        return false;
    if (!MentionsH2c(text)) return false;
    const std::string_view head = text.substr(0, text.find(kHeadEnd));
    const size_t lineEnd = head.find("\r\n");
    if (lineEnd == std::string_view::npos || methodEnd > lineEnd || !head.substr(0, lineEnd).ends_with(" HTTP/1.1"))
        return false;
    bool upgrade = false;
    ForEachField(head, [&upgrade](std::string_view, std::string_view name, std::string_view value) {
        upgrade = upgrade || (EqualsIgnoringCase(name, "Upgrade") && ListHasToken(value, "h2c"));
    });
    return upgrade;
}

void Http2UpgradeReader::OnData(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) {
    if (done_) return;
    if (next_) return Forward(direction, bytes, timeSeconds);
    std::string& held = held_[IndexOf(direction)];
    held.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (held.size() > kMaxHeldBytes) return GiveUp();
    Decide(timeSeconds);
}

void Http2UpgradeReader::OnEnd(StreamEnd how) {
    if (next_) next_->OnEnd(how);
}

void Http2UpgradeReader::Decide(int64_t timeSeconds) {
    const size_t requestEnd = held_[0].find(kHeadEnd);
    const size_t responseEnd = held_[1].find(kHeadEnd);
    if (requestEnd == std::string::npos || responseEnd == std::string::npos) return;
    const std::string_view response(held_[1]);
    if (response.starts_with("HTTP/1.1 101 ") || response.starts_with("HTTP/1.1 101\r\n")) {
        SwitchToHttp2(requestEnd + kHeadEnd.size(), responseEnd + kHeadEnd.size(), timeSeconds);
        return;
    }
    // The server stays with HTTP/1.1: the connection is read as such from its first byte.
    next_ = std::make_unique<Http1StreamReader>(Http1StreamReader::Context{key_, "", "http"}, readers_.reporter,
                                                readers_.http1);
    std::string client = std::move(held_[0]);
    std::string server = std::move(held_[1]);
    Forward(StreamDirection::ClientToServer, {reinterpret_cast<const uint8_t*>(client.data()), client.size()}, timeSeconds);
    Forward(StreamDirection::ServerToClient, {reinterpret_cast<const uint8_t*>(server.data()), server.size()}, timeSeconds);
}

void Http2UpgradeReader::SwitchToHttp2(size_t requestHeadSize, size_t responseHeadSize, int64_t timeSeconds) {
    const std::string_view head = std::string_view(held_[0]).substr(0, requestHeadSize);
    Http2StreamReader::Request request;
    request.get = head.starts_with("GET ");
    request.scheme = "http";
    request.url = Http1StreamReader::RequestUrl(head, Http1StreamReader::Context{key_, "", "http"});
    // The start line and every field but those that asked for the switch.
    request.text.assign(head.substr(0, head.find("\r\n") + 2));
    bool framed = true;
    std::vector<uint8_t> clientSettings;
    ForEachField(head, [&](std::string_view line, std::string_view name, std::string_view value) {
        if (EqualsIgnoringCase(name, "HTTP2-Settings")) clientSettings = DecodeBase64Url(value);
        if (EqualsIgnoringCase(name, "Upgrade") || EqualsIgnoringCase(name, "HTTP2-Settings") ||
            EqualsIgnoringCase(name, "Connection"))
            return;
        if (EqualsIgnoringCase(name, "Transfer-Encoding")) framed = false;
        if (EqualsIgnoringCase(name, "Content-Length")) {
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), clientBodyLeft_);
            framed = framed && error == std::errc() && end == value.data() + value.size();
        }
        request.text.append(line).append("\r\n");
    });
    request.text.append("\r\n");
    // A body in chunks before the preface is not worth reading for; such a request is given up.
    if (!framed) return GiveUp();

    ++readers_.http2.upgrades;
    auto reader = std::make_unique<Http2StreamReader>(Http2StreamReader::Context{key_, "", "http"}, readers_.reporter,
                                                      readers_.http2, readers_.budget);
    reader->AdoptUpgradeRequest(std::move(request), clientSettings);
    next_ = std::move(reader);
    const std::string client = held_[0].substr(requestHeadSize);
    const std::string server = held_[1].substr(responseHeadSize);
    held_[0].clear();
    held_[1].clear();
    Forward(StreamDirection::ClientToServer, {reinterpret_cast<const uint8_t*>(client.data()), client.size()}, timeSeconds);
    Forward(StreamDirection::ServerToClient, {reinterpret_cast<const uint8_t*>(server.data()), server.size()}, timeSeconds);
}

void Http2UpgradeReader::Forward(StreamDirection direction, std::span<const uint8_t> bytes, int64_t timeSeconds) {
    if (direction == StreamDirection::ClientToServer && clientBodyLeft_ > 0) {
        const size_t skip = static_cast<size_t>(std::min<uint64_t>(clientBodyLeft_, bytes.size()));
        clientBodyLeft_ -= skip;
        bytes = bytes.subspan(skip);
    }
    if (!bytes.empty() && !done_) next_->OnData(direction, bytes, timeSeconds);
    done_ = next_->Done();
}

void Http2UpgradeReader::GiveUp() {
    ++readers_.http2.malformed;
    done_ = true;
    held_[0].clear();
    held_[1].clear();
}

}  // namespace tarnwick
