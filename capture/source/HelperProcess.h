// SPDX-License-Identifier: GPL-3.0-or-later
// A helper program started without a shell, in a process group of its own, whose standard output and
// error come back through pipes. Ended and waited for when the object goes.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

class HelperProcess {
public:
    // argv[0] is the program's path; it gets an empty environment and /dev/null as standard input.
    // Nothing, with *error set and *errorNumber the errno, when it cannot be started.
    static std::unique_ptr<HelperProcess> Start(const std::vector<std::string>& argv, std::string* error,
                                                int* errorNumber);
    // Asks it to end (SIGTERM), waits about a second, then kills it.
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // The read end of its standard output.
    int Output() const { return output_; }
    pid_t Pid() const { return pid_; }
    // Any thread; nothing happens once it has been waited for.
    void Signal(int signal) const;
    // Its exit status (or 128 + signal) once it ended within timeoutMs; nothing while it runs.
    std::optional<int> WaitForExit(int timeoutMs);
    // What it wrote on standard error so far (never waits).
    std::string ErrorText();

private:
    HelperProcess() = default;

    pid_t pid_ = -1;
    int pidDescriptor_ = -1;
    int output_ = -1;
    int errors_ = -1;
    std::optional<int> status_;
    std::string errorText_;
};

}  // namespace tarnwick
