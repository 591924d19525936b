// SPDX-License-Identifier: GPL-3.0-or-later
// A decoder run as a child process with a time limit and a memory limit, its output read into memory.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick {

// The child gets an argument list (never a shell), a process group of its own, standard input from
// /dev/null, the input file as descriptor 3 and no other descriptor of ours (no capture socket, no
// connection), a small environment without anything of this process's (no key log variable, no proxy),
// "/" as its working folder, no core file and no right to write files; started by root, it runs as the
// user nobody. It is killed, with its group, when it runs past the time limit, writes more than the
// output bound, or stop becomes true.
class LimitedChildProcess {
public:
    struct Limits {
        uint32_t timeoutMs = 10'000;
        uint64_t addressSpaceBytes = uint64_t{1} << 30;
        uint32_t cpuSeconds = 20;
        size_t maxOutputBytes = 64 * 1024;
    };

    enum class End : uint8_t { Exited, Signalled, TimedOut, OutputTooLong, Stopped, NotStarted };

    struct Outcome {
        End end = End::NotStarted;
        int code = 0;        // the exit status, or the signal
        std::string output;  // standard output, at most Limits::maxOutputBytes
        std::string errors;  // the start of standard error
        bool Succeeded() const { return end == End::Exited && code == 0; }
        // "ffprobe ended with status 1: ...", "ffmpeg was stopped after 10 seconds", ...
        std::string Describe(const std::string& program) const;
    };

    // The input as the child names it: it opens its descriptor 3 anew, so it needs no way to the file.
    static constexpr const char* kInputPath = "/proc/self/fd/3";

    // arguments[0] names the program: a path, or a name looked up in PATH. input: a descriptor the child
    // gets as 3, or -1.
    static Outcome Run(const std::vector<std::string>& arguments, const Limits& limits, int input = -1,
                       const std::atomic<bool>* stop = nullptr);

    // Who the child runs as: nobody when this process is root, else nothing (it runs as this user). A file
    // the child is to read must then belong to that user.
    struct Account {
        uid_t uid;
        gid_t gid;
    };
    static std::optional<Account> ChildAccount();

    // The program's path: as given when it holds a slash, else the first executable of that name in PATH;
    // empty when there is none.
    static std::string FindProgram(const std::string& name);
};

}  // namespace tarnwick
