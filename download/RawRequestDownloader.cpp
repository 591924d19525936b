// SPDX-License-Identifier: GPL-3.0-or-later
// Replays a captured HTTP request over a plain TCP connection and saves the response body to a file.
#include "download/RawRequestDownloader.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "download/HttpDownloader.h"
#include "download/HttpResponseReader.h"
#include "download/OwnSocket.h"
#include "download/ProgressTracker.h"
#include "resources/StringTable.h"

namespace tarnwick {
namespace {

// Waits in short slices so that a cancel is seen promptly while the server is silent.
constexpr int kPollSliceMs = 100;
// Large reads, and every byte that is there read before waiting again: one wake-up per few bytes costs more
// than the bytes.
constexpr size_t kReceiveSize = 256 * 1024;

// The request's header carries a Range field: a partial answer (206) is then what was asked for.
bool AsksForRange(std::string_view request) {
    constexpr std::string_view kName = "range:";
    for (size_t start = 0; start < request.size();) {
        size_t end = request.find('\n', start);
        std::string_view line = request.substr(start, end == std::string_view::npos ? end : end - start);
        if (line.empty() || line == "\r") return false;  // the end of the header
        if (line.size() >= kName.size() && std::equal(kName.begin(), kName.end(), line.begin(), [](char name, char c) {
                return name == std::tolower(static_cast<unsigned char>(c));
            }))
            return true;
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return false;
}

uint32_t Now() {
    return ProgressTracker::TickCount();
}

}  // namespace

RawRequestDownloader::~RawRequestDownloader() = default;

std::string RawRequestDownloader::HostOf(const std::string& url) {
    std::string host = url;
    for (size_t pos; (pos = host.find("http://")) != std::string::npos;) host.erase(pos, 7);
    size_t slash = host.find('/');
    if (slash != std::string::npos && slash > 0) host.resize(slash);
    return host;
}

void RawRequestDownloader::Abort() {
    abortFlag.store(1);
}

std::string RawRequestDownloader::ErrorText() const {
    std::lock_guard lock(errorLock_);
    return errorText_;
}

int RawRequestDownloader::Fail(std::string text) {
    std::lock_guard lock(errorLock_);
    errorText_ = std::move(text);
    return 0;
}

bool RawRequestDownloader::Connect(const std::string& host, OwnSocket& connection) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0) {
        Fail("Could not find the server " + host + ": " + gai_strerror(status));
        return false;
    }
    int lastError = ECONNREFUSED;
    bool connected = false;
    for (addrinfo* a = found; a && !connected && !abortFlag.load(); a = a->ai_next) {
        // Registered as our own before it connects, so the capture does not list the replay again.
        OwnSocket attempt;
        if (!attempt.OpenClient(a->ai_family, SOCK_NONBLOCK)) {
            lastError = errno;
            continue;
        }
        const int s = attempt.Descriptor();
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            connection = std::move(attempt);
            connected = true;
            break;
        }
        if (errno != EINPROGRESS) {
            lastError = errno;
            continue;
        }
        pollfd p{s, POLLOUT, 0};
        const uint32_t start = Now();
        while (!abortFlag.load()) {
            int ready = ::poll(&p, 1, kPollSliceMs);
            if (ready < 0 && errno != EINTR) break;
            if (ready > 0) break;
            if (stallLimitMs > 0 && Now() - start >= stallLimitMs) {
                p.revents = 0;
                lastError = ETIMEDOUT;
                break;
            }
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (!abortFlag.load() && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 &&
            (p.revents & POLLOUT)) {
            connection = std::move(attempt);
            connected = true;
        } else if (error) {
            lastError = error;
        }
    }
    ::freeaddrinfo(found);
    if (!connected && !abortFlag.load())
        Fail("Could not connect to " + host + " port " + service + ": " + std::strerror(lastError));
    return connected;
}

bool RawRequestDownloader::SendAll(int socket) {
    size_t sent = 0;
    uint32_t lastProgress = Now();
    while (sent < requestText.size()) {
        if (abortFlag.load()) {
            Fail("The download was cancelled");
            return false;
        }
        ssize_t n = ::send(socket, requestText.data() + sent, requestText.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            lastProgress = Now();
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(std::string("Could not send the request: ") + std::strerror(errno));
            return false;
        }
        if (stallLimitMs > 0 && Now() - lastProgress >= stallLimitMs) {
            Fail("The server took no part of the request for " + StallDuration(stallLimitMs));
            return false;
        }
        pollfd p{socket, POLLOUT, 0};
        ::poll(&p, 1, kPollSliceMs);
    }
    return true;
}

