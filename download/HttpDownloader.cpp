// SPDX-License-Identifier: GPL-3.0-or-later
// One-shot download of a URL into a file over HTTP(S) on libcurl, with overridable hooks for a user interface.
#include "download/HttpDownloader.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "capture/judge/ContentRange.h"
#include "download/AuthenticationChallenge.h"
#include "download/CapturedRequestHeaders.h"
#include "download/HttpResponseReader.h"
#include "download/OwnSocket.h"
#include "download/ProgressTracker.h"
#include "resources/StringTable.h"

namespace tarnwick {
namespace {

constexpr const char* kFallbackAgent = "Tarnwick";
// Body bytes are gathered up to this much before they are written; a block at least kDirectWriteBytes long is
// written as it comes, without the copy.
constexpr size_t kWriteBlockBytes = 1024 * 1024;
constexpr size_t kDirectWriteBytes = 128 * 1024;
// Sends of one transfer (credential and certificate retries) are bounded.
constexpr int kMaxSends = 8;
constexpr long kMaxRedirects = 10;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// curl's own text for an unusable certificate store names only a file; say what to do about it.
std::string CertificateStoreProblem(const std::string& configured) {
    std::string path = configured;
    if (path.empty()) {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        if (info && info->cainfo)
            path = info->cainfo;
        else if (info && info->capath)
            path = info->capath;
    }
    if (path.empty()) return "no CA certificates are configured; install ca-certificates";
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) return "no CA certificates found at " + path + "; install ca-certificates";
        return "cannot read the CA certificates at " + path + " (" + std::strerror(errno) +
               "); install ca-certificates";
    }
    if (access(path.c_str(), R_OK) != 0)
        return "cannot read the CA certificates at " + path + " (" + std::strerror(errno) +
               "); check the file's permissions or reinstall ca-certificates";
    return "the CA certificates at " + path + " cannot be used; reinstall ca-certificates";
}

