// Runs the tarnwick executable as a child process for tests, without a shell.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace tarnwick::testing {

class ChildProcess {
public:
    // runAsUser >= 0: the child drops to that user id (and group) before it starts the program.
    // standardInput >= 0: the child reads that descriptor as its standard input (the caller keeps it).
    explicit ChildProcess(const std::vector<std::string>& argv, int runAsUser = -1, int standardInput = -1) {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            if (standardInput >= 0) dup2(standardInput, STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            close(out[0]);
            close(err[0]);
            close(out[1]);
            close(err[1]);
            if (runAsUser >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(runAsUser)) != 0 || setuid(static_cast<uid_t>(runAsUser)) != 0))
                _exit(126);
            std::vector<char*> args;
            for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
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

// A copy of a program in a fresh folder under the system's temporary folder that every user may read
// and run, for children that drop to another user: the build folder may sit where only its owner can
// reach it (a checkout under /root). Removed with its folder when the object goes.
class PublicCopy {
public:
    explicit PublicCopy(const std::string& program) {
        namespace fs = std::filesystem;
        std::string pattern = (fs::temp_directory_path() / "tarnwick-public-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            error_ = "cannot make a folder under " + fs::temp_directory_path().string();
            return;
        }
        folder_ = pattern;
        std::error_code failure;
        fs::permissions(folder_, kEveryoneRuns, failure);
        path_ = Add(program);
    }

    // Copies another program into the same folder (beside the first, where programs look for their
    // helpers) and returns its path; empty when that failed, and Error() says why.
    std::string Add(const std::string& program) {
        namespace fs = std::filesystem;
        if (folder_.empty()) return {};
        const fs::path copy = folder_ / fs::path(program).filename();
        std::error_code failure;
        fs::copy_file(program, copy, failure);
        if (!failure) fs::permissions(copy, kEveryoneRuns, failure);
        if (failure) {
            error_ = "cannot copy " + program + " to " + copy.string() + ": " + failure.message();
            return {};
        }
        return copy.string();
    }
    ~PublicCopy() {
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    PublicCopy(const PublicCopy&) = delete;
    PublicCopy& operator=(const PublicCopy&) = delete;

    // Empty when no copy could be made; Error() then says why.
    const std::string& Path() const { return path_; }
    const std::string& Error() const { return error_; }

private:
    static constexpr auto kEveryoneRuns = std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                          std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                          std::filesystem::perms::others_exec;

    std::filesystem::path folder_;
    std::string path_;
    std::string error_;
};

// Grants a program the capture capabilities (as the Debian package grants the capture helper); false,
// with *error set, where that is not possible (not root, no file capabilities on this file system).
inline bool GrantCaptureCapabilities(const std::string& program, std::string* error) {
    ChildProcess setcap({"/usr/sbin/setcap", "cap_net_raw,cap_net_admin+eip", program});
    if (!setcap.Started() || setcap.Finish() != 0) {
        *error = "cannot grant " + program + " the capture capabilities: " + setcap.Stderr();
        return false;
    }
    return true;
}

}  // namespace tarnwick::testing
