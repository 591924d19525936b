// Watches the TCP traffic of one adapter (or replays a capture file) on a thread of its own.
#include "capture/CaptureSession.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "capture/decode/PacketView.h"
#include "capture/decode/TcpFrame.h"
#include "capture/detect/HttpVideoDetector.h"
#include "capture/source/CaptureAdapters.h"

namespace tarnwick {

namespace {

constexpr int kSnapshotLength = 65535;
constexpr int kReadTimeoutMs = 1000;
constexpr auto kStopPollInterval = std::chrono::milliseconds(100);
constexpr size_t kReplayBufferBytes = 1u << 20;

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "tarnwick";
    return std::string(path, static_cast<size_t>(length));
}

std::string ActivateErrorText(const std::string& name, int status, pcap_t* handle) {
    const std::string prefix = "cannot capture on " + name + ": ";
    switch (status) {
    case PCAP_ERROR_PERM_DENIED:
        return prefix + "permission denied. Run tarnwick as root, or grant it the capabilities with: setcap "
                        "cap_net_raw,cap_net_admin+eip " + ExecutablePath();
    case PCAP_ERROR_NO_SUCH_DEVICE:
        return prefix + "no such adapter. See tarnwick --list-adapters.";
    case PCAP_ERROR_IFACE_NOT_UP:
        return prefix + "the adapter is down. Bring it up and start again.";
    default:
        return prefix + pcap_statustostr(status) + " (" + pcap_geterr(handle) + ")";
    }
}

// Only TCP leaves the kernel.
bool InstallTcpFilter(pcap_t* handle, std::string* error) {
    bpf_program program{};
    if (pcap_compile(handle, &program, "tcp", 1, PCAP_NETMASK_UNKNOWN) != 0) {
        *error = std::string("cannot compile the capture filter: ") + pcap_geterr(handle);
        return false;
    }
    const bool installed = pcap_setfilter(handle, &program) == 0;
    if (!installed) *error = std::string("cannot install the capture filter: ") + pcap_geterr(handle);
    pcap_freecode(&program);
    return installed;
}

std::optional<Ipv4Address> OwnAddressOfAdapter(const std::string& name) {
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* adapters = nullptr;
    if (pcap_findalldevs(&adapters, errorText) != 0) return std::nullopt;
    std::optional<Ipv4Address> address;
    for (const pcap_if_t* adapter = adapters; adapter; adapter = adapter->next)
        if (adapter->name && name == adapter->name) {
            address = FirstUsableAddress(adapter->addresses);
            break;
        }
    pcap_freealldevs(adapters);
    return address;
}

// The sender of the first TCP payload beginning with "GET " in the file.
std::optional<Ipv4Address> FirstRequestSender(const std::string& path) {
    char errorText[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline(path.c_str(), errorText);
    if (!handle) return std::nullopt;
    std::optional<Ipv4Address> sender;
    if (pcap_datalink(handle) == DLT_EN10MB) {
        pcap_pkthdr* header = nullptr;
        const u_char* bytes = nullptr;
        while (!sender && pcap_next_ex(handle, &header, &bytes) == 1) {
            const PacketView frame(bytes, header->caplen);
            TcpFrame tcp;
            if (TcpFrame::Parse(frame, tcp) && frame.StartsWith(tcp.payloadStart, "GET ")) sender = tcp.sourceAddress;
        }
    }
    pcap_close(handle);
    return sender;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

CaptureSession::CaptureSession(const std::string& adapterName) : name_(adapterName) {
    const auto address = OwnAddressOfAdapter(adapterName);
    if (!address) {
        startError_ = "cannot capture on " + adapterName +
                      ": it is not a usable adapter (no IPv4 address). See tarnwick --list-adapters.";
        return;
    }
    ownAddress_ = *address;

    char errorText[PCAP_ERRBUF_SIZE] = {};
    handle_ = pcap_create(adapterName.c_str(), errorText);
    if (!handle_) {
        startError_ = "cannot capture on " + adapterName + ": " + errorText;
        return;
    }
    pcap_set_snaplen(handle_, kSnapshotLength);
    pcap_set_promisc(handle_, 0);
    pcap_set_timeout(handle_, kReadTimeoutMs);
    // Deliver each packet at once rather than a buffer-full per time-out, so a video shows up promptly.
    pcap_set_immediate_mode(handle_, 1);
    if (const int status = pcap_activate(handle_); status < 0) {
        startError_ = ActivateErrorText(adapterName, status, handle_);
        return;
    }
    std::string filterError;
    if (!InstallTcpFilter(handle_, &filterError)) {
        startError_ = "cannot capture on " + adapterName + ": " + filterError;
        return;
    }
    ethernet_ = pcap_datalink(handle_) == DLT_EN10MB;
    StartThread();
}

std::unique_ptr<CaptureSession> CaptureSession::OpenFile(const std::string& path,
                                                          std::optional<Ipv4Address> ownAddress,
                                                          std::string* error) {
    std::unique_ptr<CaptureSession> session(new CaptureSession());
    session->name_ = BaseName(path);
    session->replay_ = true;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (error) *error = "cannot read capture file " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    // A large read buffer: a replay reads the whole file as fast as it can.
    std::setvbuf(file, nullptr, _IOFBF, kReplayBufferBytes);
    char errorText[PCAP_ERRBUF_SIZE] = {};
    session->handle_ = pcap_fopen_offline(file, errorText);  // closes the file with the handle
    if (!session->handle_) {
        std::fclose(file);
        if (error) *error = "cannot read capture file " + path + ": " + errorText;
        return nullptr;
    }
    // No filter program here: the detector itself passes over everything but TCP, and running the
    // program in user space for every packet of a file would only slow the replay down.
    session->ethernet_ = pcap_datalink(session->handle_) == DLT_EN10MB;
    if (!ownAddress) ownAddress = FirstRequestSender(path);
    if (ownAddress) session->ownAddress_ = *ownAddress;
    session->StartThread();
    return session;
}

CaptureSession::~CaptureSession() {
    stop_.store(true);
    if (handle_ && thread_.joinable()) pcap_breakloop(handle_);
    {
        std::lock_guard lock(callbackMutex_);
        callbackInstalled_.notify_all();
    }
    while (!Finished()) std::this_thread::sleep_for(kStopPollInterval);
    if (thread_.joinable()) thread_.join();
    if (handle_) pcap_close(handle_);
    ignored_.Clear();
    pending_.Clear();
}

void CaptureSession::SetDetectionCallback(DetectionCallback callback) {
    std::lock_guard lock(callbackMutex_);
    callback_.store(callback);
    callbackInstalled_.notify_all();
}

void CaptureSession::SetFinishedNotifier(std::function<void()> notifier) {
    std::lock_guard lock(callbackMutex_);
    finishedNotifier_ = std::move(notifier);
    if (finishedNotifier_ && Finished()) finishedNotifier_();
}

void CaptureSession::IgnoreUrl(const std::string& url, int count) { ignored_.IgnoreUrl(url, count); }

void CaptureSession::StartThread() {
    started_ = true;
    // Set here, not by the thread, so a destructor running right after construction waits for it.
    finished_.store(false);
    thread_ = std::thread(&CaptureSession::Run, this);
}

void CaptureSession::Deliver(DetectedVideo video) {
    if (const DetectionCallback callback = callback_.load()) callback(std::move(video));
}

void CaptureSession::Run() {
    pending_.Clear();
    {
        HttpVideoDetector detector(
            ownAddress_, pending_, ignored_, [this](DetectedVideo video) { Deliver(std::move(video)); }, name_);
        if (replay_) {
            std::unique_lock lock(callbackMutex_);
            callbackInstalled_.wait(lock, [this] { return callback_.load() != nullptr || stop_.load(); });
        }
        while (!stop_.load()) {
            pcap_pkthdr* header = nullptr;
            const u_char* bytes = nullptr;
            const int status = pcap_next_ex(handle_, &header, &bytes);
            if (status < 0) break;
            if (status == 0 || !ethernet_) continue;
            detector.ProcessPacket(bytes, header->caplen, static_cast<int64_t>(header->ts.tv_sec));
        }
    }
    finished_.store(true, std::memory_order_release);
    std::lock_guard lock(callbackMutex_);
    if (finishedNotifier_) finishedNotifier_();
}

}  // namespace tarnwick