bool StartsWithNoCase(const char* data, size_t size, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (size < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(data[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

std::string Trimmed(const char* data, size_t size) {
    size_t begin = 0;
    while (begin < size && (data[begin] == ' ' || data[begin] == '\t')) ++begin;
    size_t end = size;
    while (end > begin && std::strchr(" \t\r\n", data[end - 1])) --end;
    return std::string(data + begin, end - begin);
}

// The platform's canonical form is close to what curl accepts, except that blanks must be escaped.
std::string Canonical(const std::string& url) {
    std::string out;
    out.reserve(url.size());
    for (char c : url) {
        if (c == ' ')
            out += "%20";
        else
            out += c;
    }
    return out;
}

std::string UrlPart(CURLU* handle, CURLUPart part, unsigned flags = 0) {
    char* text = nullptr;
    if (curl_url_get(handle, part, &text, flags) != CURLUE_OK || !text) return {};
    std::string value(text);
    curl_free(text);
    return value;
}

bool ParseOnce(const std::string& text, uint32_t& serviceType, std::string& serverName, std::string& objectName,
               uint16_t& serverPort) {
    CURLU* handle = curl_url();
    if (!handle) return false;
    bool ok = false;
    if (curl_url_set(handle, CURLUPART_URL, Canonical(text).c_str(), 0) == CURLUE_OK) {
        std::string scheme = UrlPart(handle, CURLUPART_SCHEME);
        std::string host = UrlPart(handle, CURLUPART_HOST);
        std::string port = UrlPart(handle, CURLUPART_PORT, CURLU_DEFAULT_PORT);
        if ((scheme == "http" || scheme == "https") && !host.empty() && !port.empty()) {
            serviceType = scheme == "https" ? kServiceHttps : kServiceHttp;
            serverName = host;
            serverPort = static_cast<uint16_t>(std::stoul(port));
            objectName = UrlPart(handle, CURLUPART_PATH);
            std::string query = UrlPart(handle, CURLUPART_QUERY);
            if (!query.empty()) objectName += "?" + query;
            ok = true;
        }
    }
    curl_url_cleanup(handle);
    return ok;
}

// "ftp://host/...", "file:///...": a scheme other than http or https is written in front.
bool HasOtherScheme(const std::string& url) {
    size_t end = url.find("://");
    if (end == std::string::npos || end == 0) return false;
    if (!std::isalpha(static_cast<unsigned char>(url[0]))) return false;
    for (size_t i = 1; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(url[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    std::string scheme = url.substr(0, end);
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme != "http" && scheme != "https";
}

// Where an SSL context keeps the download it belongs to.
int SslContextIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

std::string AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

}  // namespace

std::string StallDuration(uint32_t milliseconds) {
    if (milliseconds % 1000 == 0)
        return std::to_string(milliseconds / 1000) + (milliseconds == 1000 ? " second" : " seconds");
    char text[32];
    std::snprintf(text, sizeof text, "%.1f seconds", milliseconds / 1000.0);
    return text;
}

std::string StallText(uint32_t stallLimitMs) {
    return "No data arrived from the server for " + StallDuration(stallLimitMs);
}

HttpDownloader::HttpDownloader() {
    GlobalInit();
}

HttpDownloader::~HttpDownloader() {
    CloseHandles();
}

bool HttpDownloader::ParseUrl(std::string& url, uint32_t& serviceType, std::string& serverName, std::string& objectName,
                              uint16_t& serverPort) {
    GlobalInit();
    if (ParseOnce(url, serviceType, serverName, objectName, serverPort)) return true;
    // "http://" helps an address written without a scheme, never one that names another scheme.
    if (HasOtherScheme(url)) return false;
    std::string prefixed = "http://" + url;
    if (!ParseOnce(prefixed, serviceType, serverName, objectName, serverPort)) return false;
    url = prefixed;
    return true;
}

std::string HttpDownloader::LastErrorDescription() const {
    std::lock_guard lock(errorLock_);
    return lastError_;
}

void HttpDownloader::SetLastError(std::string description) {
    std::lock_guard lock(errorLock_);
    lastError_ = std::move(description);
}

int HttpDownloader::DownloadToFile() {
    {
        std::lock_guard lock(handleLock);
        transferRunning_ = true;
        transferThread_ = std::this_thread::get_id();
    }
    int result = Transfer();
    {
        std::lock_guard lock(handleLock);
        transferRunning_ = false;
    }
    CloseHandles();
    if (filePath.empty()) return result;
    if (result == 1 && !FlushPendingWrites()) result = 0;
    pendingWrites_.clear();
    outputFile = -1;
    if (result != 1) {
        targetFile_.Discard();
        return 0;
    }
    if (!targetFile_.Commit()) {
        SetLastError(targetFile_.Error());
        OnSystemError(1612, static_cast<uint32_t>(targetFile_.ErrorCode()));
        return 0;
    }
    return 1;
}

void HttpDownloader::Abort() {
    abortFlag.exchange(1);
    {
        // Waking the sockets makes a transfer that waits on a silent server notice the flag at once.
        std::lock_guard lock(handleLock);
        for (const auto& [socket, token] : openSockets_) ::shutdown(socket, SHUT_RDWR);
    }
    CloseHandles();
}

void HttpDownloader::CloseHandles() {
    std::lock_guard lock(handleLock);
    // curl handles may only be released by the thread that runs them, and never inside a transfer; the
    // transferring thread closes them itself once the abort has stopped it.
    if (transferRunning_ && (performing_ || std::this_thread::get_id() != transferThread_)) return;
    if (requestHandle) {
        curl_easy_cleanup(requestHandle);
        requestHandle = nullptr;
    }
    if (headerList_) {
        curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }
    if (connectionHandle) {
        curl_url_cleanup(connectionHandle);
        connectionHandle = nullptr;
    }
    if (internetHandle) {
        curl_share_cleanup(internetHandle);
        internetHandle = nullptr;
    }
}

void HttpDownloader::StatusCallbackThunk(void* handle, void* context, uint32_t status, const void* data,
                                         uint32_t length) {
    static_cast<HttpDownloader*>(context)->OnStatusCallback(handle, status, data, length);
}

void HttpDownloader::Notify(uint32_t status, const std::string& text) {
    StatusCallbackThunk(requestHandle, this, status, text.c_str(), static_cast<uint32_t>(text.size() + 1));
}

void HttpDownloader::SettleResumeOffset() {
    if (resumeOffset == 0) return;
    struct stat info {};
    if (filePath.empty() || ::stat(filePath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) {
        // Asking for the rest of a file that is not there would save the rest as the whole.
        resumeOffset = 0;
    } else if (static_cast<uint64_t>(info.st_size) < resumeOffset) {
        // Going on beyond the file's end would leave a hole of zeros in it.
        resumeOffset = static_cast<uint64_t>(info.st_size);
    }
}

bool HttpDownloader::PrepareTarget() {
    if (resumeOffset > 0) {
        DownloadTargetFile::ResumeResult opened = targetFile_.OpenForResume(filePath, resumeOffset);
        if (opened != DownloadTargetFile::ResumeResult::Opened) {
            SetLastError(targetFile_.Error());
            OnSystemError(opened == DownloadTargetFile::ResumeResult::CannotOpen ? 1626 : 1628,
                          static_cast<uint32_t>(targetFile_.ErrorCode()));
            return false;
        }
    } else if (!targetFile_.OpenFresh(filePath)) {
        SetLastError(targetFile_.Error());
        OnSystemError(1626, static_cast<uint32_t>(targetFile_.ErrorCode()));
        return false;
    }
    outputFile = targetFile_.Descriptor();
    return true;
}

int HttpDownloader::Transfer() {
    CloseHandles();
    SetLastError({});
    responseCode_ = 0;
    if (!ParseUrl(url, serviceType, serverName, objectName, serverPort)) {
        SetLastError("cannot download \"" + url + "\": only http and https addresses can be downloaded");
        return 0;
    }
    SettleResumeOffset();
    if (!filePath.empty() && !PrepareTarget()) return 0;
    if (!OpenInternet()) {
        if (LastErrorDescription().empty()) SetLastError("The HTTP client could not be started");
        return 0;
    }
    if (!ConnectToServer() || !OpenRequest()) return 0;

    bool proxyApplied = false, serverApplied = false, certificateTried = false;
    if (sendProxyCredentials) {
        if (!ApplyProxyCredentials()) return 0;
        proxyApplied = true;
    }
    if (sendServerCredentials) {
        if (!ApplyServerCredentials()) return 0;
        serverApplied = true;
    }

    bodyOffset_ = resumeOffset;
    Notify(kStatusResolvingName, serverName);
    for (int send = 0; send < kMaxSends; ++send) {
        if (IsAborted()) {
            SetLastError("The download was cancelled");
            return 0;
        }
        curl_slist_free_all(headerList_);
        headerList_ = nullptr;
        if (!acceptHeader_.empty()) headerList_ = curl_slist_append(headerList_, acceptHeader_.c_str());
        AppendCapturedFields(headerList_);
        std::string headers = GetRequestHeaders();
        askedRange_ = false;
        for (size_t start = 0; start < headers.size();) {
            size_t end = headers.find("\r\n", start);
            if (end == std::string::npos) end = headers.size();
            if (end > start) headerList_ = curl_slist_append(headerList_, headers.substr(start, end - start).c_str());
            if (StartsWithNoCase(headers.data() + start, end - start, "range:")) askedRange_ = true;
            start = end + 2;
        }
        curl_easy_setopt(requestHandle, CURLOPT_HTTPHEADER, headerList_);

        BeginResponse();
        hookFailed_ = false;
        certificateRequested_ = false;
        stalled_ = false;
        lastActivityTick_ = ProgressTracker::TickCount();
        curlError_[0] = '\0';
        {
            std::lock_guard lock(handleLock);
            performing_ = true;
        }
        CURLcode code = curl_easy_perform(requestHandle);
        {
            std::lock_guard lock(handleLock);
            performing_ = false;
        }
        std::string description = curlError_[0] ? curlError_ : curl_easy_strerror(code);
        if (code == CURLE_SSL_CACERT_BADFILE) description = CertificateStoreProblem(caBundle);

        if (hookFailed_ || IsAborted()) {
            if (IsAborted()) SetLastError("The download was cancelled");
            return 0;
        }
        if (stalled_) {
            SetLastError(StallText(stallLimitMs));
            OnSystemError(status_ == 0 ? 1610 : 1612, CURLE_OPERATION_TIMEDOUT);
            return 0;
        }
        if (phase_ == Phase::Rejected) {
            SetLastError(status_ == 206 ? "The server sent only a part of the file (HTTP status 206), although the "
                                          "whole file was asked for"
                                        : "The server answered with HTTP status " + std::to_string(status_));
            OnHttpError(1611, static_cast<uint32_t>(status_));
            return 0;
        }
        if (status_ == 0) {
            if ((code == CURLE_SSL_CLIENTCERT || certificateRequested_) && !certificateTried) {
                bool again =
                    promptClientCertificate ? OnClientCertificateNeeded() : HttpDownloader::OnClientCertificateNeeded();
                if (again) {
                    certificateTried = true;
                    continue;
                }
            }
            SetLastError(certificateRequested_ && !certificateTried
                             ? "The server asks for a client certificate (" + description + ")"
                             : description);
            bool noValidResponse = code == CURLE_GOT_NOTHING || code == CURLE_WEIRD_SERVER_REPLY || code == CURLE_OK;
            OnSystemError(noValidResponse ? 1610 : 1609, static_cast<uint32_t>(code));
            return 0;
        }
        if (status_ == 200 || status_ == 206 || status_ == 204) {
            if (code != CURLE_OK) {
                SetLastError(description);
                OnSystemError(1612, static_cast<uint32_t>(code));
                return 0;
            }
            if (total_ == 0) {
                // An empty file saved under the video's name would pass a failure off as a download.
                SetLastError("The server sent no data (HTTP status " + std::to_string(status_) +
                             " with an empty body): there is nothing to save");
                OnSystemError(1610, static_cast<uint32_t>(status_));
                return 0;
            }
            // The closing read of no bytes reports progress once more.
            OnProgress(total_, lengthKnown_ ? 1 : 0, contentLength_ + bodyOffset_);
            return 1;
        }

        // 401 or 407, body drained.
        if (status_ == 407) {
            if (!proxyUserName.empty() && !proxyApplied) {
                if (!ApplyProxyCredentials()) return 0;
                proxyApplied = true;
                continue;
            }
            if (!promptProxyCredentials) {
                SetLastError("The proxy refused the credentials (HTTP status 407)");
                OnHttpError(1611, 407);
                return 0;
            }
        } else {
            if (!userName.empty() && !serverApplied) {
                if (!ApplyServerCredentials()) return 0;
                serverApplied = true;
                continue;
            }
            if (!promptServerCredentials) {
                SetLastError("The server refused the credentials (HTTP status 401)");
                OnHttpError(1611, 401);
                return 0;
            }
        }
        uint32_t answer = 0;
        if (OnCredentialsNeeded(answer)) continue;
        SetLastError(status_ == 407 ? "The proxy asks for a user name and password (HTTP status 407)"
                                    : "The server asks for a user name and password (HTTP status 401)");
        if (answer != 0) OnSystemError(1627, answer);
        return 0;
    }
    SetLastError("The server kept refusing the credentials (HTTP status " + std::to_string(status_) + ")");
    OnHttpError(1611, static_cast<uint32_t>(status_));
    return 0;
}

void HttpDownloader::BeginResponse() {
    phase_ = Phase::Headers;
    challengeRealm_.clear();
    status_ = 0;
    lengthKnown_ = false;
    contentLength_ = 0;
    location_.clear();
    rangeTotal_.reset();
    total_ = 0;
}

void HttpDownloader::EndOfHeaders() {
    long code = 0;
    curl_easy_getinfo(requestHandle, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 100 && code < 200) return;  // interim answer, the real one follows
    bool redirect = code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
    if (redirect && !location_.empty() && !(GetRequestFlags() & kFlagNoAutoRedirect)) {
        std::string target = location_;
        std::string oldHost;
        if (CURLU* resolved = curl_url()) {
            char* current = nullptr;
            curl_easy_getinfo(requestHandle, CURLINFO_EFFECTIVE_URL, &current);
            if (current && curl_url_set(resolved, CURLUPART_URL, current, 0) == CURLUE_OK) {
                oldHost = UrlPart(resolved, CURLUPART_HOST);
                if (curl_url_set(resolved, CURLUPART_URL, location_.c_str(), 0) == CURLUE_OK)
                    target = UrlPart(resolved, CURLUPART_URL);
            }
            std::string newHost = UrlPart(resolved, CURLUPART_HOST);
            Notify(kStatusRedirect, target);
            if (!newHost.empty() && newHost != oldHost) Notify(kStatusResolvingName, newHost);
            curl_url_cleanup(resolved);
        }
        location_.clear();
        return;
    }
    status_ = code;
    responseCode_ = code;
    if (code == 200 && bodyOffset_ > 0 && outputFile >= 0) {
        // The server ignored the range and sends the whole file: appending it would corrupt the file, and
        // the part already there stays until the whole has arrived.
        if (!targetFile_.Restart()) {
            outputFile = -1;
            SetLastError(targetFile_.Error());
            OnSystemError(1626, static_cast<uint32_t>(targetFile_.ErrorCode()));
            hookFailed_ = true;
            phase_ = Phase::Rejected;
            return;
        }
        outputFile = targetFile_.Descriptor();
        pendingWrites_.clear();
        bodyOffset_ = 0;
    }
    if (code == 206 && !askedRange_) {
        // Only a piece of the file would be saved as the whole of it.
        phase_ = Phase::Rejected;
        return;
    }
    // A 204 has no body: it goes the way of an empty 200, which the transfer then refuses with a message.
    if (code == 200 || code == 206 || code == 204) {
        phase_ = Phase::Body;
        SetStatusTextById(1606);
        if (lengthKnown_) OnContentLength(contentLength_);
        SetStatusTextById(1614);
        startTick_ = ProgressTracker::TickCount();
        total_ = 0;
    } else if (code == 401 || code == 407) {
        phase_ = Phase::Drain;
    } else {
        phase_ = Phase::Rejected;
    }
}

size_t HttpDownloader::HeaderCallback(char* data, size_t size, size_t count, void* context) {
    auto* self = static_cast<HttpDownloader*>(context);
    size_t n = size * count;
    self->lastActivityTick_ = ProgressTracker::TickCount();
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        self->BeginResponse();
    } else if ((n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n')) {
        self->EndOfHeaders();
        if (self->phase_ == Phase::Rejected) return 0;  // no need to read an error page
    } else if (StartsWithNoCase(data, n, "content-length:")) {
        // A length that is not a number or does not fit 64 bits counts as none.
        std::optional<uint64_t> length = HttpResponseReader::ParseLength(Trimmed(data + 15, n - 15));
        self->contentLength_ = length.value_or(0);
        self->lengthKnown_ = length.has_value();
    } else if (StartsWithNoCase(data, n, "content-range:")) {
        if (const auto range = ContentRange::Parse(Trimmed(data + 14, n - 14))) self->rangeTotal_ = range->total;
    } else if (StartsWithNoCase(data, n, "location:")) {
        self->location_ = Trimmed(data + 9, n - 9);
    } else if (StartsWithNoCase(data, n, "www-authenticate:") || StartsWithNoCase(data, n, "proxy-authenticate:")) {
        // The first challenge that names a realm; the status line says whose it is.
        size_t name = std::string_view(data, n).find(':') + 1;
        if (self->challengeRealm_.empty())
            self->challengeRealm_ = AuthenticationChallenge::Realm(std::string_view(data + name, n - name));
    }
    return n;
}

size_t HttpDownloader::WriteCallback(char* data, size_t size, size_t count, void* context) {
    auto* self = static_cast<HttpDownloader*>(context);
    size_t n = size * count;
    if (self->phase_ == Phase::Rejected) return 0;
    if (self->phase_ != Phase::Body) return n;  // a challenge's body is drained unread
    if (!self->OnData(data, static_cast<uint32_t>(n))) {
        self->hookFailed_ = true;
        return 0;
    }
    self->total_ += n;
    self->LimitRate();
    self->OnProgress(self->total_, self->lengthKnown_ ? 1 : 0, self->contentLength_ + self->bodyOffset_);
    // Counted after the rate limit's wait, which is no silence of the server.
    self->lastActivityTick_ = ProgressTracker::TickCount();
    if (self->IsAborted()) return 0;
    return n;
}

void HttpDownloader::LimitRate() {
    if (bandwidthLimit <= 0.0) return;
    double elapsed = static_cast<double>(ProgressTracker::TickCount() - startTick_);
    // Waiting total/limit - elapsed brings the average rate down to the limit; unlike total/elapsed it is
    // defined when no millisecond has passed yet.
    double wait = static_cast<double>(total_) / bandwidthLimit - elapsed;
    if (wait < 1.0) return;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(wait));
    while (!IsAborted() && std::chrono::steady_clock::now() < until) {
        auto slice = std::min<std::chrono::steady_clock::duration>(until - std::chrono::steady_clock::now(),
                                                                   std::chrono::milliseconds(50));
        std::this_thread::sleep_for(slice);
    }
}

int HttpDownloader::ProgressCallback(void* context, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* self = static_cast<HttpDownloader*>(context);
    if (self->IsAborted()) return 1;
    // curl calls this about once a second also while nothing arrives.
    if (self->stallLimitMs > 0 && ProgressTracker::TickCount() - self->lastActivityTick_ >= self->stallLimitMs) {
        self->stalled_ = true;
        return 1;
    }
    return 0;
}

curl_socket_t HttpDownloader::OpenSocketCallback(void* context, curlsocktype, struct curl_sockaddr* address) {
    auto* self = static_cast<HttpDownloader*>(context);
    std::string text = AddressText(&address->addr);
    self->Notify(kStatusNameResolved, text);
    self->Notify(kStatusConnecting, text);
    std::lock_guard lock(self->handleLock);
    if (self->IsAborted()) return CURL_SOCKET_BAD;
    // Bound and registered before curl connects it, so the capture never takes our transfer for the user's.
    uint64_t token = 0;
    curl_socket_t socket =
        OwnSocket::OpenClientDescriptor(address->family, address->socktype, address->protocol, token);
    if (socket != CURL_SOCKET_BAD) self->openSockets_.emplace(socket, token);
    return socket;
}

int HttpDownloader::CloseSocketCallback(void* context, curl_socket_t socket) {
    auto* self = static_cast<HttpDownloader*>(context);
    // Closed under the lock so that Abort never shuts down a number the system has handed out again.
    std::lock_guard lock(self->handleLock);
    uint64_t token = 0;
    if (auto open = self->openSockets_.find(socket); open != self->openSockets_.end()) {
        token = open->second;
        self->openSockets_.erase(open);
    }
    return OwnSocket::CloseDescriptor(socket, token);
}

int HttpDownloader::PrereqCallback(void* context, char* remoteAddress, char*, int, int) {
    auto* self = static_cast<HttpDownloader*>(context);
    if (self->IsAborted()) return CURL_PREREQFUNC_ABORT;
    self->Notify(kStatusConnected, remoteAddress ? remoteAddress : "");
    return CURL_PREREQFUNC_OK;
}

// ---- Hooks: base behaviour -------------------------------------------------------------------------------

bool HttpDownloader::OpenInternet() {
    std::lock_guard lock(handleLock);
    if (!internetHandle) {
        if (accessType > 2) {
            SetLastError("Unknown proxy access type " + std::to_string(accessType));
            return false;
        }
        internetHandle = curl_share_init();
        if (!internetHandle) return false;
        curl_share_setopt(internetHandle, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    return true;
}

bool HttpDownloader::ConnectToServer() {
    std::lock_guard lock(handleLock);
    connectionHandle = curl_url();
    CURLUcode code = connectionHandle ? curl_url_set(connectionHandle, CURLUPART_URL, Canonical(url).c_str(), 0)
                                      : CURLUE_OUT_OF_MEMORY;
    if (code != CURLUE_OK) {
        SetLastError(curl_url_strerror(code));
        OnSystemError(1609, static_cast<uint32_t>(code));
        return false;
    }
    return true;
}

bool HttpDownloader::OpenRequest() {
    // Accept types: the non-empty pieces between "," and ";", unchanged, in order.
    acceptHeader_.clear();
    std::string piece;
    for (size_t i = 0; i <= acceptTypes.size(); ++i) {
        if (i == acceptTypes.size() || acceptTypes[i] == ',' || acceptTypes[i] == ';') {
            if (!piece.empty()) acceptHeader_ += (acceptHeader_.empty() ? "Accept: " : ", ") + piece;
            piece.clear();
        } else {
            piece += acceptTypes[i];
        }
    }

    std::lock_guard lock(handleLock);
    requestHandle = curl_easy_init();
    if (!requestHandle) {
        SetLastError("The HTTP client could not create a request");
        OnSystemError(1609, CURLE_OUT_OF_MEMORY);
        return false;
    }
    uint32_t flags = GetRequestFlags();
    CURL* h = requestHandle;
    curl_easy_setopt(h, CURLOPT_SHARE, internetHandle);
    curl_easy_setopt(h, CURLOPT_CURLU, connectionHandle);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, curlError_);
    // The browser's agent and referrer, when its request was captured, in place of the program's own: a
    // server may answer only the browser's.
    const CapturedRequestHeaders captured = CapturedRequestHeaders::Parse(capturedRequest);
    const std::string& agent = captured.UserAgent().empty() ? userAgent : captured.UserAgent();
    const std::string& referer = captured.Referer().empty() ? referrer : captured.Referer();
    curl_easy_setopt(h, CURLOPT_USERAGENT, agent.empty() ? kFallbackAgent : agent.c_str());
    if (accessType == 1) curl_easy_setopt(h, CURLOPT_PROXY, "");
    if (accessType == 2) {
        // curl takes one proxy; the first name of the list.
        std::string first = proxyServer.substr(0, proxyServer.find_first_of(" ;"));
        curl_easy_setopt(h, CURLOPT_PROXY, first.c_str());
        curl_easy_setopt(h, CURLOPT_NOPROXY, "");  // no bypass list: every host goes through it
    }
    if (!referer.empty()) curl_easy_setopt(h, CURLOPT_REFERER, referer.c_str());
    if (!verb.empty() && verb != "GET") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, verb.c_str());
    if (httpVersion == "HTTP/1.0")
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    else if (httpVersion == "HTTP/1.1")
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, (flags & kFlagNoAutoRedirect) ? 0L : 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    if (stallLimitMs > 0) curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(stallLimitMs));
    long block = std::clamp<long>(static_cast<long>(bufferSize), 1024L, CURL_MAX_READ_SIZE);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, block);
    // Certificates are always verified, also for a secure request.
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caBundle.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, caBundle.c_str());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &HttpDownloader::HeaderCallback);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &HttpDownloader::WriteCallback);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &HttpDownloader::ProgressCallback);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(h, CURLOPT_OPENSOCKETFUNCTION, &HttpDownloader::OpenSocketCallback);
    curl_easy_setopt(h, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, &HttpDownloader::CloseSocketCallback);
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &HttpDownloader::PrereqCallback);
    // Tells when a server asks for a client certificate (libcurl only reports the failed handshake).
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &HttpDownloader::SslContextCallback);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, this);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, this);
    return true;
}

