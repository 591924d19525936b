// The capture helper run as its callers run it: what it refuses before it opens anything, where its
// stream may go and what a failed write means, what it holds and hands over when it stops.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "capture/source/PcapngReader.h"
#include "tests/support/ChildProcess.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ChildProcess;

const std::string kHelper = TARNWICK_CAPTURE_HELPER;

// Waits until the helper has written its stream's header, which it does once its adapters are open
// and its capabilities given up.
bool WaitForHeader(ChildProcess& helper) {
    const auto readyBy = Clock::now() + 10s;
    while (helper.Stdout().empty() && Clock::now() < readyBy && !helper.Exited()) helper.Pump(50ms);
    return !helper.Stdout().empty();
}

// Whether the helper may capture on lo here (run by root, or granted the capabilities).
bool HelperCaptures(std::string* reason) {
    ChildProcess helper({kHelper, "--interface", "lo", "--buffer-size", "1"});
    const bool captures = WaitForHeader(helper);
    if (!helper.Exited()) kill(helper.Pid(), SIGTERM);  // only while it has not been waited for
    helper.Finish();
    if (!captures) *reason = helper.Stderr().empty() ? "the capture helper did not start" : helper.Stderr();
    return captures;
}

// How a run of the helper with chosen standard descriptors ended.
struct Outcome {
    int status = -1;        // exit status, or 128 + signal
    std::string errors;     // its standard error, when kept
    bool outlived = false;  // killed at the time limit
};

// Runs the helper without a shell, its standard input and output the given descriptors (above 2; -1
// leaves them closed), its standard error kept or left closed; killed when it outlives limit.
Outcome RunWithDescriptors(const std::vector<std::string>& argv, int input, int output, bool keepErrors,
                           std::chrono::milliseconds limit) {
    Outcome outcome;
    int errors[2] = {-1, -1};
    if (keepErrors && pipe2(errors, O_CLOEXEC) != 0) return outcome;
    std::vector<char*> arguments;
    for (const auto& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    const int sources[3] = {input, output, errors[1]};
    const pid_t pid = fork();
    if (pid == 0) {
        for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
            if (sources[fd] < 0) close(fd);
            else dup2(sources[fd], fd);
        }
        close_range(STDERR_FILENO + 1, ~0u, 0);
        execv(arguments[0], arguments.data());
        _exit(127);
    }
    if (errors[1] >= 0) close(errors[1]);
    const auto deadline = Clock::now() + limit;
    while (errors[0] >= 0 && Clock::now() < deadline) {
        pollfd wait{errors[0], POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (poll(&wait, 1, static_cast<int>(std::max<long>(left, 1))) <= 0) continue;
        char buffer[4096];
        const ssize_t count = read(errors[0], buffer, sizeof buffer);
        if (count > 0) {
            outcome.errors.append(buffer, static_cast<size_t>(count));
        } else {
            close(errors[0]);
            errors[0] = -1;
        }
    }
    if (errors[0] >= 0) close(errors[0]);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            outcome.outlived = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
}

TEST(CaptureHelper, AFailedWriteIsAnErrorButAReaderThatLeftEndsItQuietly) {
    std::string reason;
    if (!HelperCaptures(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GT(input, STDERR_FILENO);
    ASSERT_GT(full, STDERR_FILENO);
    const Outcome diskFull = RunWithDescriptors({kHelper, "--interface", "lo"}, input, full, true, 10s);
    EXPECT_EQ(diskFull.status, 1);
    EXPECT_NE(diskFull.errors.find(std::string("cannot write the stream: ") + std::strerror(ENOSPC)), std::string::npos)
        << diskFull.errors;
    close(full);

    int pipeEnds[2];
    ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
    close(pipeEnds[0]);  // the reader is gone before the first write
    const Outcome readerGone = RunWithDescriptors({kHelper, "--interface", "lo"}, input, pipeEnds[1], true, 10s);
    close(pipeEnds[1]);
    close(input);
    EXPECT_EQ(readerGone.status, 0);
    EXPECT_EQ(readerGone.errors, "");
}

}  // namespace
}  // namespace tarnwick
