// SPDX-License-Identifier: GPL-3.0-or-later
// One-shot download of a URL into a file over HTTP(S) on libcurl, with overridable hooks for a user interface.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/DownloadStallLimit.h"
#include "download/DownloadTargetFile.h"

// OpenSSL's connection, certificate and key, for the certificate-demand callback.
struct ssl_st;
struct x509_st;
struct evp_pkey_st;

namespace tarnwick {

// The agent text every download of the program sends.
inline constexpr const char* kDownloadUserAgent =
    "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; SV1; GTB5; .NET CLR 1.1.4322)";

// Status notifications passed to OnStatusCallback; the data is the text named.
enum HttpStatusNotification : uint32_t {
    kStatusResolvingName = 10,  // host name
    kStatusNameResolved = 11,   // address
    kStatusConnecting = 20,     // address
    kStatusConnected = 21,      // address
    kStatusRedirect = 110,      // new location
};

// Request flags reported by GetRequestFlags.
enum HttpRequestFlags : uint32_t {
    kFlagReload = 0x80000000,
    kFlagKeepConnection = 0x00400000,
    kFlagMakePersistent = 0x02000000,
    kFlagSecure = 0x00800000,
    kFlagNoAutoRedirect = 0x00200000,
};

// Error code passed with the client-certificate demand and the "out of memory" code.
inline constexpr uint32_t kClientCertificateNeeded = 12044;
// Answers of a credential prompt: send the request again (with what the user entered), or cancelled.
inline constexpr uint32_t kAnswerRetry = 12032;
inline constexpr uint32_t kAnswerCancelled = 1223;
inline constexpr uint32_t kOutOfMemoryCode = 14;
inline constexpr uint32_t kServiceHttp = 3;
inline constexpr uint32_t kServiceHttps = 4107;

// "60 seconds", "0.5 seconds".
std::string StallDuration(uint32_t milliseconds);
// "No data arrived from the server for 60 seconds".
std::string StallText(uint32_t stallLimitMs);

// A client certificate with its private key, in a PEM file or a PKCS#12 bundle; held in memory only.
struct ClientCertificate {
    std::string path;
    std::string passPhrase;  // of the key or bundle; empty when it has none

    // "PEM" when the file holds PEM text, else "P12".
    std::string FileType() const;
};

class HttpDownloader {
public:
    HttpDownloader();
    virtual ~HttpDownloader();
    HttpDownloader(const HttpDownloader&) = delete;
    HttpDownloader& operator=(const HttpDownloader&) = delete;

    // 1 after a complete download, 0 after any failure. The file is written beside the target and takes its
    // place only on success, so a failure leaves an existing file as it was; a resume appends to it.
    int DownloadToFile();
    // From any thread: stops the running transfer promptly, also when the server has gone silent.
    void Abort();
    void CloseHandles();

    // What went wrong in the last failure, in words (empty after a success).
    std::string LastErrorDescription() const;
    // Status code of the last response received, 0 when none came.
    long ResponseCode() const { return responseCode_.load(); }
    // The size of the whole file that the last partial answer (206) named in its Content-Range; nothing
    // when it named none or sent "*".
    std::optional<int64_t> RangeTotal() const { return rangeTotal_; }

    // Splits `url` into its parts; tries once more with "http://" in front (kept in `url`) when that fails.
    static bool ParseUrl(std::string& url, uint32_t& serviceType, std::string& serverName, std::string& objectName,
                         uint16_t& serverPort);

    std::string url;
    std::string filePath;
    std::string proxyServer;
    std::string proxyUserName;
    std::string proxyPassword;
    std::string userName;
    std::string password;
    std::string userAgent;
    std::string referrer;
    std::string verb;
    std::string httpVersion;
    uint32_t accessType = 0;
    int32_t promptOverwrite = 1;
    int32_t promptProxyCredentials = 1;
    int32_t promptServerCredentials = 1;
    int32_t promptClientCertificate = 1;
    double bandwidthLimit = 0.0;
    // Bytes of the file already on disk: the download goes on from there with a Range request. Only what is
    // really there is resumed (see SettleResumeOffset).
    uint64_t resumeOffset = 0;
    int32_t noAutoRedirect = 0;
    // Bytes asked of the connection at a time (the HTTP client's receive buffer). Large blocks mean fewer
    // wake-ups per byte: curl's own tool reads about 100 KB at a time.
    uint32_t bufferSize = kDefaultBufferSize;
    int32_t sendProxyCredentials = 1;
    int32_t sendServerCredentials = 1;
    std::string acceptTypes = "*/*";
    uint32_t serviceType = 0;
    // The CA certificates that secure requests are checked against; empty: the system's store.
    std::string caBundle;
    // The download fails when no byte has arrived for this long (connecting included); 0: no limit.
    uint32_t stallLimitMs = kDefaultStallLimitMs;
    // The browser's request for the file (HTTP/1.1 head, as captured): its Cookie, Referer, Origin,
    // User-Agent and Authorization are sent again, so a server that checks them answers as it did the
    // browser. A secret: never logged, printed or written.
    std::string capturedRequest;

    static constexpr uint32_t kDefaultBufferSize = 256 * 1024;