void HttpDownloader::AppendCapturedFields(curl_slist*& list) const {
    if (capturedRequest.empty()) return;
    const CapturedRequestHeaders captured = CapturedRequestHeaders::Parse(capturedRequest);
    for (const CapturedRequestHeaders::Field& field : captured.For(serverName)) {
        // Agent and referrer are set as curl's own options (OpenRequest); credentials the user typed in for
        // this download take the place of the browser's.
        if (field.name == "User-Agent" || field.name == "Referer") continue;
        if (field.name == "Authorization" && !userName.empty()) continue;
        std::string line = field.name + ": " + field.value;
        list = curl_slist_append(list, line.c_str());
        OPENSSL_cleanse(line.data(), line.size());
    }
}

bool HttpDownloader::ApplyServerCredentials() {
    if (userName.empty()) return true;
    CURLcode code = curl_easy_setopt(requestHandle, CURLOPT_USERNAME, userName.c_str());
    if (code == CURLE_OK) code = curl_easy_setopt(requestHandle, CURLOPT_PASSWORD, password.c_str());
    if (code != CURLE_OK) {
        SetLastError(curl_easy_strerror(code));
        OnHttpError(1608, static_cast<uint32_t>(code));
        return false;
    }
    return true;
}

bool HttpDownloader::ApplyProxyCredentials() {
    if (proxyUserName.empty()) return true;
    CURLcode code = curl_easy_setopt(requestHandle, CURLOPT_PROXYUSERNAME, proxyUserName.c_str());
    if (code == CURLE_OK) code = curl_easy_setopt(requestHandle, CURLOPT_PROXYPASSWORD, proxyPassword.c_str());
    if (code != CURLE_OK) {
        SetLastError(curl_easy_strerror(code));
        OnHttpError(1608, static_cast<uint32_t>(code));
        return false;
    }
    return true;
}

