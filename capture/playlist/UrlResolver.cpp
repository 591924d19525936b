// SPDX-License-Identifier: GPL-3.0-or-later
// Resolves an address a playlist names against the playlist's own address, as a browser would.
#include "capture/playlist/UrlResolver.h"

#include <curl/curl.h>

#include <memory>

namespace tarnwick {
namespace {

constexpr std::string_view kScheme = "http://";

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct TextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

// The parser's plain-HTTP result, without its scheme; empty when it fails or names another scheme.
std::string Written(CURLU* url) {
    curl_url_set(url, CURLUPART_FRAGMENT, nullptr, 0);
    char* text = nullptr;
    // Port 80 is left out, as players leave it out of the Host header the detector builds URLs from.
    if (curl_url_get(url, CURLUPART_URL, &text, CURLU_NO_DEFAULT_PORT) != CURLUE_OK || !text) return {};
    const std::unique_ptr<char, TextDeleter> owned(text);
    const std::string_view resolved(text);
    if (resolved.substr(0, kScheme.size()) != kScheme) return {};
    return std::string(resolved.substr(kScheme.size()));
}

// What the parser takes as a scheme: letters, digits, "+", "-" and "." before a colon.
bool HasScheme(std::string_view reference) {
    for (size_t i = 0; i < reference.size() && i <= 40; ++i) {
        const char c = reference[i];
        if (c == ':') return i > 0;
        const bool schemeCharacter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                     c == '+' || c == '-' || c == '.';
        if (!schemeCharacter) return false;
    }
    return false;
}

// Bytes that no address may hold: the parser refuses them.
bool ControlCharacter(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// As the parser writes a reference's path or query: blanks and bytes beyond ASCII escaped, a blank
// in the query as "+".
void AppendEscaped(std::string& out, std::string_view text, bool query) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == ' ' && query) {
            out += '+';
        } else if (byte == ' ' || byte >= 0x80) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
}

// RFC 3986 5.2.4, on a path that begins with "/".
std::string WithoutDotSegments(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    size_t at = 0;
    while (at < path.size()) {
        // path[at] is "/": the segment runs to the next one.
        size_t end = path.find('/', at + 1);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view segment = path.substr(at + 1, end - at - 1);
        const bool last = end == path.size();
        if (segment == "." || segment == "..") {
            if (segment == "..") {
                const size_t slash = out.rfind('/');
                out.resize(slash == std::string::npos ? 0 : slash);
            }
            // A dot segment at the end leaves the directory it names, with its slash.
            if (last) out += '/';
        } else {
            out += '/';
            out.append(segment);
        }
        at = end;
    }
    if (out.empty()) out = "/";
    return out;
}

}  // namespace

std::string UrlResolver::ResolveByParser(std::string_view base, std::string_view reference) {
    if (base.empty() || reference.empty() || base.size() > kMaxLength || reference.size() > kMaxLength) return {};
    // The URL parser takes zero-terminated texts; one inside the reference would cut it short.
    if (base.find('\0') != std::string_view::npos || reference.find('\0') != std::string_view::npos) return {};
    std::unique_ptr<CURLU, UrlHandleDeleter> url(curl_url());
    if (!url) return {};
    const std::string baseText = std::string(kScheme) + std::string(base);
    if (curl_url_set(url.get(), CURLUPART_URL, baseText.c_str(), 0) != CURLUE_OK) return {};
    // Set on a handle that holds a URL already, a relative reference is resolved against it.
    const std::string referenceText(reference);
    if (curl_url_set(url.get(), CURLUPART_URL, referenceText.c_str(), 0) != CURLUE_OK) return {};
    return Written(url.get());
}

std::string UrlResolver::Resolve(std::string_view base, std::string_view reference) {
    return UrlResolver(base).ResolveReference(reference);
}

UrlResolver::UrlResolver(std::string_view base) : base_(base) {}

