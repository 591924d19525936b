// SPDX-License-Identifier: GPL-3.0-or-later
// A helper program started without a shell, whose standard output and error come back through pipes.
#include "capture/source/HelperProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tarnwick {

namespace {

// A deep pipe lets the helper write a whole batch while the reader is busy with the one before.
constexpr int kOutputPipeBytes = 1 << 20;
constexpr int kEndWaitMs = 1000;

void CloseBoth(int fds[2]) {
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
}

}  // namespace

std::unique_ptr<HelperProcess> HelperProcess::Start(const std::vector<std::string>& argv, std::string* error,
                                                    int* errorNumber) {
    int output[2] = {-1, -1};
    int errors[2] = {-1, -1};
    auto fail = [&](int cause) {
        CloseBoth(output);
        CloseBoth(errors);
        *errorNumber = cause;
        *error = std::strerror(cause);
        return nullptr;
    };
    if (pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) return fail(errno);
    fcntl(output[0], F_SETPIPE_SZ, kOutputPipeBytes);  // a smaller pipe only costs wake-ups
    fcntl(errors[0], F_SETFL, O_NONBLOCK);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // Signals blocked or caught here (the stop-signal watcher) must not reach the helper so; and a
    // process group of its own keeps a terminal's Ctrl-C for us, who then end it in order.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    std::vector<char*> arguments;
    for (const auto& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    char* environment[] = {nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, arguments[0], &actions, &attributes, arguments.data(), environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return fail(spawned);
    close(output[1]);
    close(errors[1]);

    std::unique_ptr<HelperProcess> process(new HelperProcess());
    process->pid_ = pid;
    process->output_ = output[0];
    process->errors_ = errors[0];
    // A descriptor that polls readable when it ends, for waits with a time limit (Linux 5.3 on).
    process->pidDescriptor_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    return process;
}

HelperProcess::~HelperProcess() {
    if (output_ >= 0) close(output_);  // a helper blocked in a write sees the reader gone
    if (!WaitForExit(0)) {
        Signal(SIGTERM);
        if (!WaitForExit(kEndWaitMs)) {
            Signal(SIGKILL);
            WaitForExit(-1);
        }
    }
    if (errors_ >= 0) close(errors_);
    if (pidDescriptor_ >= 0) close(pidDescriptor_);
}

void HelperProcess::Signal(int signal) const {
    // Until it is waited for, the process id cannot be reused.
    if (!status_ && pid_ > 0) kill(pid_, signal);
}

std::optional<int> HelperProcess::WaitForExit(int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!status_) {
        int status = 0;
        const pid_t waited = waitpid(pid_, &status, WNOHANG);
        if (waited == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (waited < 0 && errno != EINTR) {
            status_ = -1;  // reaped elsewhere
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (timeoutMs >= 0 && left <= 0) break;
        const int wait = timeoutMs < 0 ? 100 : static_cast<int>(std::min<long>(left, 100));
        if (pidDescriptor_ >= 0) {
            pollfd exited{pidDescriptor_, POLLIN, 0};
            poll(&exited, 1, wait);
        } else {
            usleep(static_cast<useconds_t>(std::min(wait, 10)) * 1000);
        }
    }
    return status_;
}

std::string HelperProcess::ErrorText() {
    char buffer[4096];
    for (;;) {
        const ssize_t count = errors_ >= 0 ? read(errors_, buffer, sizeof buffer) : 0;
        if (count > 0) {
            if (errorText_.size() < 65536) errorText_.append(buffer, static_cast<size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        return errorText_;
    }
}

}  // namespace tarnwick