    // Makes resumeOffset what can really be resumed: 0 when the partial file is missing, empty or not a
    // regular file (the download starts afresh, without a Range request), the file's size when that is
    // smaller. Done by every transfer; a caller that shows the offset first calls it itself.
    void SettleResumeOffset();

protected:
    // Root handle: the share object that keeps name lookups and connections of one download together.
    CURLSH* internetHandle = nullptr;
    // Connection handle: the parsed target (scheme, host, port, path).
    CURLU* connectionHandle = nullptr;
    // Request handle: the easy handle that sends and receives.
    CURL* requestHandle = nullptr;
    std::string serverName;
    std::string objectName;
    uint16_t serverPort = 0;
    std::atomic<int32_t> abortFlag{0};
    int outputFile = -1;
    std::recursive_mutex handleLock;
    // The client certificate offered when a server asks for one. Nothing in this program stores one.
    std::optional<ClientCertificate> clientCertificate;

    // The realm named by the last demand for credentials (401 from the server, 407 from the proxy);
    // empty when it named none. For the credential hooks.
    std::string ChallengeRealm() const { return challengeRealm_; }
    // The proxy a 407 came from, as configured or taken from the environment; empty when unknown.
    std::string ProxyName() const;

    // Hooks, in this order.
    virtual bool OpenInternet();
    virtual bool ConnectToServer();
    virtual bool OpenRequest();
    virtual bool ApplyServerCredentials();
    virtual bool ApplyProxyCredentials();
    virtual bool OnClientCertificateNeeded();
    virtual void OnStatusCallback(void* handle, uint32_t status, const void* data, uint32_t length);
    virtual void OnSystemError(int messageId, uint32_t code);
    virtual void OnHttpError(int messageId, uint32_t number);
    virtual uint32_t GetRequestFlags();
    virtual std::string GetRequestHeaders();
    virtual bool OnCredentialsNeeded(uint32_t& answer);
    virtual void SetStatusText(const std::string& text);
    virtual void SetStatusTextWith(int messageId, const std::string& text);
    virtual void SetStatusTextById(int messageId);
    virtual bool IsAborted();
    virtual void OnContentLength(uint64_t length);
    virtual void OnProgress(uint64_t bytesRead, int32_t totalKnown, uint64_t totalSize);
    virtual bool OnData(const void* block, uint32_t length);

    int Transfer();
    static void StatusCallbackThunk(void* handle, void* context, uint32_t status, const void* data, uint32_t length);

private:
    enum class Phase { Headers, Body, Drain, Rejected };

    void SetLastError(std::string description);
    void Notify(uint32_t status, const std::string& text);
    // Writes what OnData has gathered; false (with the error reported) when the file refuses it.
    bool FlushPendingWrites();
    bool WriteToFile(const char* bytes, size_t length);
    // The captured request's fields as header lines for this transfer's request.
    void AppendCapturedFields(curl_slist*& list) const;
    bool PrepareTarget();
    bool ConfigureRequest();
    void BeginResponse();
    void EndOfHeaders();
    void LimitRate();
    static size_t HeaderCallback(char* data, size_t size, size_t count, void* self);
    static size_t WriteCallback(char* data, size_t size, size_t count, void* self);
    static int ProgressCallback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
    static curl_socket_t OpenSocketCallback(void* self, curlsocktype purpose, struct curl_sockaddr* address);
    static int CloseSocketCallback(void* self, curl_socket_t socket);
    static int PrereqCallback(void* self, char* remoteAddress, char* localAddress, int remotePort, int localPort);
    static CURLcode SslContextCallback(CURL* handle, void* sslContext, void* self);
    static int ClientCertificateCallback(::ssl_st* ssl, ::x509_st** certificate, ::evp_pkey_st** key);

    mutable std::mutex errorLock_;
    std::string lastError_;
    std::atomic<long> responseCode_{0};
    std::thread::id transferThread_;
    bool transferRunning_ = false;
    bool performing_ = false;
    std::string acceptHeader_;
    // Sockets curl has open, with their tokens in the registry of our own connections.
    std::map<curl_socket_t, uint64_t> openSockets_;
    curl_slist* headerList_ = nullptr;
    char curlError_[CURL_ERROR_SIZE] = {};

    // State of the response being received.
    Phase phase_ = Phase::Headers;
    long status_ = 0;
    bool lengthKnown_ = false;
    uint64_t contentLength_ = 0;
    std::string location_;
    std::optional<int64_t> rangeTotal_;
    uint64_t total_ = 0;
    // Bytes before the body in the file: the resume offset, or 0 when the server sent the whole file.
    uint64_t bodyOffset_ = 0;
    uint32_t startTick_ = 0;
    bool hookFailed_ = false;
    uint32_t lastActivityTick_ = 0;
    bool stalled_ = false;
    // The request carried a Range field: only then is a partial answer (206) what was asked for.
    bool askedRange_ = false;
    std::string challengeRealm_;
    // The server asked for a client certificate during the handshake and none was offered.
    bool certificateRequested_ = false;
    DownloadTargetFile targetFile_;
    // Body bytes gathered for one large write: small writes cost a system call each.
    std::vector<char> pendingWrites_;
};

}  // namespace tarnwick