UrlResolver UrlResolver::ForResolved(std::string_view resolved) {
    UrlResolver resolver(resolved);
    // origin "/" path ["?" query], as the parser and ResolveReference write an address.
    const size_t slash = resolved.find('/');
    if (resolved.empty() || resolved.size() > kMaxLength || slash == 0 || slash == std::string_view::npos ||
        resolved.substr(0, slash).find_first_of("?#") != std::string_view::npos)
        return resolver;  // not one: the parser is asked as for any base
    const std::string_view path = resolved.substr(slash, resolved.find('?', slash) - slash);
    resolver.partsTried_ = true;
    resolver.baseParses_ = true;
    resolver.parts_ = Parts{std::string(resolved.substr(0, slash)), std::string(path.substr(0, path.rfind('/') + 1)),
                            std::string(path)};
    return resolver;
}

const UrlResolver::Parts* UrlResolver::BaseParts() {
    if (partsTried_) return parts_ ? &*parts_ : nullptr;
    partsTried_ = true;
    // Three references whose results show the parts as the parser writes them (its own reading of the
    // base's dot segments and escapes included).
    const std::string rooted = ResolveByParser(base_, "/x");   // origin + "/x"
    const std::string relative = ResolveByParser(base_, "x");  // origin + directory + "x"
    const std::string query = ResolveByParser(base_, "?x");    // origin + path + "?x"
    baseParses_ = !rooted.empty();
    if (rooted.size() < 2 || rooted.substr(rooted.size() - 2) != "/x") return nullptr;
    Parts parts;
    parts.origin = rooted.substr(0, rooted.size() - 2);
    const size_t origin = parts.origin.size();
    if (relative.size() < origin + 2 || relative.compare(0, origin, parts.origin) != 0 || relative.back() != 'x' ||
        relative[origin] != '/' || query.size() < origin + 3 || query.compare(0, origin, parts.origin) != 0 ||
        query.substr(query.size() - 2) != "?x" || query[origin] != '/')
        return nullptr;
    parts.directory = relative.substr(origin, relative.size() - origin - 1);
    parts.path = query.substr(origin, query.size() - origin - 2);
    parts_ = std::move(parts);
    return &*parts_;
}

std::string UrlResolver::ResolveReference(std::string_view reference) {
    if (reference.empty() || reference.size() > kMaxLength || base_.empty() || base_.size() > kMaxLength) return {};
    for (const char c : reference)
        if (ControlCharacter(static_cast<unsigned char>(c))) return {};
    const Parts* parts = BaseParts();
    if (!baseParses_) return {};
    // Absolute and host-relative references are read alone: the base plays no part in them (but its
    // scheme, which is always "http").
    const bool hostRelative = reference.substr(0, 2) == "//";
    if (HasScheme(reference) || hostRelative) {
        std::unique_ptr<CURLU, UrlHandleDeleter> url(curl_url());
        const std::string text = hostRelative ? "http:" + std::string(reference) : std::string(reference);
        if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) return {};
        return Written(url.get());
    }
    // The fragment is dropped; what precedes it is read by its form.
    const std::string_view rest = reference.substr(0, reference.find('#'));
    if (!parts || rest.empty()) {
        // Only a fragment (the base itself), or a base whose parts the parser did not show as expected.
        ++parsedWithBase_;
        return ResolveByParser(base_, reference);
    }
    const size_t queryAt = rest.find('?');
    const std::string_view path = rest.substr(0, queryAt);
    const std::string_view query = queryAt == std::string_view::npos ? std::string_view() : rest.substr(queryAt);
    std::string merged;
    if (path.empty())
        merged = parts->path;  // "?q": the base's own path with another query
    else if (path.front() == '/')
        AppendEscaped(merged, path, false);
    else
        AppendEscaped(merged.append(parts->directory), path, false);
    std::string resolved = parts->origin;
    resolved.append(WithoutDotSegments(merged));
    AppendEscaped(resolved, query, true);
    return resolved;
}

}  // namespace tarnwick
