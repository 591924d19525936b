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
#include <vector>

#include "resources/StringTable.h"

namespace tarnwick {
namespace {

// Waits in short slices so that a cancel is seen promptly while the server is silent.
constexpr int kPollSliceMs = 100;
constexpr size_t kReceiveSize = 65535;
constexpr size_t kStatusLineLimit = 1024;

class SocketCloser {
public:
    explicit SocketCloser(int socket) : socket_(socket) {}
    ~SocketCloser() {
        if (socket_ >= 0) ::close(socket_);
    }
    SocketCloser(const SocketCloser&) = delete;
    SocketCloser& operator=(const SocketCloser&) = delete;

private:
    int socket_;
};

// Reads Content-Length from one header block; false when the block has none.
bool FindContentLength(std::string_view header, int64_t& length) {
    size_t pos = 0;
    while ((pos = header.find("\r\n", pos)) != std::string_view::npos) {
        pos += 2;
        std::string_view line = header.substr(pos, header.find("\r\n", pos) - pos);
        constexpr std::string_view kName = "content-length:";
        if (line.size() < kName.size()) continue;
        bool same = true;
        for (size_t i = 0; i < kName.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(line[i])) == kName[i];
        if (!same) continue;
        size_t i = kName.size();
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= line.size() || line[i] < '0' || line[i] > '9') return false;
        int64_t value = 0;
        for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
            if (value > (INT64_MAX - 9) / 10) return false;
            value = value * 10 + (line[i] - '0');
        }
        length = value;
        return true;
    }
    return false;
}

}  // namespace

RawRequestDownloader::~RawRequestDownloader() {
    if (outputFile >= 0) ::close(outputFile);
}

std::string RawRequestDownloader::HostOf(const std::string& url) {
    std::string host = url;
    for (size_t pos; (pos = host.find("http://")) != std::string::npos;) host.erase(pos, 7);
    size_t slash = host.find('/');
    if (slash != std::string::npos && slash > 0) host.resize(slash);
    return host;
}

void RawRequestDownloader::Abort() { abortFlag.store(1); }

std::string RawRequestDownloader::ErrorText() const {
    std::lock_guard lock(errorLock_);
    return errorText_;
}

int RawRequestDownloader::Fail(std::string text) {
    std::lock_guard lock(errorLock_);
    errorText_ = std::move(text);
    return 0;
}

int RawRequestDownloader::Connect(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port);
    int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (status != 0) {
        Fail("Could not find the server " + host + ": " + gai_strerror(status));
        return -1;
    }
    int lastError = ECONNREFUSED;
    int connected = -1;
    for (addrinfo* a = found; a && connected < 0 && !abortFlag.load(); a = a->ai_next) {
        int s = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            lastError = errno;
            continue;
        }
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            connected = s;
            break;
        }
        if (errno != EINPROGRESS) {
            lastError = errno;
            ::close(s);
            continue;
        }
        pollfd p{s, POLLOUT, 0};
        while (!abortFlag.load()) {
            int ready = ::poll(&p, 1, kPollSliceMs);
            if (ready < 0 && errno != EINTR) break;
            if (ready > 0) break;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (!abortFlag.load() && ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0 &&
            (p.revents & POLLOUT)) {
            connected = s;
        } else {
            if (error) lastError = error;
            ::close(s);
        }
    }
    ::freeaddrinfo(found);
    if (connected < 0 && !abortFlag.load())
        Fail("Could not connect to " + host + " port " + service + ": " + std::strerror(lastError));
    return connected;
}

bool RawRequestDownloader::SendAll(int socket) {
    size_t sent = 0;
    while (sent < requestText.size()) {
        if (abortFlag.load()) return false;
        ssize_t n = ::send(socket, requestText.data() + sent, requestText.size() - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Fail(std::string("Could not send the request: ") + std::strerror(errno));
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
    struct stat info {};
    bool existed = !filePath.empty() && ::stat(filePath.c_str(), &info) == 0;
    int result = 0;
    {
        std::string host = HostOf(url);
        int socket = Connect(host);
        SocketCloser closer(socket);
        if (socket >= 0 && SendAll(socket)) {
            std::vector<char> buffer(kReceiveSize + 1);
            bool headerFound = false;
            bool complete = false;
            bool failed = false;
            std::string statusLine;
            int64_t total = 0;
            int64_t announced = -1;
            while (!abortFlag.load() && !failed && !complete) {
                pollfd p{socket, POLLIN, 0};
                int ready = ::poll(&p, 1, kPollSliceMs);
                if (ready < 0 && errno != EINTR) break;
                if (ready <= 0) continue;
                ssize_t n = ::recv(socket, buffer.data(), kReceiveSize, 0);
                if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
                if (n <= 0) break;
                if (abortFlag.load()) break;
                size_t size = static_cast<size_t>(n);
                if (!headerFound && statusLine.find("\r\n") == std::string::npos &&
                    statusLine.size() < kStatusLineLimit)
                    statusLine.append(buffer.data(), std::min(size, kStatusLineLimit - statusLine.size()));
                if (headerFound) {
                    failed = !WriteBody(buffer.data(), size);
                    total += n;
                } else {
                    // Each chunk is searched on its own; a blank line split between chunks is not seen.
                    std::string_view chunk(buffer.data(), size);
                    size_t end = chunk.find("\r\n\r\n");
                    if (end == std::string_view::npos) continue;
                    headerFound = true;
                    // Saving an error page as the video would pass a failure off as a success.
                    if (statusLine.compare(0, 5, "HTTP/") != 0) {
                        failed = true;
                        Fail("The server's answer does not start with an HTTP status line");
                        break;
                    }
                    size_t space = statusLine.find(' ');
                    if (space == std::string::npos || space + 1 >= statusLine.size() || statusLine[space + 1] != '2') {
                        std::string line = statusLine.substr(0, statusLine.find("\r\n"));
                        failed = true;
                        Fail("The server refused the download: " + line);
                        break;
                    }
                    FindContentLength(chunk.substr(0, end + 2), announced);
                    outputFile = ::open(filePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
                    if (outputFile < 0) {
                        failed = true;
                        Fail(filePath + ": " + std::strerror(errno));
                        break;
                    }
                    size_t rest = size - end - 4;
                    if (rest > 0) failed = !WriteBody(buffer.data() + end + 4, rest);
                    total += static_cast<int64_t>(rest);
                }
                OnProgress(total, expectedSize > 0 ? 1 : 0, expectedSize);
                // A kept-alive connection does not close after the body; the announced length ends it.
                if (announced >= 0 && total >= announced) complete = true;
            }
            if (abortFlag.load()) {
                Fail("The download was cancelled");
            } else if (!failed) {
                if (!headerFound) Fail("The server sent no complete HTTP response header");
                else if (announced >= 0 && total < announced)
                    Fail("The connection closed after " + std::to_string(total) + " of " +
                         std::to_string(announced) + " bytes");
                else result = 1;
            }
        }
        if (socket < 0 && abortFlag.load()) Fail("The download was cancelled");
    }
    if (outputFile >= 0) {
        if (::close(outputFile) != 0 && result == 1) result = Fail(filePath + ": " + std::strerror(errno));
        outputFile = -1;
    }
    if (result == 0 && !existed && !filePath.empty()) ::unlink(filePath.c_str());
    return result;
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
