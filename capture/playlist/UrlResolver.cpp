// Resolves an address a playlist names against the playlist's own address, as a browser would.
#include "capture/playlist/UrlResolver.h"

#include <curl/curl.h>

#include <memory>

namespace tarnwick {
namespace {

constexpr std::string_view kScheme = "http://";
// Longer texts are no address worth following (the detector's URLs are at most 4095 bytes).
constexpr size_t kMaxLength = 8192;

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
struct TextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

}  // namespace

std::string UrlResolver::Resolve(std::string_view base, std::string_view reference) {
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
    curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
    char* text = nullptr;
    // Port 80 is left out, as players leave it out of the Host header the detector builds URLs from.
    if (curl_url_get(url.get(), CURLUPART_URL, &text, CURLU_NO_DEFAULT_PORT) != CURLUE_OK || !text) return {};
    const std::unique_ptr<char, TextDeleter> owned(text);
    const std::string_view resolved(text);
    if (resolved.substr(0, kScheme.size()) != kScheme) return {};
    return std::string(resolved.substr(kScheme.size()));
}

}  // namespace tarnwick
