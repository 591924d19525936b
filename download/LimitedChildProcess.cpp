// SPDX-License-Identifier: GPL-3.0-or-later
// A decoder run as a child process with a time limit and a memory limit, its output read into memory.
#include "download/LimitedChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMaxErrorBytes = 2048;
// How often a running child's stop flag is looked at.
constexpr int kStopPollMs = 100;

void CloseBoth(int ends[2]) {
    if (ends[0] >= 0) close(ends[0]);
    if (ends[1] >= 0) close(ends[1]);
}

// Only calls that are safe between fork and exec in a process with threads.
[[noreturn]] void BecomeChild(const char* program, char* const* argv, char* const* environment, int output, int errors,
                              int input, const std::optional<LimitedChildProcess::Account>& account,
                              const LimitedChildProcess::Limits& limits) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGQUIT, SIGCHLD}) sigaction(signal, &standard, nullptr);
    const int nothing = open("/dev/null", O_RDONLY);
    if (nothing < 0 || dup2(nothing, 0) < 0 || dup2(output, 1) < 0 || dup2(errors, 2) < 0) _exit(127);
    if (input == 3 ? fcntl(3, F_SETFD, 0) != 0 : dup2(input >= 0 ? input : nothing, 3) < 0) _exit(127);
    // Whatever else this process has open (capture sockets, connections, files) stays here.
    if (close_range(4, ~0U, 0) != 0) _exit(127);
    const rlimit space{limits.addressSpaceBytes, limits.addressSpaceBytes};
    const rlimit cpu{limits.cpuSeconds, limits.cpuSeconds + 1};
    const rlimit zero{0, 0};
    if (setrlimit(RLIMIT_AS, &space) != 0 || setrlimit(RLIMIT_CPU, &cpu) != 0 || setrlimit(RLIMIT_CORE, &zero) != 0 ||
        setrlimit(RLIMIT_FSIZE, &zero) != 0)
        _exit(127);
    if (chdir("/") != 0) _exit(127);
    if (account && (setgroups(0, nullptr) != 0 || setgid(account->gid) != 0 || setuid(account->uid) != 0)) _exit(127);
    execve(program, argv, environment);
    _exit(127);
}

}  // namespace

std::optional<LimitedChildProcess::Account> LimitedChildProcess::ChildAccount() {
    if (geteuid() != 0) return std::nullopt;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (getpwnam_r("nobody", &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_uid != 0)
        return Account{found->pw_uid, found->pw_gid};
    return Account{65534, 65534};
}

std::string LimitedChildProcess::FindProgram(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string folders = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

std::string LimitedChildProcess::Outcome::Describe(const std::string& program) const {
    std::string text;
    switch (end) {
        case End::Exited:
            // The status the child gives when the program cannot be run.
            if (code == 127 && errors.empty()) return program + " could not be run";
            text = program + " ended with status " + std::to_string(code);
            break;
        case End::Signalled:
            text = program + " crashed (" +
                   (sigdescr_np(code) ? std::string(sigdescr_np(code)) : "signal " + std::to_string(code)) + ")";
            break;
        case End::TimedOut:
            return program + " took too long and was stopped";
        case End::OutputTooLong:
            return program + " wrote more than expected and was stopped";
        case End::Stopped:
            return program + " was stopped";
        case End::NotStarted:
            return program + " could not be started";
    }
    // ffmpeg's own last line says why; control characters of it are not shown.
    std::string reason;
    size_t lineEnd = errors.find_last_not_of("\r\n");
    if (lineEnd != std::string::npos) {
        size_t lineStart = errors.rfind('\n', lineEnd);
        lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
        reason = errors.substr(lineStart, std::min<size_t>(lineEnd + 1 - lineStart, 200));
        for (char& c : reason)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return reason.empty() ? text : text + ": " + reason;
}

LimitedChildProcess::Outcome LimitedChildProcess::Run(const std::vector<std::string>& arguments, const Limits& limits,
                                                      int input, const std::atomic<bool>* stop) {
    Outcome outcome;
    if (arguments.empty()) return outcome;
    const std::string program = FindProgram(arguments[0]);
    if (program.empty()) return outcome;
    // Everything the child needs is made before fork: after it, the child may not allocate.
    std::vector<std::string> texts = arguments;
    std::vector<char*> argv;
    for (auto& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    std::string pathVariable = "PATH=/usr/local/bin:/usr/bin:/bin";
    std::string localeVariable = "LC_ALL=C";
    char* environment[] = {pathVariable.data(), localeVariable.data(), nullptr};
    const std::optional<Account> account = ChildAccount();

    int output[2] = {-1, -1}, errors[2] = {-1, -1};
    if (pipe2(output, O_CLOEXEC) != 0) return outcome;
    if (pipe2(errors, O_CLOEXEC) != 0) {
        CloseBoth(output);
        return outcome;
    }
    const pid_t pid = fork();
    if (pid == 0) BecomeChild(program.c_str(), argv.data(), environment, output[1], errors[1], input, account, limits);
    close(output[1]);
    close(errors[1]);
    if (pid < 0) {
        close(output[0]);
        close(errors[0]);
        return outcome;
    }
    setpgid(pid, pid);  // also here, so that the group exists whichever runs first

    const auto deadline = Clock::now() + std::chrono::milliseconds(limits.timeoutMs);
    End cut = End::Exited;
    pollfd ends[2] = {{output[0], POLLIN, 0}, {errors[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && cut == End::Exited) {
        if (stop && stop->load()) {
            cut = End::Stopped;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            cut = End::TimedOut;
            break;
        }
        const int ready = poll(ends, 2, static_cast<int>(std::min<int64_t>(left, kStopPollMs)));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (ends[i].fd < 0 || !(ends[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char block[16384];
            const ssize_t got = read(ends[i].fd, block, sizeof block);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) {
                close(ends[i].fd);
                ends[i].fd = -1;
                --open;
                continue;
            }
            std::string& into = i == 0 ? outcome.output : outcome.errors;
            const size_t bound = i == 0 ? limits.maxOutputBytes : kMaxErrorBytes;
            if (i == 0 && into.size() + static_cast<size_t>(got) > bound) {
                cut = End::OutputTooLong;
                break;
            }
            into.append(block, static_cast<size_t>(got));
            // Standard error keeps its last lines, which say why it failed.
            if (into.size() > bound) into.erase(0, into.size() - bound);
        }
    }
    for (const pollfd& end : ends)
        if (end.fd >= 0) close(end.fd);

    if (cut == End::Exited) {
        // Its outputs are closed: it is ending; it still gets until the deadline to do so. It is not reaped
        // yet, so its process group cannot have been handed to anyone else when it is killed below.
        for (;;) {
            siginfo_t info{};
            const int waited = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
            if (waited == 0 && info.si_pid == pid) break;
            if (waited < 0 && errno != EINTR) break;
            if (stop && stop->load())
                cut = End::Stopped;
            else if (Clock::now() >= deadline)
                cut = End::TimedOut;
            if (cut != End::Exited) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // The child, and whatever it left behind in its group, go.
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (cut != End::Exited) {
        outcome.end = cut;
        return outcome;
    }
    if (WIFEXITED(status)) {
        outcome.end = End::Exited;
        outcome.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        outcome.end = End::Signalled;
        outcome.code = WTERMSIG(status);
    }
    return outcome;
}

}  // namespace tarnwick