bool HttpDownloader::OnClientCertificateNeeded() {
    if (!clientCertificate) return false;
    const std::string type = clientCertificate->FileType();
    CURLcode code = curl_easy_setopt(requestHandle, CURLOPT_SSLCERT, clientCertificate->path.c_str());
    if (code == CURLE_OK) code = curl_easy_setopt(requestHandle, CURLOPT_SSLCERTTYPE, type.c_str());
    if (code == CURLE_OK && !clientCertificate->passPhrase.empty())
        code = curl_easy_setopt(requestHandle, CURLOPT_KEYPASSWD, clientCertificate->passPhrase.c_str());
    return code == CURLE_OK;
}

std::string HttpDownloader::ProxyName() const {
    std::string name = proxyServer.substr(0, proxyServer.find_first_of(" ;"));
    if (name.empty() && accessType == 0) {
        // The system's settings: the variables curl reads, most specific first.
        std::vector<const char*> variables = {"http_proxy", "all_proxy", "ALL_PROXY"};
        if (serviceType == kServiceHttps) variables = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
        for (const char* variable : variables) {
            const char* value = std::getenv(variable);
            if (value && *value) {
                name = value;
                break;
            }
        }
    }
    // A user name and password written into the proxy's address are not for showing.
    size_t scheme = name.find("://");
    size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    size_t at = name.find('@', hostStart);
    if (at != std::string::npos) name.erase(hostStart, at + 1 - hostStart);
    return name;
}

