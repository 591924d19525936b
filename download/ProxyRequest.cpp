// SPDX-License-Identifier: GPL-3.0-or-later
// One request head that ffmpeg sends to the loopback relay, read and rewritten for the server.
#include "download/ProxyRequest.h"

#include <array>
#include <cctype>

#include "capture/message/HttpFields.h"

namespace tarnwick {
namespace {

// Fields that describe one connection, not the request: the relay makes connections of its own.
bool HopByHop(std::string_view name) {
    static constexpr std::array<std::string_view, 9> kNames = {
        "connection", "proxy-connection",  "keep-alive", "proxy-authorization", "proxy-authenticate", "te",
        "trailer",    "transfer-encoding", "upgrade"};
    for (std::string_view known : kNames)
        if (HttpFields::NameIs(name, known)) return true;
    return false;
}

bool TokenText(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F || c == ':' || c == '(' || c == ')' || c == ',' || c == '/' || c == ';' ||
            c == '<' || c == '>' || c == '=' || c == '?' || c == '@' || c == '[' || c == ']' || c == '\\' || c == '"' ||
            c == '{' || c == '}')
            return false;
    }
    return true;
}

bool PlainText(std::string_view text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return false;
    }
    return true;
}

// A request target's visible characters only: no blanks, no controls.
bool TargetText(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

bool ParsePort(std::string_view text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// "name:port", "[v6]:port"; the port may be left out only when a default is given.
bool ParseAuthority(std::string_view authority, uint16_t defaultPort, std::string& host, uint16_t& port) {
    if (authority.empty() || authority.find('@') != std::string_view::npos) return false;
    std::string_view name, portText;
    if (authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        name = authority.substr(1, close - 1);
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return false;
            portText = rest.substr(1);
            if (portText.empty()) return false;
        }
        for (char c : name)
            if (!(std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.')) return false;
    } else {
        const size_t colon = authority.find(':');
        name = authority.substr(0, colon);
        if (colon != std::string_view::npos) {
            portText = authority.substr(colon + 1);
            if (portText.empty()) return false;
        }
        if (name.empty()) return false;
        for (char c : name)
            if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_')) return false;
    }
    if (portText.empty()) {
        if (defaultPort == 0) return false;
        port = defaultPort;
    } else if (!ParsePort(portText, port)) {
        return false;
    }
    host.assign(name);
    return true;
}

}  // namespace

ProxyRequest ProxyRequest::Parse(std::string_view head) {
    ProxyRequest request;
    auto invalid = [&request](std::string problem) {
        request.form_ = Form::Invalid;
        request.problem_ = std::move(problem);
        return request;
    };
    if (head.size() > kMaxHeadBytes) return invalid("request head too long");
    const size_t lineEnd = head.find("\r\n");
    if (lineEnd == std::string_view::npos) return invalid("no request line");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const size_t firstSpace = requestLine.find(' ');
    const size_t lastSpace = requestLine.rfind(' ');
    if (firstSpace == std::string_view::npos || lastSpace == firstSpace) return invalid("malformed request line");
    const std::string_view method = requestLine.substr(0, firstSpace);
    const std::string_view target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    const std::string_view version = requestLine.substr(lastSpace + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return invalid("unsupported HTTP version");
    if (!TargetText(target)) return invalid("malformed request target");
    request.method_.assign(method);
    request.version_.assign(version);

    // Field lines up to the blank line.
    std::string_view rest = head.substr(lineEnd + 2);
    for (;;) {
        const size_t end = rest.find("\r\n");
        if (end == std::string_view::npos) return invalid("request head without its blank line");
        const std::string_view line = rest.substr(0, end);
        rest = rest.substr(end + 2);
        if (line.empty()) break;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !TokenText(line.substr(0, colon))) return invalid("malformed field");
        const std::string_view value = TrimBlanks(line.substr(colon + 1));
        if (!PlainText(value)) return invalid("malformed field");
        if (request.fields_.size() == kMaxFields) return invalid("too many fields");
        request.fields_.push_back({std::string(line.substr(0, colon)), std::string(value)});
    }

    if (method == "CONNECT") {
        if (!ParseAuthority(target, 0, request.host_, request.port_)) return invalid("malformed CONNECT target");
        request.form_ = Form::Connect;
        return request;
    }
    if (method != "GET") return invalid("only GET is relayed");
    constexpr std::string_view kHttp = "http://";
    if (target.size() > kHttp.size() && HttpFields::NameIs(target.substr(0, kHttp.size()), kHttp)) {
        const std::string_view afterScheme = target.substr(kHttp.size());
        const size_t pathStart = afterScheme.find_first_of("/?#");
        const std::string_view authority = afterScheme.substr(0, pathStart);
        if (!ParseAuthority(authority, 80, request.host_, request.port_)) return invalid("malformed request target");
        std::string_view path =
            pathStart == std::string_view::npos ? std::string_view() : afterScheme.substr(pathStart);
        if (const size_t fragment = path.find('#'); fragment != std::string_view::npos) path = path.substr(0, fragment);
        request.path_ = path.empty() || path.front() != '/' ? "/" + std::string(path) : std::string(path);
        request.form_ = Form::Absolute;
        return request;
    }
    if (target.front() != '/') return invalid("unsupported request target");
    request.path_.assign(target);
    for (const Field& field : request.fields_) {
        if (HttpFields::NameIs(field.name, "host")) {
            if (!ParseAuthority(field.value, 443, request.host_, request.port_)) return invalid("malformed Host field");
            break;
        }
    }
    request.form_ = Form::Origin;
    return request;
}

std::string ProxyRequest::ForServer(const std::vector<CapturedRequestHeaders::Field>& replacements) const {
    std::string head = method_ + " " + path_ + " " + version_ + "\r\n";
    bool hostSent = false;
    for (const Field& field : fields_) {
        if (HopByHop(field.name)) continue;
        bool replaced = false;
        for (const auto& replacement : replacements) {
            std::string lower = replacement.name;
            for (char& c : lower)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (HttpFields::NameIs(field.name, lower)) replaced = true;
        }
        if (replaced) continue;
        if (HttpFields::NameIs(field.name, "host")) {
            if (hostSent) continue;  // one Host field only
            hostSent = true;
        }
        head += field.name + ": " + field.value + "\r\n";
    }
    if (!hostSent) {
        const bool bracketed = host_.find(':') != std::string::npos;
        head += "Host: " + (bracketed ? "[" + host_ + "]" : host_);
        if (port_ != (form_ == Form::Origin ? 443 : 80)) head += ":" + std::to_string(port_);
        head += "\r\n";
    }
    for (const auto& replacement : replacements) head += replacement.name + ": " + replacement.value + "\r\n";
    head += "Connection: close\r\n\r\n";
    return head;
}

}  // namespace tarnwick
