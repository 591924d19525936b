// SPDX-License-Identifier: GPL-3.0-or-later
// One entry's details: a bounded fetch of its first bytes (and of its index where an MP4 keeps it at the
// end), written to a private file that the decoders read.
#include "download/MediaDetailsReader.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "capture/playlist/DashManifest.h"
#include "capture/playlist/HlsPlaylist.h"
#include "download/BoundedRangeFetch.h"
#include "download/LimitedChildProcess.h"
#include "download/Mp4IndexLocator.h"

namespace tarnwick {

// What was fetched: the file's first bytes, perhaps bytes near its end, and the file's size.
struct MediaDetailsReader::Bytes {
    std::string head;
    std::string tail;
    int64_t tailOffset = 0;
};

namespace {

// A sparse file this large is refused: no video is, and the file system might not take it.
constexpr int64_t kMostFileSize = int64_t{1} << 40;
// Master playlists lead to media playlists; this many steps at most.
constexpr int kMaxPlaylistSteps = 3;

MediaDetails Failed(std::string problem) {
    MediaDetails details;
    details.problem = std::move(problem);
    return details;
}

void Configure(BoundedRangeFetch& fetch, const std::string& url, const MediaDetailsReader::Request& request,
               const MediaDetailsReader::Settings& settings) {
    fetch.url = url;
    fetch.capturedRequest = request.requestText;
    fetch.caBundle = settings.caBundle;
    fetch.stallLimitMs = settings.stallLimitMs;
    fetch.userAgent = kDownloadUserAgent;
    fetch.promptClientCertificate = 0;
    fetch.promptServerCredentials = 0;
    fetch.promptProxyCredentials = 0;
}

// reference as the playlist at base names it, as an http or https address; empty when it is none.
std::string Resolve(const std::string& base, const std::string& reference) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> url(curl_url(), &curl_url_cleanup);
    if (!url || reference.find('\0') != std::string::npos) return {};
    if (curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return {};
    if (curl_url_set(url.get(), CURLUPART_URL, reference.c_str(), 0) != CURLUE_OK) return {};
    char* text = nullptr;
    if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || !text) return {};
    std::string resolved(text);
    curl_free(text);
    if (resolved.rfind("http://", 0) != 0 && resolved.rfind("https://", 0) != 0) return {};
    return resolved;
}

bool WriteAll(int file, const std::string& bytes, int64_t offset) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written =
            pwrite(file, bytes.data() + done, bytes.size() - done, offset + static_cast<int64_t>(done));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

MediaDetails MediaDetailsReader::Read(const Request& request, const Settings& settings, const std::atomic<bool>* stop) {
    if (request.isStream && request.type == "hls") return ReadHls(request, settings, stop);
    if (request.isStream) return ReadDash(request, settings, stop);
    return ReadFile(request, settings, stop);
}

MediaDetails MediaDetailsReader::ReadFile(const Request& request, const Settings& settings,
                                          const std::atomic<bool>* stop) {
    const bool small = request.size > 0 && request.size <= static_cast<int64_t>(kMaxFetchBytes);
    const size_t firstWanted = small ? static_cast<size_t>(request.size) : kFirstBytes;
    BoundedRangeFetch first(stop);
    Configure(first, request.url, request, settings);
    if (!first.Fetch(0, static_cast<int64_t>(firstWanted) - 1, firstWanted))
        return Failed("its first bytes could not be fetched: " + first.Problem());
    Bytes bytes;
    bytes.head = first.Bytes();
    std::optional<int64_t> total = first.TotalSize();
    if (!total && request.size > 0) total = request.size;
    const bool whole = total && static_cast<int64_t>(bytes.head.size()) >= *total;
    if (!whole) {
        const Mp4IndexLocator::Result index = Mp4IndexLocator::Locate(bytes.head, total);
        const int64_t have = static_cast<int64_t>(bytes.head.size());
        const int64_t left = static_cast<int64_t>(kMaxFetchBytes) - have;
        if (index.place == Mp4IndexLocator::Place::InFront && index.indexEnd > have && left > 0) {
            // The index goes on beyond the first bytes: more of the start, as far as the bound allows.
            const int64_t more = std::min(index.indexEnd - have, left);
            BoundedRangeFetch next(stop);
            Configure(next, request.url, request, settings);
            const size_t most = static_cast<size_t>(have + more);
            // A server that ignores ranges sends the file from its start again, so as much as the whole start.
            if (next.Fetch(have, have + more - 1, most)) {
                if (!next.FromStart())
                    bytes.head.append(next.Bytes(), 0, static_cast<size_t>(more));
                else if (next.Bytes().size() > bytes.head.size())
                    bytes.head = next.Bytes();
            }
        } else if (index.place == Mp4IndexLocator::Place::After && left > 0 && *total <= kMostFileSize) {
            // The index lies at the end: the last bytes, as many as the bound leaves.
            const int64_t tailStart = std::max(index.afterOffset, *total - left);
            BoundedRangeFetch tail(stop);
            Configure(tail, request.url, request, settings);
            if (!tail.Fetch(tailStart, *total - 1, static_cast<size_t>(*total - tailStart)))
                return Failed("its index at the end could not be fetched: " + tail.Problem());
            if (tail.FromStart()) return Failed("the server sends no parts of the file, and its index lies at the end");
            bytes.tail = tail.Bytes();
            bytes.tailOffset = tailStart;
        }
    }
    if (stop && stop->load()) return Failed("stopped");
    return Decode(bytes, whole, settings, stop);
}

MediaDetails MediaDetailsReader::ReadHls(const Request& request, const Settings& settings,
                                         const std::atomic<bool>* stop) {
    size_t left = kMaxFetchBytes;
    std::string playlistUrl = request.url;
    std::optional<HlsPlaylist> playlist;
    for (int step = 0; step < kMaxPlaylistSteps; ++step) {
        BoundedRangeFetch fetch(stop);
        Configure(fetch, playlistUrl, request, settings);
        const size_t most = std::min(left, kMaxPlaylistBytes);
        if (!fetch.Fetch(0, static_cast<int64_t>(most) - 1, most))
            return Failed("its playlist could not be fetched: " + fetch.Problem());
        left -= fetch.Bytes().size();
        playlist = HlsPlaylist::Parse(fetch.Bytes());
        if (!playlist) return Failed("its playlist cannot be read");
        if (!playlist->master) break;
        playlistUrl = Resolve(playlistUrl, playlist->firstVariant);
        if (playlistUrl.empty()) return Failed("its playlist names no stream that can be fetched");
        playlist.reset();
    }
    if (!playlist) return Failed("its playlists lead to no segments");
    if (playlist->firstSegment.empty()) return Failed("its playlist names no segment");
    const std::string initialisation =
        playlist->firstInitialisation.empty() ? std::string() : Resolve(playlistUrl, playlist->firstInitialisation);
    // Only a playlist that has ended tells the stream's length.
    return ReadFirstSegment(request, settings, initialisation, Resolve(playlistUrl, playlist->firstSegment), left,
                            playlist->ended ? playlist->durationUs : 0, stop);
}

MediaDetails MediaDetailsReader::ReadDash(const Request& request, const Settings& settings,
                                          const std::atomic<bool>* stop) {
    BoundedRangeFetch fetch(stop);
    Configure(fetch, request.url, request, settings);
    if (!fetch.Fetch(0, static_cast<int64_t>(kMaxPlaylistBytes) - 1, kMaxPlaylistBytes))
        return Failed("its manifest could not be fetched: " + fetch.Problem());
    // The manifest names addresses as host and path; they keep the manifest's scheme.
    const size_t schemeEnd = request.url.find("://");
    if (schemeEnd == std::string::npos) return Failed("its address has no scheme");
    const std::string scheme = request.url.substr(0, schemeEnd + 3);
    const auto manifest = DashManifest::Parse(fetch.Bytes(), std::string_view(request.url).substr(schemeEnd + 3));
    if (!manifest) return Failed("its manifest cannot be read");
    if (manifest->firstSegment.empty()) return Failed("its manifest names no video segment that can be fetched");
    const std::string initialisation =
        manifest->firstInitialisation.empty() ? std::string() : scheme + manifest->firstInitialisation;
    return ReadFirstSegment(request, settings, initialisation, scheme + manifest->firstSegment,
                            kMaxFetchBytes - fetch.Bytes().size(), manifest->durationUs, stop);
}

MediaDetails MediaDetailsReader::ReadFirstSegment(const Request& request, const Settings& settings,
                                                  const std::string& initialisation, const std::string& segment,
                                                  size_t left, int64_t durationUs, const std::atomic<bool>* stop) {
    Bytes bytes;
    for (const std::string* url : {&initialisation, &segment}) {
        if (url == &initialisation && url->empty()) continue;
        if (url->empty() || left == 0) return Failed("its first segment cannot be fetched");
        BoundedRangeFetch fetch(stop);
        Configure(fetch, *url, request, settings);
        if (!fetch.Fetch(0, static_cast<int64_t>(left) - 1, left))
            return Failed("its first segment could not be fetched: " + fetch.Problem());
        left -= fetch.Bytes().size();
        bytes.head += fetch.Bytes();
    }
    if (stop && stop->load()) return Failed("stopped");
    MediaDetails details = Decode(bytes, false, settings, stop);
    // The segment's own length is not the stream's; a live stream has none.
    details.durationUs.reset();
    if (durationUs > 0) details.durationUs = durationUs;
    return details;
}

MediaDetails MediaDetailsReader::Decode(const Bytes& bytes, bool whole, const Settings& settings,
                                        const std::atomic<bool>* stop) {
    std::string base = settings.tempFolder;
    if (base.empty()) {
        const char* temporary = std::getenv("TMPDIR");
        base = temporary && *temporary ? temporary : "/tmp";
    }
    std::string folder = base + "/tarnwick-details-XXXXXX";
    if (!mkdtemp(folder.data())) return Failed("no private folder in " + base + ": " + std::strerror(errno));
    const std::string path = folder + "/media";
    MediaDetails details;
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool written = file >= 0 && WriteAll(file, bytes.head, 0);
    if (written && !bytes.tail.empty()) written = WriteAll(file, bytes.tail, bytes.tailOffset);
    // The decoders run as another user when we are root: the file becomes theirs, still for them alone.
    if (const auto account = LimitedChildProcess::ChildAccount(); written && account)
        written = fchown(file, account->uid, account->gid) == 0;
    int error = errno;
    if (file >= 0) close(file);
    const int input = written ? open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1;
    if (written && input < 0) error = errno;
    if (input >= 0) {
        details = MediaDetailsProbe::Read(settings.tools, input, whole, stop);
        close(input);
    } else {
        details.problem = "the fetched bytes could not be written to " + folder + ": " + std::strerror(error);
    }
    unlink(path.c_str());
    rmdir(folder.c_str());
    return details;
}

}  // namespace tarnwick
