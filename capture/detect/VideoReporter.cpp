// The last step of every detection: the URL, the ignore list, the callback.
#include "capture/detect/VideoReporter.h"

#include <utility>

namespace tarnwick {

namespace {

std::string_view TrimBlanks(std::string_view text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return text;  // only blanks: left as it is
    const size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

}  // namespace

VideoReporter::VideoReporter(IgnoreList& ignored, Deliver deliver, std::string sourceName)
    : ignored_(ignored), deliver_(std::move(deliver)), sourceName_(std::move(sourceName)) {}

std::string VideoReporter::JoinUrl(std::string_view host, std::string_view path) {
    if (path.empty()) return {};
    path = TrimBlanks(path);
    host = TrimBlanks(host);
    std::string url;
    url.reserve(host.size() + path.size());
    url.append(host).append(path);
    return url;
}

bool VideoReporter::Report(std::string url, const std::string& requestText, const std::string& sizeText,
                           const std::string& typeText, int64_t seenAtSeconds, std::string_view scheme) {
    DetectedVideo video{std::move(url), requestText, sizeText, typeText, {}, seenAtSeconds};
    video.scheme = std::string(scheme);
    return Report(std::move(video));
}

bool VideoReporter::Report(DetectedVideo video) {
    if (video.url.empty() || video.url.size() > kMaxUrlLength) return false;
    if (video.scheme == "http" ? ignored_.ConsumeIfPresent(video.url)
                               : ignored_.ConsumeIfPresent(video.scheme + "://" + video.url))
        return false;
    if (!deliver_) return false;
    video.adapter = sourceName_;
    deliver_(std::move(video));
    return true;
}

}  // namespace tarnwick
