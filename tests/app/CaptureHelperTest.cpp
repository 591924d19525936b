// SPDX-License-Identifier: GPL-3.0-or-later
// The capture helper run as its callers run it: what it refuses before it opens anything, where its
// stream may go and what a failed write means, what it holds and hands over when it stops.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
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
#include "tests/support/PublicCopy.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ChildProcess;

using testing::kNobody;
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
            if (sources[fd] < 0)
                close(fd);
            else
                dup2(sources[fd], fd);
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

// Frames on lo other than IPv4 and IPv6, as the kernel passes them by, for what must never be sent
// there: the helper's stream or messages written into a packet socket.
class LoopbackWatch {
public:
    LoopbackWatch() {
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL));
        if (fd_ < 0) {
            error_ = std::string("cannot watch lo: ") + std::strerror(errno);
            return;
        }
        sock_filter notIp[] = {
            BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 2, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IPV6, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, 0x40000),
            BPF_STMT(BPF_RET | BPF_K, 0),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(notIp)), notIp};
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = static_cast<int>(if_nametoindex("lo"));
        if (setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
            bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error_ = std::string("cannot watch lo: ") + std::strerror(errno);
            close(fd_);
            fd_ = -1;
        }
    }
    ~LoopbackWatch() {
        if (fd_ >= 0) close(fd_);
    }
    LoopbackWatch(const LoopbackWatch&) = delete;
    LoopbackWatch& operator=(const LoopbackWatch&) = delete;

    const std::string& Error() const { return error_; }
    // The frames seen since the watch began that carry text.
    int FramesCarrying(const std::string& text) {
        std::this_thread::sleep_for(100ms);  // what was sent last is still passed on
        int found = 0;
        std::vector<char> frame(1 << 17);
        for (;;) {
            const ssize_t count = recv(fd_, frame.data(), frame.size(), 0);
            if (count <= 0) break;
            const std::string_view bytes(frame.data(), static_cast<size_t>(count));
            if (bytes.find(text) != std::string_view::npos) ++found;
        }
        return found;
    }

private:
    int fd_ = -1;
    std::string error_;
};

