// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the tarnwick executable as a child process for tests, without a shell.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace tarnwick::testing {

class ChildProcess {
public:
    // The child's exit status when it cannot become runAsUser, and when the program cannot be started; the
    // reason is on its standard error.
    static constexpr int kCannotDropUser = 126;
    static constexpr int kCannotRun = 127;

    // runAsUser >= 0: the child drops to that user id (and group) before it starts the program.
    // standardInput >= 0: the child reads that descriptor as its standard input (the caller keeps it).
    explicit ChildProcess(const std::vector<std::string>& argv, int runAsUser = -1, int standardInput = -1) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        // Made before the fork: the child only writes them.
        const std::string cannotDrop = "cannot become user " + std::to_string(runAsUser) + ": ";
        const std::string cannotRun = "cannot run " + argv[0] + ": ";
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        // Another user does not get this process's temporary folder: it may lie where only we can enter.
        std::vector<char*> environment;
        for (char** variable = environ; *variable; ++variable)
            if (runAsUser < 0 || !NamesTemporaryFolder(*variable)) environment.push_back(*variable);
        environment.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            if (standardInput >= 0) dup2(standardInput, STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(err[0]);
            close(out[1]);
            close(err[1]);
            if (runAsUser >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(runAsUser)) != 0 ||
                                   setuid(static_cast<uid_t>(runAsUser)) != 0))
                ExitSaying(cannotDrop, kCannotDropUser);
            execve(args[0], args.data(), environment.data());
            ExitSaying(cannotRun, kCannotRun);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~ChildProcess() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    // A deeper output pipe, as Tarnwick gives its capture helper.
    bool WidenOutput(int bytes) { return fcntl(out_, F_SETPIPE_SZ, bytes) >= bytes; }
    pid_t Pid() const { return pid_; }

    // Reads what is available on stdout and stderr within timeout; false once both are closed.
    bool Pump(std::chrono::milliseconds timeout) {
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (out_ < 0 && err_ < 0) return false;
        if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0) return true;
        ReadFrom(fds[0], out_, stdout_);
        ReadFrom(fds[1], err_, stderr_);
        return out_ >= 0 || err_ >= 0;
    }
    // Reads everything until the child closes its outputs, then waits for it; returns the exit status.
    int Finish() {
        while (Pump(std::chrono::milliseconds(1000))) {
        }
        return Wait();
    }
    // Exit status, or 128 + signal; -1 when it cannot be waited for.
    int Wait() {
        if (status_ >= 0 || pid_ <= 0) return status_;
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
    }
    bool Exited() {
        if (status_ >= 0) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    const std::string& Stdout() const { return stdout_; }
    const std::string& Stderr() const { return stderr_; }

private:
    static bool NamesTemporaryFolder(const char* variable) {
        for (const char* name : {"TMPDIR=", "TMP=", "TEMP=", "TEMPDIR="})
            if (strncmp(variable, name, strlen(name)) == 0) return true;
        return false;
    }

    // In the child after a failed call: says what failed and why (the error's name), then exits.
    [[noreturn]] static void ExitSaying(const std::string& what, int status) {
        const char* name = strerrorname_np(errno);
        if (!name) name = "unknown error";
        [[maybe_unused]] ssize_t written = write(STDERR_FILENO, what.data(), what.size());
        written = write(STDERR_FILENO, name, strlen(name));
        written = write(STDERR_FILENO, "\n", 1);
        _exit(status);
    }

    static void ReadFrom(const pollfd& fd, int& descriptor, std::string& into) {
        if (descriptor < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) return;
        char buffer[4096];
        const ssize_t n = read(descriptor, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
        } else {
            close(descriptor);
            descriptor = -1;
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    int status_ = -1;
    std::string stdout_, stderr_;
};

}  // namespace tarnwick::testing
