// SPDX-License-Identifier: GPL-3.0-or-later
// tarnwick-capture: opens network adapters for live capture with Tarnwick's filter and buffer options,
// gives up its capabilities, and writes what it captures to standard output as a pcapng stream. It
// alone needs the right to capture; the program that reads the stream runs as the user.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/AdapterStreamer.h"
#include "app/ProcessPrivileges.h"
#include "capture/source/LiveAdapterSource.h"
#include "capture/source/PacketRing.h"

namespace {

using tarnwick::LiveAdapterSource;

constexpr int kMostBufferMiB = 4096;
// The kernel memory a caller other than root may pin with its rings, summed over its adapters: the
// rings stay locked in memory for as long as the helper runs. Eight adapters at the default size.
constexpr uint64_t kMostUserBufferMiB = 256;

volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t statisticsAsked = 0;

void OnStop(int) {
    stopSignal = 1;
}
void OnStatistics(int) {
    statisticsAsked = 1;
}

int Fail(const std::string& line, int status = 1) {
    std::fprintf(stderr, "tarnwick-capture: %s\n", line.c_str());
    return status;
}

// Opens /dev/null in place of any of descriptors 0-2 that is closed, before anything else is opened: a
// packet socket that became standard output or error would send the stream or a message out on its
// adapter as frames. False when that cannot be done.
bool FillStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened < 0) return false;
        if (opened != fd) {  // open() takes the lowest free one; should it not, the copy goes there
            const bool moved = dup2(opened, fd) == fd;
            close(opened);
            if (!moved) return false;
        }
    }
    return true;
}

// What the rings of a caller other than root may add up to, as a sentence when they are too much.
std::string BufferBeyondUserTotal(const std::vector<std::string>& adapters, int bufferMiB) {
    const uint64_t total = uint64_t(bufferMiB) * adapters.size();
    if (getuid() == 0 || total <= kMostUserBufferMiB) return {};
    std::string names;
    for (const auto& name : adapters) names += (names.empty() ? "" : ", ") + name;
    const std::string most = std::to_string(kMostUserBufferMiB);
    const std::string size = std::to_string(bufferMiB);
    if (adapters.size() == 1)
        return "cannot capture on " + names + ": --buffer-size " + size + " is more than the " + most +
               " MiB of kernel buffer that users other than root may have. Ask for " + most + " or less.";
    return "cannot capture on " + names + ": --buffer-size " + size + " for " + std::to_string(adapters.size()) +
           " adapters comes to " + std::to_string(total) + " MiB, more than the " + most +
           " MiB of kernel buffer in all that users other than root may have. Ask for " +
           std::to_string(kMostUserBufferMiB / adapters.size()) + " or less.";
}

std::string OwnPath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : "tarnwick-capture";
}

const char kUsage[] =
    "Usage: tarnwick-capture [--buffer-size MiB] --interface NAME [--interface NAME]...\n"
    "\n"
    "Captures the TCP and UDP traffic of the named adapters and writes it to standard output as a pcapng\n"
    "stream, one interface per adapter; SIGUSR1 adds each adapter's statistics (packets received and\n"
    "dropped), and SIGINT or SIGTERM ends the stream with them. Tarnwick starts it by itself when it may\n"
    "not capture; it needs the capabilities cap_net_raw,cap_net_admin and gives them up once the\n"
    "adapters are open. As the Debian package installs it, root and the members of the group tarnwick\n"
    "may run it (join with: sudo adduser $USER tarnwick, then log in again).\n"
    "\n"
    "  -i, --interface NAME    an adapter to capture on (repeatable)\n"
    "  -B, --buffer-size MiB   the kernel's capture buffer per adapter (default 32; for users other\n"
    "                          than root at most 256 in all)\n"
    "      --share-pages       hand packets to an output pipe by reference, for a reader that copies\n"
    "                          them out with read() (Tarnwick does); not for one that splices them on\n"
    "      --ring-blocks       pass the kernel's blocks of packets whole, in blocks of a local type\n"
    "                          that Tarnwick unpacks (other readers see no packets)\n"
    "  -h, --help              this text\n";

