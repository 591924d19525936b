// SPDX-License-Identifier: GPL-3.0-or-later
// The durations that ffprobe reads from a saved copy, stream by stream.
#include "download/MediaDurationProbe.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;
// A few durations are a few lines; anything longer is not ffprobe's answer.
constexpr size_t kMaxOutputBytes = 16 * 1024;

}  // namespace

std::string MediaDurationProbe::ProbePathFor(const std::string& ffmpegPath) {
    const size_t slash = ffmpegPath.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t at = ffmpegPath.rfind("ffmpeg");
    if (at == std::string::npos || at < nameStart) return "ffprobe";
    std::string path = ffmpegPath;
    path.replace(at, 6, "ffprobe");
    return path;
}

std::optional<int64_t> MediaDurationProbe::ParseSeconds(std::string_view text) {
    if (text.empty() || text.size() > 24) return std::nullopt;
    int64_t whole = 0;
    size_t at = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) whole = whole * 10 + (text[at] - '0');
    if (at == 0 || whole > 1'000'000'000) return std::nullopt;
    int64_t fractionUs = 0;
    if (at < text.size()) {
        if (text[at++] != '.') return std::nullopt;
        int64_t scale = 100000;
        for (; at < text.size(); ++at) {
            if (text[at] < '0' || text[at] > '9') return std::nullopt;
            fractionUs += (text[at] - '0') * scale;
            scale /= 10;
        }
    }
    return whole * 1'000'000 + fractionUs;
}

std::optional<std::vector<int64_t>> MediaDurationProbe::StreamDurationsUs(const std::string& ffprobePath,
                                                                          const std::string& file, uint32_t timeoutMs) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGHUP}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    // "file:" keeps a name that starts with "-" or names a protocol from being read as anything but a file.
    std::vector<std::string> arguments = {ffprobePath,       "-v",  "error",   "-show_entries",
                                          "stream=duration", "-of", "csv=p=0", "file:" + file};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, ffprobePath.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(ends[1]);
    if (spawned != 0) {
        close(ends[0]);
        return std::nullopt;
    }

    std::string output;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd readable{ends[0], POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;
        char block[4096];
        const ssize_t got = read(ends[0], block, sizeof block);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (output.size() + static_cast<size_t>(got) > kMaxOutputBytes) {
            timedOut = true;  // not ffprobe's answer: stop it the same way
            break;
        }
        output.append(block, static_cast<size_t>(got));
    }
    close(ends[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;

    std::vector<int64_t> durations;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string_view line(output.data() + start, end - start);
        // csv may end a line with a separator when a stream has more fields than asked.
        while (!line.empty() && (line.back() == '\r' || line.back() == ',')) line.remove_suffix(1);
        if (const auto duration = ParseSeconds(line)) durations.push_back(*duration);
        start = end + 1;
    }
    if (durations.empty()) return std::nullopt;
    return durations;
}

}  // namespace tarnwick
