// SPDX-License-Identifier: GPL-3.0-or-later
// The last step of every detection: the URL's bound, the source's name, the sink.
#include "capture/session/VideoReporter.h"

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

VideoReporter::VideoReporter(Deliver deliver, std::string sourceName)
    : deliver_(std::move(deliver)), sourceName_(std::move(sourceName)) {}

std::string VideoReporter::JoinUrl(std::string_view host, std::string_view path, size_t room) {
    if (path.empty()) return {};
    path = TrimBlanks(path);
    host = TrimBlanks(host);
    std::string url;
    url.reserve(host.size() + path.size() + room);
    url.append(host).append(path);
    return url;
}

bool VideoReporter::Report(DetectedVideo video) {
    if (video.url.empty() || video.url.size() > kMaxUrlLength || !deliver_) return false;
    video.adapter = sourceName_;
    return deliver_(std::move(video));
}

}  // namespace tarnwick