struct Options {
    std::vector<std::string> adapters;
    int bufferMiB = LiveAdapterSource::kDefaultBufferMiB;
    bool help = false;
    bool sharePages = false;
    bool ringBlocks = false;
    std::string error;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc && options.error.empty(); ++i) {
        const std::string option = argv[i];
        const bool takesValue =
            option == "-i" || option == "--interface" || option == "-B" || option == "--buffer-size";
        if (option == "-h" || option == "--help") {
            options.help = true;
        } else if (option == "--share-pages") {
            options.sharePages = true;
        } else if (option == "--ring-blocks") {
            options.ringBlocks = true;
        } else if (!takesValue) {
            options.error = "unknown option " + option;
        } else if (i + 1 >= argc) {
            options.error = option + " needs a value";
        } else if (option == "-i" || option == "--interface") {
            options.adapters.push_back(argv[++i]);
        } else {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || value < 1 || value > kMostBufferMiB)
                options.error = "--buffer-size takes a number of MiB from 1 to " + std::to_string(kMostBufferMiB);
            else
                options.bufferMiB = static_cast<int>(value);
        }
    }
    if (options.error.empty() && !options.help && options.adapters.empty())
        options.error = "name at least one --interface";
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever standard output was at the start is the stream's only place; never a descriptor opened later.
    const bool outputOpen = fcntl(STDOUT_FILENO, F_GETFD) != -1;
    if (!FillStandardDescriptors()) return Fail(std::string("cannot open /dev/null: ") + std::strerror(errno));
    // Set-ID would hand the whole process to whoever starts it; only file capabilities are accepted.
    if (tarnwick::RunsSetId())
        return Fail(
            "refusing to run set-user-ID or set-group-ID. Grant the capabilities instead: setcap "
            "cap_net_raw,cap_net_admin+eip " +
            OwnPath());
    const Options options = ParseOptions(argc, argv);
    if (!options.error.empty()) {
        std::fprintf(stderr, "tarnwick-capture: %s\n\n%s", options.error.c_str(), kUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!outputOpen) return Fail("standard output is closed: send the stream into a program or a file", 2);
    if (isatty(STDOUT_FILENO))
        return Fail("standard output is a terminal: send the stream into a program or a file", 2);
    if (const std::string beyond = BufferBeyondUserTotal(options.adapters, options.bufferMiB); !beyond.empty())
        return Fail(beyond, 2);
    // Names are checked before anything is opened with the capture capabilities.
    for (const auto& name : options.adapters)
        if (std::string error; !tarnwick::PacketRing::IsNetworkAdapter(name, &error)) return Fail(error);

    // The stop and statistics signals are taken only while the main thread waits in ppoll(); a reader
    // that goes away shows as a failed write, never as SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    sigset_t taken;
    sigemptyset(&taken);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&taken, number);
    pthread_sigmask(SIG_BLOCK, &taken, nullptr);
    struct sigaction stop {};
    stop.sa_handler = OnStop;
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &stop, nullptr);
    struct sigaction statistics {};
    statistics.sa_handler = OnStatistics;
    sigaction(SIGUSR1, &statistics, nullptr);

    std::vector<std::unique_ptr<tarnwick::PacketRing>> adapters;
    for (const auto& name : options.adapters) {
        std::string error;
        bool denied = false;
        auto source = tarnwick::PacketRing::Open(name, options.bufferMiB, &error, &denied);
        if (!source) {
            if (denied)
                error += " The capture helper " + OwnPath() +
                         " needs the capabilities cap_net_raw,cap_net_admin: setcap cap_net_raw,cap_net_admin+eip " +
                         OwnPath() + " (the Debian package grants them for the members of the group tarnwick).";
            return Fail(error);
        }
        adapters.push_back(std::move(source));
    }
    // Open sockets keep capturing without any capability; nothing later needs one.
    if (std::string error; !tarnwick::DropAllCapabilities(&error))
        return Fail("cannot give up its capabilities: " + error);

    tarnwick::AdapterStreamer streamer(STDOUT_FILENO, std::move(adapters), options.adapters, options.sharePages,
                                       options.ringBlocks);
    if (!streamer.Start()) {
        const std::string failure = streamer.Failure();
        return failure.empty() ? 0 : Fail(failure);  // empty: nobody reads the stream
    }
    sigset_t waiting;
    pthread_sigmask(SIG_SETMASK, nullptr, &waiting);
    for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigdelset(&waiting, number);
    while (!stopSignal && !streamer.Ended()) {
        // POLLERR on standard output: the reading end of its pipe is closed.
        pollfd waits[2] = {{STDOUT_FILENO, 0, 0}, {streamer.WakeUp(), POLLIN, 0}};
        if (ppoll(waits, 2, nullptr, &waiting) > 0 && (waits[0].revents & (POLLERR | POLLHUP))) break;
        if (statisticsAsked) {
            statisticsAsked = 0;
            streamer.RequestStatistics();
        }
    }
    // Stopped by a signal, the stream gets what the kernel captured until then; not after a failure.
    streamer.Stop(stopSignal && !streamer.Ended());
    const std::string failure = streamer.Failure();
    if (!failure.empty()) return Fail(failure);
    return 0;
}