bool RawRequestDownloader::WriteBody(const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = ::write(outputFile, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            Fail(filePath + ": " + std::strerror(errno));
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

int RawRequestDownloader::Download() {
    {
        std::lock_guard lock(errorLock_);
        errorText_.clear();
    }
    int result = 0;
    {
        std::string host = HostOf(url);
        OwnSocket connection;
        const bool connected = Connect(host, connection);
        if (connected && SendAll(connection.Descriptor())) result = Receive(connection.Descriptor());
        if (!connected && abortFlag.load()) Fail("The download was cancelled");
    }
    outputFile = -1;
    if (result != 1) {
        targetFile_.Discard();
        return 0;
    }
    if (!targetFile_.Commit()) return Fail(targetFile_.Error());
    return 1;
}

int RawRequestDownloader::Receive(int socket) {
    const bool askedRange = AsksForRange(requestText);
    int64_t total = 0;
    HttpResponseReader reader(
        [&](const HttpResponseReader& response) {
            // Saving an error page as the video would pass a failure off as a success.
            if (response.StatusCode() < 200 || response.StatusCode() > 299) {
                Fail("The server refused the download: " + response.StatusLine());
                return false;
            }
            if (response.StatusCode() == 206 && !askedRange) {
                Fail("The server sent only a part of the video (" + response.StatusLine() +
                     "), although the whole was asked for");
                return false;
            }
            if (filePath.empty() || !targetFile_.OpenFresh(filePath)) {
                Fail(filePath.empty() ? "No file to save the video in" : targetFile_.Error());
                return false;
            }
            outputFile = targetFile_.Descriptor();
            return true;
        },
        [&](const char* data, size_t size) {
            total += static_cast<int64_t>(size);
            return WriteBody(data, size);
        });

    std::vector<char> buffer(kReceiveSize);
    HttpResponseReader::State state = reader.CurrentState();
    uint32_t lastByte = Now();
    bool ended = false;
    while (!ended) {
        if (abortFlag.load()) return Fail("The download was cancelled");
        pollfd p{socket, POLLIN, 0};
        int ready = ::poll(&p, 1, kPollSliceMs);
        if (ready < 0 && errno != EINTR) return Fail(std::string("The connection failed: ") + std::strerror(errno));
        if (ready <= 0) {
            if (stallLimitMs > 0 && Now() - lastByte >= stallLimitMs) return Fail(StallText(stallLimitMs));
            continue;
        }
        // Everything that has arrived, until the socket would wait.
        for (;;) {
            ssize_t n = ::recv(socket, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n < 0) return Fail(std::string("The connection failed: ") + std::strerror(errno));
            if (abortFlag.load()) return Fail("The download was cancelled");
            if (n == 0) {
                state = reader.Finish();
                ended = true;
                break;
            }
            lastByte = Now();
            state = reader.Feed(buffer.data(), static_cast<size_t>(n));
            if (state != HttpResponseReader::State::Header && state != HttpResponseReader::State::Failed)
                OnProgress(total, expectedSize > 0 ? 1 : 0, expectedSize);
            // A kept-alive connection does not close after the body: the body's framing says where it ends.
            if (state == HttpResponseReader::State::Complete || state == HttpResponseReader::State::Failed) {
                ended = true;
                break;
            }
            if (static_cast<size_t>(n) < buffer.size()) break;  // drained: the next read would wait
        }
    }
    if (state == HttpResponseReader::State::Complete) {
        if (total > 0) return 1;
        // An empty file saved under the video's name would pass a failure off as a download.
        return Fail("The server sent no data (" + reader.StatusLine() +
                    " with an empty body): there is nothing to save");
    }
    // An empty reason means a step above has said what went wrong.
    if (!reader.Error().empty()) Fail(reader.Error());
    return 0;
}

bool RawRequestDownloader::OnData(const void* block, uint32_t length) {
    if (filePath.empty()) return true;
    return WriteBody(static_cast<const char*>(block), length);
}

void RawRequestDownloader::OnProgress(int64_t, int32_t, int64_t) {}

void RawRequestDownloader::SetStatusText(const std::string&) {}

void RawRequestDownloader::SetStatusTextWith(int messageId, const std::string& text) {
    SetStatusText(FormatString(messageId, text));
}

void RawRequestDownloader::SetStatusTextById(int messageId) {
    if (auto text = LoadString(messageId)) SetStatusText(*text);
}

}  // namespace tarnwick