TEST(CaptureHelper, ClosedStandardDescriptorsNeverBecomeItsPacketSocket) {
    std::string reason;
    if (!HelperCaptures(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    LoopbackWatch watch;
    if (!watch.Error().empty()) GTEST_SKIP() << watch.Error();
    const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GT(input, STDERR_FILENO);
    ASSERT_GT(full, STDERR_FILENO);

    // With standard output closed there is nowhere for the stream to go.
    const Outcome noOutput = RunWithDescriptors({kHelper, "--interface", "lo"}, input, -1, true, 5s);
    EXPECT_FALSE(noOutput.outlived) << "it ran on with its standard output closed";
    EXPECT_EQ(noOutput.status, 2);
    EXPECT_NE(noOutput.errors.find("standard output is closed"), std::string::npos) << noOutput.errors;

    // With standard error closed, the message about its failing output goes nowhere.
    const Outcome noErrors = RunWithDescriptors({kHelper, "--interface", "lo"}, input, full, false, 5s);
    EXPECT_FALSE(noErrors.outlived);
    EXPECT_EQ(noErrors.status, 1);
    close(input);
    close(full);

    EXPECT_EQ(watch.FramesCarrying("tarnwick-capture"), 0) << "the helper's bytes went out on lo as frames";
}

TEST(CaptureHelper, RefusesAnythingButNetworkAdaptersBeforeOpeningOne) {
    // The capture library also opens netfilter queues, USB, Bluetooth and D-Bus monitors by name.
    for (const std::string name :
         {"nfqueue", "nflog", "usbmon0", "bluetooth-monitor", "dbus-system", "no-such-adapter0"}) {
        SCOPED_TRACE(name);
        ChildProcess helper({kHelper, "--interface", "lo", "--interface", name});
        EXPECT_EQ(helper.Finish(), 1);
        EXPECT_NE(helper.Stderr().find("cannot capture on " + name + ": no such network adapter"), std::string::npos)
            << helper.Stderr();
        EXPECT_TRUE(helper.Stdout().empty());
    }
}

// The capability lines of /proc/PID/status ("CapBnd" -> its hexadecimal mask, "NoNewPrivs" -> 0 or 1).
std::map<std::string, std::string> PrivilegesOf(pid_t pid) {
    std::map<std::string, std::string> found;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string key = line.substr(0, colon);
        if (key.rfind("Cap", 0) == 0 || key == "NoNewPrivs")
            found[key] = line.substr(line.find_first_not_of(" \t", colon + 1));
    }
    return found;
}

TEST(CaptureHelper, RunByRootItKeepsNoCapabilityNotEvenInItsBoundingSet) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: only then may the helper empty its bounding set";
    std::string reason;
    if (!HelperCaptures(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    ChildProcess helper({kHelper, "--interface", "lo", "--buffer-size", "1"});
    ASSERT_TRUE(WaitForHeader(helper)) << helper.Stderr();
    const auto privileges = PrivilegesOf(helper.Pid());
    const std::string none = "0000000000000000";
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"}) {
        ASSERT_EQ(privileges.count(set), 1u) << set;
        EXPECT_EQ(privileges.at(set), none) << set;
    }
    EXPECT_EQ(privileges.count("NoNewPrivs") ? privileges.at("NoNewPrivs") : "", "1");
    ASSERT_EQ(kill(helper.Pid(), SIGTERM), 0);
    EXPECT_EQ(helper.Finish(), 0) << helper.Stderr();
}

TEST(CaptureHelper, UsersOtherThanRootHaveAKernelBufferTotal) {
    // A user other than root: nobody, running a copy it may reach, when the test runs as root.
    std::unique_ptr<testing::PublicCopy> copy;
    std::string helper = kHelper;
    int user = -1;
    if (geteuid() == 0) {
        copy = std::make_unique<testing::PublicCopy>(kHelper);
        ASSERT_FALSE(copy->Path().empty()) << copy->Error();
        helper = copy->Path();
        user = kNobody;
    }
    ChildProcess two({helper, "--buffer-size", "200", "--interface", "lo", "--interface", "lo"}, user);
    EXPECT_EQ(two.Finish(), 2);
    EXPECT_NE(two.Stderr().find("--buffer-size 200 for 2 adapters comes to 400 MiB, more than the 256 MiB"),
              std::string::npos)
        << two.Stderr();
    EXPECT_TRUE(two.Stdout().empty());
    ChildProcess one({helper, "--buffer-size", "257", "--interface", "lo"}, user);
    EXPECT_EQ(one.Finish(), 2);
    EXPECT_NE(one.Stderr().find("--buffer-size 257 is more than the 256 MiB"), std::string::npos) << one.Stderr();
    // Within the total the adapters are looked at (and these are not there).
    ChildProcess within(
        {helper, "--buffer-size", "128", "--interface", "no-such-adapter0", "--interface", "no-such-adapter1"}, user);
    EXPECT_EQ(within.Finish(), 1);
    EXPECT_NE(within.Stderr().find("no-such-adapter0: no such network adapter"), std::string::npos) << within.Stderr();
    // Root has no total.
    if (geteuid() == 0) {
        ChildProcess root(
            {kHelper, "--buffer-size", "4096", "--interface", "no-such-adapter0", "--interface", "no-such-adapter1"});
        EXPECT_EQ(root.Finish(), 1);
        EXPECT_NE(root.Stderr().find("no-such-adapter0: no such network adapter"), std::string::npos) << root.Stderr();
    }
}

// The bytes of the TCP stream sent to one port over lo (Ethernet framing) that the captured segments
// cover, however often each is seen and however they overlap, by the lengths their IP headers give (a
// segment may be longer than what was captured of it). The SYN gives the stream's start.
class StreamToPort final : public PacketHandler {
public:
    explicit StreamToPort(uint16_t port) : port_(port) {}
    void HandlePacket(const pcap_pkthdr& header, const uint8_t* bytes, int) override {
        if (header.caplen < 14 + 20 + 20 || bytes[12] != 0x08 || bytes[13] != 0x00) return;
        const uint8_t* ip = bytes + 14;
        const size_t ipLength = (ip[0] & 0x0F) * 4u;
        if (ip[9] != 6 || ipLength < 20 || 14 + ipLength + 20 > header.caplen) return;
        const uint8_t* tcp = ip + ipLength;
        if ((tcp[2] << 8 | tcp[3]) != port_) return;
        const uint32_t sequence = uint32_t{tcp[4]} << 24 | uint32_t{tcp[5]} << 16 | uint32_t{tcp[6]} << 8 | tcp[7];
        if (tcp[13] & 0x02) start_ = sequence + 1;
        const size_t total = size_t{ip[2]} << 8 | ip[3];
        const size_t headers = ipLength + (tcp[12] >> 4) * 4u;
        if (total > headers) segments_.push_back({sequence, total - headers});
    }
    // Bytes from the start on that some segment covers.
    uint64_t Covered() const {
        if (!start_) return 0;
        std::map<uint64_t, uint64_t> spans;  // offset -> end
        for (const auto& [sequence, length] : segments_) {
            const uint64_t offset = static_cast<uint32_t>(sequence - *start_);
            spans[offset] = std::max(spans[offset], offset + length);
        }
        uint64_t covered = 0, reached = 0;
        for (const auto& [offset, end] : spans) {
            if (end > reached) covered += end - std::max(offset, reached);
            reached = std::max(reached, end);
        }
        return covered;
    }

private:
    uint16_t port_;
    std::optional<uint32_t> start_;
    std::vector<std::pair<uint32_t, size_t>> segments_;
};

// A burst over lo, then SIGTERM at once: the burst's last blocks are still in the kernel's ring (the
// stream is not read meanwhile, and the last block is still open), and every byte must reach the stream.
// *undropped is false when the kernel dropped packets (loopback flooded by others): then nothing is checked.
void ExpectBurstHandedOverOnStop(const std::vector<std::string>& options, bool* undropped) {
    *undropped = false;
    std::vector<std::string> command{kHelper, "--interface", "lo"};
    command.insert(command.end(), options.begin(), options.end());
    ChildProcess helper(command);
    ASSERT_TRUE(helper.WidenOutput(1 << 20));
    ASSERT_TRUE(WaitForHeader(helper)) << helper.Stderr();

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t addressLength = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &addressLength), 0);
    const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    constexpr size_t kBurst = 2u << 20;
    size_t received = 0;
    // Every byte the receiver has read has passed the capture.
    std::thread sink([listener, &received] {
        const int connection = accept(listener, nullptr, nullptr);
        std::vector<char> buffer(65536);
        ssize_t count = 0;
        while (connection >= 0 && (count = read(connection, buffer.data(), buffer.size())) > 0)
            received += static_cast<size_t>(count);
        if (connection >= 0) close(connection);
    });
    const std::string data(kBurst, 'b');
    for (size_t sent = 0; sent < kBurst;) {
        const ssize_t count = write(client, data.data() + sent, kBurst - sent);
        if (count <= 0) break;
        sent += static_cast<size_t>(count);
    }
    shutdown(client, SHUT_WR);  // the receiver's read ends after the burst
    sink.join();
    ASSERT_EQ(kill(helper.Pid(), SIGTERM), 0);
    close(client);
    close(listener);
    ASSERT_EQ(received, kBurst);
    EXPECT_EQ(helper.Finish(), 0) << helper.Stderr();

    PcapngReader reader;
    StreamToPort burst(ntohs(address.sin_port));
    for (size_t parsed = 0; parsed < helper.Stdout().size();) {
        size_t room = 0;
        uint8_t* into = reader.Room(room);
        const size_t count = std::min(room, helper.Stdout().size() - parsed);
        std::memcpy(into, helper.Stdout().data() + parsed, count);
        reader.Commit(count);
        parsed += count;
        ASSERT_EQ(reader.Parse(burst), PcapngReader::Result::Ok) << reader.Error();
    }
    EXPECT_TRUE(reader.AtBlockBoundary());
    ASSERT_EQ(reader.Interfaces().size(), 1u);
    const auto& figures = reader.Interfaces()[0].statistics;
    ASSERT_TRUE(figures.has_value()) << "no closing statistics";
    if (figures->dropped > 0) return;
    *undropped = true;
    EXPECT_EQ(burst.Covered(), kBurst);
}

TEST(CaptureHelper, OnSigtermWhatIsStillInTheRingReachesTheStream) {
    std::string reason;
    if (!HelperCaptures(&reason)) GTEST_SKIP() << "live capture not permitted here: " << reason;
    // Packet blocks, and Tarnwick's way: whole ring blocks by reference.
    for (const auto& [mode, options] : {std::pair<const char*, std::vector<std::string>>{"packet blocks", {}},
                                        {"ring blocks", {"--share-pages", "--ring-blocks"}}}) {
        SCOPED_TRACE(mode);
        bool undropped = false;
        for (int attempt = 0; attempt < 3 && !undropped; ++attempt) {
            ExpectBurstHandedOverOnStop(options, &undropped);
            if (HasFatalFailure()) return;
        }
        if (!undropped) GTEST_SKIP() << "loopback too busy: the kernel dropped packets (" << mode << ")";
    }
}

}  // namespace
}  // namespace tarnwick
