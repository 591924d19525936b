// SPDX-License-Identifier: GPL-3.0-or-later
// Copies an HLS or DASH stream into one file with ffmpeg, without re-encoding.
#include "download/StreamDownloader.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>

#include "download/CapturedRequestHeaders.h"
#include "download/DownloadTargetFile.h"
#include "download/FfmpegProgressReader.h"
#include "download/LoopbackRelay.h"
#include "download/MediaDurationProbe.h"

extern char** environ;

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;
constexpr auto kStopGrace = std::chrono::seconds(3);
constexpr uint32_t kProbeTimeoutMs = 30 * 1000;

// Both ends close on exec; the child gets its end through a dup2 of the spawn.
struct Pipe {
    int read = -1;
    int write = -1;
    bool Open() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return false;
        read = ends[0];
        write = ends[1];
        return true;
    }
    void CloseWrite() {
        if (write >= 0) close(write);
        write = -1;
    }
    ~Pipe() {
        CloseWrite();
        if (read >= 0) close(read);
    }
};

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Ends the child: politely first, so it closes its connections, then for good.
void StopChild(pid_t pid, int* status) {
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + kStopGrace;
    while (Clock::now() < deadline) {
        if (waitpid(pid, status, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
}

// ffmpeg's environment: ours without the proxy exceptions, which would let ffmpeg go around the relay.
std::vector<char*> CopierEnvironment() {
    std::vector<char*> variables;
    for (char** variable = environ; *variable; ++variable) {
        const std::string_view text(*variable);
        if (text.rfind("no_proxy=", 0) == 0 || text.rfind("NO_PROXY=", 0) == 0) continue;
        variables.push_back(*variable);
    }
    variables.push_back(nullptr);
    return variables;
}

}  // namespace

std::vector<std::string> StreamDownloader::Arguments(const std::string& url, const std::string& output,
                                                     const std::string& format, const std::string& proxyUrl) {
    return {"-nostdin", "-hide_banner", "-nostats", "-progress", "pipe:1",
            // The DASH reader names each fragment it asks for only at this level; the tags tell ffmpeg's
            // chatter from what it reports.
            "-loglevel", "level+verbose",
            // A playlist comes from the network: whatever it names is fetched over the network only, and every
            // fetch goes through the relay (the playlist readers hand the proxy on to their segments).
            "-protocol_whitelist", "http,https,tcp,tls,crypto,httpproxy", "-http_proxy", proxyUrl, "-i", url, "-c",
            "copy", "-f", format, "-y", output};
}

std::string StreamDownloader::FormatFor(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "mp4";
    const std::string extension = Lower(path.substr(dot + 1));
    if (extension == "ts" || extension == "m2ts" || extension == "mts") return "mpegts";
    if (extension == "mkv") return "matroska";
    if (extension == "webm") return "webm";
    if (extension == "mov") return "mov";
    if (extension == "flv") return "flv";
    if (extension == "avi") return "avi";
    return "mp4";
}

std::string StreamDownloader::ErrorText() const {
    std::lock_guard lock(errorLock_);
    return error_;
}

void StreamDownloader::SetError(std::string text) {
    std::lock_guard lock(errorLock_);
    error_ = std::move(text);
}

int StreamDownloader::Download() {
    SetError({});
    LoopbackRelay relay;
    relay.caBundle = caBundle;
    relay.captured = CapturedRequestHeaders::Parse(capturedRequest);
    relay.stallLimitMs = stallLimitMs;
    if (!relay.Start()) {
        SetError("Cannot start the relay that ffmpeg fetches through: " + relay.Error());
        return 0;
    }
    DownloadTargetFile target;
    if (!target.OpenFresh(filePath)) {
        SetError("Cannot write " + filePath + ": " + target.Error());
        return 0;
    }
    if (!RunCopier(target.WritePath(), relay)) return 0;  // the target file discards the partial copy
    struct stat info {};
    if (::fstat(target.Descriptor(), &info) != 0 || info.st_size == 0) {
        const std::string problem = relay.ServerProblem();
        SetError("ffmpeg ended without writing anything" + (problem.empty() ? "." : " (" + problem + ")."));
        return 0;
    }
    if (!target.Commit()) {
        SetError("Cannot write " + filePath + ": " + target.Error());
        return 0;
    }
    return 1;
}

bool StreamDownloader::CopiedWhole(const FfmpegProgressReader& reader, const std::string& output) const {
    const std::optional<int64_t> duration = reader.DurationUs();
    if (!duration || *duration <= 0) return false;  // a live stream: nothing to measure the copy against
    const int64_t needed = *duration - kWholeToleranceUs;
    // ffmpeg's figure is the furthest of all streams: one stream could stop short while another runs on.
    if (const auto streams = MediaDurationProbe::StreamDurationsUs(MediaDurationProbe::ProbePathFor(ffmpegPath), output,
                                                                   kProbeTimeoutMs)) {
        for (int64_t streamUs : *streams)
            if (streamUs < needed) return false;
        return true;
    }
    return reader.CopiedUs() >= needed;
}

bool StreamDownloader::RunCopier(const std::string& output, const LoopbackRelay& relay) {
    Pipe progressPipe, logPipe;
    if (!progressPipe.Open() || !logPipe.Open()) {
        SetError(std::string("Cannot start ffmpeg: ") + std::strerror(errno));
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, progressPipe.write, 1);
    posix_spawn_file_actions_adddup2(&actions, logPipe.write, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The capture threads block the stop signals; ffmpeg must take them, with their default meaning.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGHUP}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<std::string> arguments = Arguments(url, output, FormatFor(filePath), relay.ProxyUrl());
    arguments.insert(arguments.begin(), ffmpegPath);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<char*> environment = CopierEnvironment();
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, ffmpegPath.c_str(), &actions, &attributes, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    progressPipe.CloseWrite();
    logPipe.CloseWrite();
    if (spawned != 0) {
        if (spawned == ENOENT)
            SetError("Saving a stream needs ffmpeg, which was not found (" + ffmpegPath +
                     "). Install it with: apt-get install ffmpeg");
        else
            SetError("Cannot start ffmpeg (" + ffmpegPath + "): " + std::strerror(spawned));
        return false;
    }

    FfmpegProgressReader reader;
    bool open[2] = {true, true};
    auto lastHeard = Clock::now();
    int status = 0;
    bool stalled = false;
    while (open[0] || open[1]) {
        if (aborted_.load()) {
            StopChild(pid, &status);
            return false;
        }
        if (stallLimitMs != 0 && Clock::now() - lastHeard > std::chrono::milliseconds(stallLimitMs)) {
            stalled = true;
            StopChild(pid, &status);
            break;
        }
        pollfd fds[2] = {{progressPipe.read, POLLIN, 0}, {logPipe.read, POLLIN, 0}};
        for (int i = 0; i < 2; ++i)
            if (!open[i]) fds[i].fd = -1;
        if (poll(fds, 2, kPollMs) < 0 && errno != EINTR) {
            SetError(std::string("Cannot follow ffmpeg: ") + std::strerror(errno));
            StopChild(pid, &status);
            return false;
        }
        bool progressed = false;
        for (int i = 0; i < 2; ++i) {
            if (!open[i] || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                if (got == 0 || errno != EINTR) open[i] = false;
                continue;
            }
            lastHeard = Clock::now();
            if (i == 0) {
                reader.ReadProgress(std::string_view(buffer, static_cast<size_t>(got)));
                progressed = true;
            } else {
                reader.ReadLog(std::string_view(buffer, static_cast<size_t>(got)));
            }
        }
        if (progressed && onProgress) onProgress({reader.BytesWritten(), reader.CopiedUs(), reader.DurationUs()});
    }
    if (!stalled) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (aborted_.load()) return false;
    if (stalled) {
        SetError("Nothing arrived for " + std::to_string(stallLimitMs / 1000) +
                 " seconds: the stream could not be saved.");
        return false;
    }
    // What the relay met on the way (an untrusted certificate, an unreachable server) says more than ffmpeg.
    const std::string serverProblem = relay.ServerProblem();
    const std::string because = serverProblem.empty() ? std::string() : " (" + serverProblem + ")";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        if (reader.SkippedSegmentLine().empty()) return true;
        if (reader.SkippedOnlyAtEnd() && CopiedWhole(reader, output)) return true;
        SetError("ffmpeg could not fetch every segment of the stream: " + reader.SkippedSegmentLine() + because);
        return false;
    }
    std::string what = reader.LastLogLine();
    if (what.empty()) what = "no reason given";
    what += because;
    if (WIFEXITED(status))
        SetError("ffmpeg could not copy the stream (exit status " + std::to_string(WEXITSTATUS(status)) + "): " + what);
    else
        SetError("ffmpeg was ended by signal " + std::to_string(WTERMSIG(status)) + ": " + what);
    return false;
}

}  // namespace tarnwick