std::string ClientCertificate::FileType() const {
    // PEM is text with "-----BEGIN" lines (perhaps after some attributes); anything else is taken for
    // a PKCS#12 bundle.
    char head[16384];
    int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return "PEM";
    ssize_t n = ::read(file, head, sizeof head);
    ::close(file);
    if (n <= 0) return "PEM";
    return std::string_view(head, static_cast<size_t>(n)).find("-----BEGIN") != std::string_view::npos ? "PEM" : "P12";
}

CURLcode HttpDownloader::SslContextCallback(CURL*, void* sslContext, void* self) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (SslContextIndex() >= 0 && SSL_CTX_set_ex_data(context, SslContextIndex(), self) == 1)
        SSL_CTX_set_client_cert_cb(context, &HttpDownloader::ClientCertificateCallback);
    return CURLE_OK;
}

int HttpDownloader::ClientCertificateCallback(SSL* ssl, X509**, EVP_PKEY**) {
    // OpenSSL asks only when the server wants a certificate and none is set: note it and offer none, so
    // the server's refusal can be answered with a certificate chosen then.
    auto* self = static_cast<HttpDownloader*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SslContextIndex()));
    if (self) self->certificateRequested_ = true;
    return 0;
}

void HttpDownloader::OnStatusCallback(void*, uint32_t, const void*, uint32_t) {}

void HttpDownloader::OnSystemError(int, uint32_t) {}

void HttpDownloader::OnHttpError(int messageId, uint32_t number) {
    std::string message = FormatString(messageId, std::to_string(number));
    (void)message;  // nobody to show it to
}

uint32_t HttpDownloader::GetRequestFlags() {
    uint32_t flags = kFlagReload | kFlagMakePersistent | kFlagKeepConnection;
    if (serviceType == kServiceHttps) flags |= kFlagSecure;
    if (noAutoRedirect) flags |= kFlagNoAutoRedirect;
    return flags;
}

std::string HttpDownloader::GetRequestHeaders() {
    if (resumeOffset == 0) return {};
    return "Range: bytes=" + std::to_string(resumeOffset) + "-\r\n";
}

bool HttpDownloader::OnCredentialsNeeded(uint32_t&) {
    return false;
}

void HttpDownloader::SetStatusText(const std::string&) {}

void HttpDownloader::SetStatusTextWith(int messageId, const std::string& text) {
    SetStatusText(FormatString(messageId, text));
}

void HttpDownloader::SetStatusTextById(int messageId) {
    if (auto text = LoadString(messageId)) SetStatusText(*text);
}

bool HttpDownloader::IsAborted() {
    return abortFlag.load() != 0;
}

void HttpDownloader::OnContentLength(uint64_t) {}

void HttpDownloader::OnProgress(uint64_t, int32_t, uint64_t) {}

bool HttpDownloader::OnData(const void* block, uint32_t length) {
    if (!filePath.empty()) {
        const char* bytes = static_cast<const char*>(block);
        if (pendingWrites_.empty() && length >= kDirectWriteBytes) {
            if (!WriteToFile(bytes, length)) return false;
        } else {
            if (pendingWrites_.capacity() < kWriteBlockBytes) pendingWrites_.reserve(kWriteBlockBytes);
            pendingWrites_.insert(pendingWrites_.end(), bytes, bytes + length);
            if (pendingWrites_.size() >= kWriteBlockBytes && !FlushPendingWrites()) return false;
        }
    }
    return !IsAborted();
}

bool HttpDownloader::FlushPendingWrites() {
    const bool written = WriteToFile(pendingWrites_.data(), pendingWrites_.size());
    pendingWrites_.clear();
    return written;
}

bool HttpDownloader::WriteToFile(const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t written = ::write(outputFile, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            SetLastError(filePath + ": " + std::strerror(error));
            OnSystemError(1612, static_cast<uint32_t>(error));
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace tarnwick
